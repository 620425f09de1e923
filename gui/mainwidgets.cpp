// The main window's widgets, their signals and its menus: built once, when the window is made.
#include "gui/mainunit.h"

#include "core/text/textutil.h"

#include "gui/about.h"
#include "gui/application.h"
#include "gui/prompts.h"
#include "core/intake/csvfile.h"
#include "core/run/prepare.h"
#include <algorithm>
#include <QRegularExpression>
#include <QDir>
#include <QTextBrowser>
#include "gui/suppressform.h"
#include "core/text/codepage.h"
#include "core/sendlog/sendlogstore.h"
#include "core/settings/settingsfile.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QStatusBar>
#include <QStyle>
#include <QHeaderView>
#include <QTabWidget>
#include <QTableWidget>
#include <QCheckBox>
#include <QTextBlock>
#include <QVBoxLayout>

namespace {

QPushButton* makeButton(QWidget* parent, const char* name, const QString& caption, const QString& hint)
{
    auto* b = new QPushButton(caption, parent);
    b->setObjectName(QLatin1String(name));
    b->setToolTip(hint);
    return b;
}

void makeGreenBold(QPushButton* b)
{
    QFont f = b->font();
    f.setBold(true);
    b->setFont(f);
    // Green while it can be pressed; a disabled button must look disabled.
    b->setStyleSheet(QStringLiteral("QPushButton { color: green; } QPushButton:disabled { color: palette(mid); }"));
}

} // namespace

void TMainForm::buildWidgets()
{
    setWindowTitle(QStringLiteral("Brevora(1.0.5) - ") + QLatin1String(kMakerAddress));
    setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                   | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFont(QFont(QStringLiteral("Arial"), 9));

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(6, 6, 6, 0);

    // For a newcomer: what to set up next, until a server, a sender and a content exist.
    FirstRunHint = new QLabel(central);
    FirstRunHint->setObjectName(QStringLiteral("FirstRunHint"));
    FirstRunHint->setWordWrap(true);
    FirstRunHint->setStyleSheet(QStringLiteral("background: #fff6c8; border: 1px solid #d8c060; padding: 4px;"));
    FirstRunHint->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    FirstRunHint->hide();
    connect(FirstRunHint, &QLabel::linkActivated, this, [this] { Guarded([this] { setupBtClick(); }); });
    layout->addWidget(FirstRunHint);

    GroupBox1 = new QGroupBox(central);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    auto* grid = new QGridLayout(GroupBox1);
    auto addRow = [&](int row, const char* labelName, const QString& caption, const char* comboName, const QString& hint,
                      const char* infoName, QComboBox*& combo, QLabel*& info) {
        auto* label = new QLabel(caption, GroupBox1);
        label->setObjectName(QLatin1String(labelName));
        combo = new QComboBox(GroupBox1);
        combo->setObjectName(QLatin1String(comboName));
        combo->setToolTip(hint);
        combo->setMinimumWidth(200);
        info = new QLabel(QStringLiteral("..."), GroupBox1);
        info->setObjectName(QLatin1String(infoName));
        grid->addWidget(label, row, 0);
        grid->addWidget(combo, row, 1);
        grid->addWidget(info, row, 2);
    };
    addRow(0, "Label2", QStringLiteral("SMTP Server:"), "CmbServer",
           QStringLiteral("Select a SMTP Server, Will use it to send messages"), "LbServer", CmbServer, LbServer);
    addRow(1, "Label3", QStringLiteral("Your Email:"), "CmbSendAddr",
           QStringLiteral("Select a email address, it will appear in message"), "LbAddr", CmbSendAddr, LbAddr);
    addRow(2, "Label4", QStringLiteral("Email Title:"), "CmbText", QStringLiteral("Select a message to send"), "LbText",
           CmbText, LbText);
    grid->setColumnStretch(2, 1);
    layout->addWidget(GroupBox1);

    auto* buttons = new QHBoxLayout;
    AddBt = makeButton(central, "AddBt", QStringLiteral("Add(&A)"), QStringLiteral("Add email address to Email List"));
    AddBt->setIcon(style()->standardIcon(QStyle::SP_FileDialogNewFolder));
    makeGreenBold(AddBt);
    DelBt = makeButton(central, "DelBt", QStringLiteral("Delete"), QStringLiteral("Delete an email address from Mail List"));
    DelBt->setIcon(style()->standardIcon(QStyle::SP_DialogCancelButton));
    DelBt->setEnabled(false);
    reportBt = makeButton(central, "reportBt", QStringLiteral("History"), QStringLiteral("Show sending history"));
    reportBt->setIcon(style()->standardIcon(QStyle::SP_FileDialogDetailedView));
    setupBt = makeButton(central, "setupBt", QStringLiteral("Setting"),
                         QStringLiteral("smtp server, your email address, email content setting"));
    for (QPushButton* b : {AddBt, DelBt, reportBt, setupBt})
        buttons->addWidget(b);
    layout->addLayout(buttons);

    auto* startRow = new QHBoxLayout;
    StartBt = makeButton(central, "StartBt", QStringLiteral("Start(&S)"), QStringLiteral("Start sending emails"));
    StartBt->setIcon(style()->standardIcon(QStyle::SP_MediaPlay));
    makeGreenBold(StartBt);
    TestBt = makeButton(central, "TestBt", QStringLiteral("Send a Test"), QStringLiteral("Send a test email"));
    makeGreenBold(TestBt);
    TestEd = new QLineEdit(QStringLiteral("A test address, etc: someone@example.com"), central);
    TestEd->setObjectName(QStringLiteral("TestEd"));
    TestEd->setToolTip(QStringLiteral("Type an email address for a testing message"));
    TestEd->installEventFilter(this);
    startRow->addWidget(StartBt);
    startRow->addWidget(TestBt);
    startRow->addWidget(TestEd, 1);
    ChkSkipRefused = new QCheckBox(QStringLiteral("Skip refused"), central);
    ChkSkipRefused->setObjectName(QStringLiteral("ChkSkipRefused"));
    ChkSkipRefused->setToolTip(QStringLiteral("Go on with the next address when the server refuses one: it moves to the "
                                              "Failed page (a temporary refusal is tried again later). Unchecked, the "
                                              "first refusal ends the run."));
    auto* choices = new QVBoxLayout;
    choices->setSpacing(0);
    choices->addWidget(ChkSkipRefused);
    startRow->addLayout(choices);
    ChkFullSpeed = new QCheckBox(QStringLiteral("Full speed"), central);
    ChkFullSpeed->setObjectName(QStringLiteral("ChkFullSpeed"));
    ChkFullSpeed->setToolTip(QStringLiteral("Send as fast as the server and its limits allow, with the messages in flight and "
                                            "the connections set for the server. Unchecked, one message goes every 50 ms."));
    choices->addWidget(ChkFullSpeed);
    ChkNeverTwice = new QCheckBox(QStringLiteral("Never twice"), central);
    ChkNeverTwice->setObjectName(QStringLiteral("ChkNeverTwice"));
    ChkNeverTwice->setToolTip(QStringLiteral("After a run that ended without warning (a crash, a kill, a power cut), record the "
                                             "messages it wrote but never heard the server's reply to as delivered, unconfirmed, "
                                             "instead of sending them again: someone may miss one, nobody gets two."));
    choices->addWidget(ChkNeverTwice);
    layout->addLayout(startRow);

    PageControl1 = new QTabWidget(central);
    PageControl1->setObjectName(QStringLiteral("PageControl1"));
    MailLB = new QListView;
    MailLB->setObjectName(QStringLiteral("MailLB"));
    MailLB->setToolTip(QStringLiteral("Email List for sending"));
    MailLB->setModel(&m_pending);
    MailLB->setSelectionMode(QAbstractItemView::ExtendedSelection);
    MailLB->setUniformItemSizes(true);
    MailLB->setContextMenuPolicy(Qt::CustomContextMenu);
    projectMM = new QPlainTextEdit;
    projectMM->setObjectName(QStringLiteral("projectMM"));
    projectMM->setToolTip(QStringLiteral("Email Content"));
    projectMM->setLineWrapMode(QPlainTextEdit::NoWrap);
    LogLB = new QPlainTextEdit;
    LogLB->setObjectName(QStringLiteral("LogLB"));
    LogLB->setToolTip(QStringLiteral("Sending info"));
    LogLB->setReadOnly(true);
    PageControl1->addTab(MailLB, QStringLiteral("Email List"));
    PageControl1->addTab(projectMM, QStringLiteral("Email Content"));
    PageControl1->addTab(LogLB, QStringLiteral("Info"));
    auto* failedPage = new QWidget;
    auto* failedLayout = new QVBoxLayout(failedPage);
    failedLayout->setContentsMargins(2, 2, 2, 2);
    FailedLB = new QTableWidget(0, 4, failedPage);
    FailedLB->setObjectName(QStringLiteral("FailedLB"));
    FailedLB->setHorizontalHeaderLabels({QStringLiteral("Entry"), QStringLiteral("Code"), QStringLiteral("Reason"),
                                         QStringLiteral("Time")});
    FailedLB->setEditTriggers(QAbstractItemView::NoEditTriggers);
    FailedLB->setTabKeyNavigation(false); // Tab goes on to Retry failed, not from cell to cell
    FailedLB->verticalHeader()->hide();
    // The reason takes the room that is left; the code and the time need little.
    FailedLB->horizontalHeader()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    FailedLB->horizontalHeader()->setSectionResizeMode(2, QHeaderView::Stretch);
    FailedLB->horizontalHeader()->setSectionResizeMode(3, QHeaderView::ResizeToContents);
    RetryBt = makeButton(failedPage, "RetryBt", QStringLiteral("Retry failed"),
                         QStringLiteral("Put the failed addresses back into the Email List"));
    failedLayout->addWidget(FailedLB, 1);
    FailedExportBt = makeButton(failedPage, "FailedExportBt", QStringLiteral("Export..."),
                                QStringLiteral("Write the failed list as CSV, with each entry's code, reason and time"));
    auto* failedButtons = new QHBoxLayout;
    failedButtons->addStretch(1);
    failedButtons->addWidget(FailedExportBt);
    failedButtons->addWidget(RetryBt);
    failedLayout->addLayout(failedButtons);
    PageControl1->addTab(failedPage, QStringLiteral("Failed"));
    // The selected entry's message as it would go out: rendered, as its source, or its text part.
    auto* previewPage = new QWidget;
    auto* previewLayout = new QVBoxLayout(previewPage);
    previewLayout->setContentsMargins(2, 2, 2, 2);
    CmbPreviewView = new QComboBox(previewPage);
    CmbPreviewView->setObjectName(QStringLiteral("CmbPreviewView"));
    CmbPreviewView->addItems({QStringLiteral("As the recipient sees it"), QStringLiteral("Source (as it goes out)"),
                              QStringLiteral("Text part")});
    PreviewView = new QTextBrowser(previewPage);
    PreviewView->setObjectName(QStringLiteral("PreviewView"));
    PreviewView->setOpenLinks(false);
    previewLayout->addWidget(CmbPreviewView, 0, Qt::AlignLeft);
    previewLayout->addWidget(PreviewView, 1);
    PageControl1->addTab(previewPage, QStringLiteral("Preview"));
    layout->addWidget(PageControl1, 1);
    setCentralWidget(central);

    auto* bar = new QStatusBar(this);
    bar->setObjectName(QStringLiteral("StatusBar"));
    const int widths[6] = {65, 50, 65, 50, 65, 50};
    const char* texts[6] = {"Pending", "0", "Sent", "", "All", ""};
    for (int i = 0; i < 6; ++i) {
        m_panels[i] = new QLabel(QLatin1String(texts[i]), bar);
        m_panels[i]->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
        m_panels[i]->setFixedWidth(widths[i]);
        bar->addWidget(m_panels[i]);
    }
    RunProgress = new QProgressBar(bar);
    RunProgress->setObjectName(QStringLiteral("RunProgress"));
    RunProgress->setValue(0);
    RunProgress->setTextVisible(true);
    bar->addWidget(RunProgress, 1);
    bar->setSizeGripEnabled(false); // the window's size is fixed
    setStatusBar(bar);

    connect(CmbServer, &QComboBox::activated, this, [this] { Guarded([this] { CmbServerChange(); }); });
    connect(CmbSendAddr, &QComboBox::activated, this, [this] { Guarded([this] { CmbSendAddrChange(); }); });
    connect(CmbText, &QComboBox::activated, this, [this] { Guarded([this] { CmbTextChange(); }); });
    connect(AddBt, &QPushButton::clicked, this, [this] { Guarded([this] { AddBtClick(); }); });
    connect(DelBt, &QPushButton::clicked, this, [this] { Guarded([this] { DelBtClick(); }); });
    connect(reportBt, &QPushButton::clicked, this, [this] { Guarded([this] { reportBtClick(); }); });
    connect(setupBt, &QPushButton::clicked, this, [this] { Guarded([this] { setupBtClick(); }); });
    connect(StartBt, &QPushButton::clicked, this, [this] { Guarded([this] { StartBtClick(); }); });
    connect(TestBt, &QPushButton::clicked, this, [this] { Guarded([this] { TestBtClick(); }); });
    connect(RetryBt, &QPushButton::clicked, this, [this] { Guarded([this] { RetryBtClick(); }); });
    connect(FailedExportBt, &QPushButton::clicked, this, [this] { Guarded([this] { FailedExportClick(); }); });
    connect(ChkSkipRefused, &QCheckBox::clicked, this, [this](bool on) {
        Guarded([on] { WriteSkipRefused(on); });
        m_run.setRefusalChoice(on ? RefusalChoice::Skip : RefusalChoice::Stop);
    });
    connect(ChkNeverTwice, &QCheckBox::clicked, this, [this](bool on) {
        Guarded([on] { WriteRecordUncertain(on); });
        m_selection.RecordUncertain = on;
    });
    connect(ChkFullSpeed, &QCheckBox::clicked, this, [this](bool on) {
        Guarded([on] { WriteFullSpeed(on); });
        m_run.setInterval(on ? 0 : kTickMs);
    });
    connect(MailLB->selectionModel(), &QItemSelectionModel::selectionChanged, this, &TMainForm::MailLBClick);
    connect(MailLB->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] { Guarded([this] { ShowPreview(); }); });
    connect(CmbPreviewView, &QComboBox::currentIndexChanged, this, [this] { Guarded([this] { ShowPreview(); }); });
    connect(PageControl1, &QTabWidget::currentChanged, this, [this] { Guarded([this] { ShowPreview(); }); });
    connect(PageControl1, &QTabWidget::currentChanged, this, &TMainForm::MailLBClick);
    // Esc presses Delete while it is enabled.
    auto* esc = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(esc, &QShortcut::activated, this, [this] {
        if (DelBt->isEnabled())
            DelBt->click();
    });

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    NOut = PopupMenu1->addAction(QStringLiteral("Export Mail List(&S)"));
    NOut->setObjectName(QStringLiteral("NOut"));
    connect(NOut, &QAction::triggered, this, [this] { Guarded([this] { NOutClick(); }); });
    NOutCsv = PopupMenu1->addAction(QStringLiteral("Export as CSV(&C)"));
    NOutCsv->setObjectName(QStringLiteral("NOutCsv"));
    connect(NOutCsv, &QAction::triggered, this, [this] { Guarded([this] { NOutCsvClick(); }); });
    connect(PopupMenu1, &QMenu::aboutToShow, this, &TMainForm::PopupMenu1Popup);
    connect(MailLB, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { PopupMenu1->popup(MailLB->viewport()->mapToGlobal(at)); });

}

void TMainForm::buildMenus()
{
    QMenuBar* bar = menuBar();
    bar->setObjectName(QStringLiteral("MainMenu"));
    auto add = [this](QMenu* menu, const char* name, const QString& caption, std::function<void()> handler) {
        QAction* a = menu->addAction(caption);
        a->setObjectName(QLatin1String(name));
        connect(a, &QAction::triggered, this, [handler] { Guarded(handler); });
        return a;
    };
    QMenu* file = bar->addMenu(QStringLiteral("&File"));
    add(file, "N1", QStringLiteral("Setting"), [this] { setupBtClick(); });
    add(file, "Exit1", QStringLiteral("&Exit"), [this] { close(); });
    QMenu* mail = bar->addMenu(QStringLiteral("&Mail"));
    add(mail, "AddList1", QStringLiteral("&Add List"), [this] { AddBtClick(); });
    MemDetele = add(mail, "MemDetele", QStringLiteral("&Detele"), [this] { DelBtClick(); });
    MemDetele->setEnabled(false);
    add(mail, "SendaTestmail1", QStringLiteral("Send a &test mail"), [this] { TestBtClick(); });
    MemStart = add(mail, "MemStart", QStringLiteral("&Start sending"), [this] { StartBtClick(); });
    add(mail, "History1", QStringLiteral("&History"), [this] { reportBtClick(); });
    add(mail, "Suppressed1", QStringLiteral("Su&ppression list..."), [this] { SuppressClick(); });
    add(mail, "CheckSending1", QStringLiteral("&Check before sending..."), [this] { CheckSendingClick(); });
    add(mail, "CheckBounces1", QStringLiteral("Check &bounces"), [this] { CheckBouncesClick(); });
    add(mail, "WriteMessages1", QStringLiteral("&Write messages to folder..."), [this] { WriteMessagesClick(); });
    QMenu* help = bar->addMenu(QStringLiteral("&Help"));
    add(help, "Index1", QStringLiteral("&Help"), [this] { Index1Click(); });
    add(help, "About1", QStringLiteral("&About"), [this] { About1Click(); });
}
