#include "gui/about.h"

#include "gui/application.h"
#include "gui/prompts.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFile>
#include <QTextBrowser>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QUrl>
#include <QVBoxLayout>

const char* const kMakerAddress = "https://www.brevora.example";

TAboutBox::TAboutBox(QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("TAboutBox"));
    setWindowTitle(QStringLiteral("About"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);

    auto* panel = new QFrame(this);
    panel->setObjectName(QStringLiteral("Panel1"));
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    auto* icon = new QLabel(panel);
    icon->setObjectName(QStringLiteral("ProgramIcon"));
    icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxInformation).pixmap(48, 48));
    auto* product = new QLabel(QStringLiteral("Brevora"), panel);
    product->setObjectName(QStringLiteral("ProductName"));
    QFont big = product->font();
    big.setBold(true);
    big.setPointSize(big.pointSize() + 4);
    product->setFont(big);
    auto* version = new QLabel(QStringLiteral("Version 1.0.5"), panel);
    version->setObjectName(QStringLiteral("Version"));
    auto* copyright = new QLabel(QStringLiteral("Sends one message to many recipients through your own SMTP server."), panel);
    copyright->setObjectName(QStringLiteral("Copyright"));
    copyright->setWordWrap(true);
    auto* comments = new QLabel(QStringLiteral("<a href=\"manual\" style=\"color:blue\">The manual</a>"), panel);
    comments->setToolTip(LocalManualPath());
    comments->setObjectName(QStringLiteral("Comments"));
    comments->setCursor(Qt::PointingHandCursor);
    comments->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
    connect(comments, &QLabel::linkActivated, this, [this] { CommentsClick(); });

    auto* texts = new QVBoxLayout;
    texts->addWidget(product);
    texts->addWidget(version);
    texts->addWidget(copyright);
    texts->addWidget(comments);
    auto* row = new QHBoxLayout(panel);
    row->addWidget(icon, 0, Qt::AlignTop);
    row->addLayout(texts);

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("OKButton"));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(panel);
    layout->addWidget(ok, 0, Qt::AlignHCenter);
    setFixedSize(sizeHint().expandedTo(QSize(320, 180)));
}

void TAboutBox::CommentsClick()
{
    OpenManual(this);
}

void OpenManual(QWidget* parent)
{
    const QString manual = LocalManualPath();
    if (manual.isEmpty()) {
        Prompts::report(parent, ProgramTitle(),
                        QStringLiteral("The manual was not found beside the program. It is the README.md of Brevora's "
                                       "sources, and \"man brevora\" where Brevora is installed."),
                        QMessageBox::Information);
        return;
    }
    ShowManual(parent, manual, [](const QUrl& url) { return QDesktopServices::openUrl(url); });
}

void ShowManual(QWidget* parent, const QString& path, const std::function<bool(const QUrl&)>& open)
{
    if (open(QUrl::fromLocalFile(path)))
        return;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        Prompts::report(parent, ProgramTitle(), QStringLiteral("The manual %1 cannot be read.").arg(path), QMessageBox::Warning);
        return;
    }
    auto* window = new QDialog(parent);
    window->setObjectName(QStringLiteral("ManualWindow"));
    window->setWindowTitle(QStringLiteral("Brevora manual"));
    window->setAttribute(Qt::WA_DeleteOnClose);
    auto* view = new QTextBrowser(window);
    view->setObjectName(QStringLiteral("ManualView"));
    view->setOpenExternalLinks(true);
    view->setMarkdown(QString::fromUtf8(file.readAll()));
    auto* layout = new QVBoxLayout(window);
    layout->addWidget(view);
    window->resize(760, 640);
    window->show();
}
