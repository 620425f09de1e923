#include "gui/windows.h"
#include "gui/suppressform.h"

#include "gui/about.h"
#include "gui/mainunit.h"
#include "gui/addunit.h"
#include "gui/logform.h"
#include "gui/addmail.h"
#include "gui/addserver.h"
#include "gui/addtext.h"
#include "gui/setup.h"

#include "core/run/sendingrun.h"

#include <QDir>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QWidget>

AppWindows::AppWindows(SendLogStore* store)
{
    main = std::make_unique<TMainForm>(store);
    TMainForm* window = main.get();
    log = new TLogForm(store, window);
    intake = new TAddForm({[window](const QString& text) { return window->IsInMailList(text); },
                           [window](const QStringList& entries) { window->AppendEntries(entries); }},
                          store, window);
    setup = new TFrmSetup(window);
    // The entry dialogs open over the settings window.
    senderDialog = new TFrmAddMail(setup);
    contentDialog = new TFrmAddText(setup);
    serverDialog = new TFrmAddServer(setup);
    setup->setEntryDialogs(serverDialog, senderDialog, contentDialog);
    about = new TAboutBox(window);
    window->setAboutBox(about);

    window->addressIntake = [this](QWidget*) { intake->exec(); };
    window->settingsWindow = [this](QWidget*) { setup->exec(); };
    window->historyWindow = [this](QWidget*) { log->exec(); };
}

AppWindows::~AppWindows() = default;

namespace {

// The window as a desktop shows it: a frame with its title above what it holds.
QImage framed(QWidget* w)
{
    const QPixmap content = w->grab();
    const qreal ratio = content.devicePixelRatio();
    const QSize size = content.deviceIndependentSize().toSize();
    const int titleHeight = w->fontMetrics().height() + 10;
    QImage image(QSize(size.width() + 2, size.height() + titleHeight + 1) * ratio, QImage::Format_ARGB32);
    image.setDevicePixelRatio(ratio);
    image.fill(QColor(0x50, 0x6e, 0x96));
    QPainter p(&image);
    QFont bold = w->font();
    bold.setBold(true);
    p.setFont(bold);
    p.setPen(Qt::white);
    p.drawText(QRect(8, 0, size.width() - 16, titleHeight), Qt::AlignVCenter | Qt::AlignLeft, w->windowTitle());
    p.drawPixmap(1, titleHeight, content);
    return image;
}

} // namespace

QStringList RenderWindows(AppWindows& windows, const QString& folder, int* missed)
{
    QDir().mkpath(folder);
    QStringList written;
    if (missed)
        *missed = 0;
    auto render = [&](QWidget* w, const QString& name, const QString& caption = {}) {
        if (!caption.isEmpty())
            w->setWindowTitle(caption);
        w->show();
        if (w != windows.main.get())
            w->adjustSize();
        const QString path = folder + '/' + name + QStringLiteral(".png");
        if (framed(w).save(path))
            written.append(path);
        else if (missed)
            ++*missed;
        if (w != windows.main.get())
            w->hide();
    };
    render(windows.main.get(), QStringLiteral("main"));
    // The same window while a run is under way.
    SendingRun& run = windows.main->run();
    emit run.stateChanged(true);
    emit run.progress(12, 40);
    render(windows.main.get(), QStringLiteral("main-running"));
    emit run.stateChanged(false);
    render(windows.setup, QStringLiteral("settings"));
    render(windows.serverDialog, QStringLiteral("server-dialog"), QStringLiteral("Add An SMTP Server"));
    render(windows.senderDialog, QStringLiteral("sender-dialog"), QStringLiteral("Add email address"));
    render(windows.contentDialog, QStringLiteral("content-dialog"), QStringLiteral("Add New Email Content"));
    render(windows.intake, QStringLiteral("intake"));
    render(windows.log, QStringLiteral("history"));
    render(windows.about, QStringLiteral("about"));
    TFrmSuppress suppression(windows.main->store(), windows.main.get());
    render(&suppression, QStringLiteral("suppression"));
    windows.main->hide();
    return written;
}
