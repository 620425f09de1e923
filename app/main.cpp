#include "cli/cli.h"
#include "core/sendlog/sendlogstore.h"
#include "gui/application.h"
#include "gui/mainunit.h"
#include "gui/windows.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QScreen>
#include <cstdio>

namespace {
// The windows' own options, each with its value; single-dash options are Qt's (-platform, -style).
// The error for anything else, or nothing.
QString windowArgumentError(const QStringList& args)
{
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("--data-dir") || a == QLatin1String("--store")) {
            if (i + 1 >= args.size())
                return QStringLiteral("The option %1 needs a value.").arg(a);
            ++i;
        } else if (a == QLatin1String("--screenshots")) {
            if (i + 1 < args.size() && !args[i + 1].startsWith(QLatin1Char('-')))
                ++i; // the folder; without one, the working folder
        } else if (a.startsWith(QLatin1String("--"))) {
            return QStringLiteral("Unknown argument: %1").arg(a);
        } else if (!a.startsWith(QLatin1Char('-'))) {
            return QStringLiteral("Unknown command: %1").arg(a);
        } else if (i + 1 < args.size() && !args[i + 1].startsWith(QLatin1Char('-'))) {
            ++i; // a value of Qt's option
        }
    }
    return {};
}
} // namespace

int main(int argc, char** argv)
{
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args.append(QString::fromLocal8Bit(argv[i]));

    if (args.contains(QStringLiteral("--help")) && !IsCommandLine(args)) {
        std::puts("Usage: brevora [--data-dir DIR] [--store URL] [--screenshots FOLDER]\n"
                  "       brevora --version\n"
                  "       brevora send --help\n"
                  "       brevora history --help\n"
                  "       brevora list --help\n"
                  "       brevora suppress --help\n"
                  "       brevora bounces fetch|import|list (--help tells more)\n"
                  "       brevora dkim generate|set|list|remove (--help tells more)\n"
                  "       brevora check --help\n"
                  "       brevora preview --help\n"
                  "       brevora server|sender|content add|edit|remove|list (--help tells more)\n"
                  "--store postgresql://user@host:port/dbname keeps the lists and the send log in a PostgreSQL\n"
                  "database that several Brevora processes share (also BREVORA_STORE, or URL under [Store] in\n"
                  "the settings file); the password comes from ~/.pgpass or PGPASSWORD. Every command takes it.");
        return 0;
    }
    if (args.contains(QStringLiteral("--version")) && !IsCommandLine(args)) {
        std::puts("brevora " BREVORA_VERSION);
        return 0;
    }
    // A word that names no command, or an option the windows do not take, is an error, not a
    // window: with or without a display.
    if (!IsCommandLine(args)) {
        if (const QString error = windowArgumentError(args); !error.isEmpty()) {
            std::fprintf(stderr, "%s\n%s\n", qPrintable(error), qPrintable(CommandUsageHint(QString())));
            return 3;
        }
    }
    if (IsCommandLine(args)) {
        QCoreApplication app(argc, argv);
        try {
            ApplyDataDir(args, QCoreApplication::applicationDirPath());
            ApplyStoreOption(args);
        } catch (const BrevoraError& e) {
            std::fprintf(stderr, "%s\n", qPrintable(e.message()));
            return 3;
        }
        return RunCommandLine(args);
    }

    // Without a display Qt would abort with a message about reinstalling: say what works instead.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")
        && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        std::fputs("The windows need a desktop session, and none was found (DISPLAY is not set). Without one, "
                   "brevora send, history, list, suppress, bounces, dkim, check, preview, server, sender and content work: see brevora --help.\n",
                   stderr);
        return 3;
    }
    BrevoraApplication app(argc, argv);
    Guarded([&] { ApplyDataDir(args, QCoreApplication::applicationDirPath()); });
    StoreLocation location;
    location.path = SendLogPath();
    Guarded([&] {
        ApplyStoreOption(args);
        location = ChosenStore();
    });
    QString adopted;
    if (!location.shared())
        Guarded([&] { adopted = AdoptWorkingDirectoryStore(); });
    // A store that cannot be opened is reported; the windows then keep their lists in memory.
    std::unique_ptr<SendLogStore> store;
    Guarded([&] { store = std::make_unique<SendLogStore>(location); });
    AppWindows windows(store.get());
    if (!adopted.isEmpty())
        windows.main->AppendActivity(adopted);
    if (store && store->claims())
        windows.main->AppendActivity(QStringLiteral("The lists and the send log are in the shared store ") + store->shownName());
    const qsizetype shots = args.indexOf(QStringLiteral("--screenshots"));
    if (shots >= 0) {
        // Renders every window to PNG files and ends, for looking at them without a desktop.
        int missed = 0;
        const QStringList files = RenderWindows(windows, shots + 1 < args.size() ? args[shots + 1] : QStringLiteral("."), &missed);
        for (const QString& f : files)
            std::printf("%s\n", qPrintable(f));
        return missed == 0 ? 0 : 1;
    }
    windows.main->show();
    if (const QScreen* screen = windows.main->screen())
        windows.main->move(screen->availableGeometry().center() - windows.main->frameGeometry().center()
                           + windows.main->pos());
    return app.exec();
}
