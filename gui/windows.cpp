#include "gui/windows.h"

#include "gui/about.h"
#include "gui/mainunit.h"
#include "gui/addunit.h"
#include "gui/logform.h"
#include "gui/addmail.h"
#include "gui/addserver.h"
#include "gui/addtext.h"
#include "gui/setup.h"

#include <QDir>
#include <QPixmap>
#include <QWidget>

AppWindows::AppWindows(TDM* store)
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

QStringList RenderWindows(AppWindows& windows, const QString& folder)
{
    QDir().mkpath(folder);
    QStringList written;
    auto render = [&](QWidget* w, const QString& name, const QString& caption = {}) {
        if (!caption.isEmpty())
            w->setWindowTitle(caption);
        w->show();
        w->adjustSize();
        const QString path = folder + '/' + name + QStringLiteral(".png");
        if (w->grab().save(path))
            written.append(path);
        w->hide();
    };
    render(windows.main.get(), QStringLiteral("main"));
    windows.main->show();
    render(windows.setup, QStringLiteral("settings"));
    render(windows.serverDialog, QStringLiteral("server-dialog"), QStringLiteral("Add An SMTP Server"));
    render(windows.senderDialog, QStringLiteral("sender-dialog"), QStringLiteral("Add email address"));
    render(windows.contentDialog, QStringLiteral("content-dialog"), QStringLiteral("Add New Email Content"));
    render(windows.intake, QStringLiteral("intake"));
    render(windows.log, QStringLiteral("history"));
    render(windows.about, QStringLiteral("about"));
    windows.main->hide();
    return written;
}
