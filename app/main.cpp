#include "app/application.h"
#include "app/cli.h"
#include "app/mainunit.h"
#include "sendlog/dmunit.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <cstdio>

namespace {
QString executableDir(const char* argv0)
{
    const QString path = QFileInfo(QString::fromLocal8Bit(argv0)).absolutePath();
    return path.isEmpty() ? QStringLiteral(".") : path;
}
} // namespace

int main(int argc, char** argv)
{
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args.append(QString::fromLocal8Bit(argv[i]));

    if (args.contains(QStringLiteral("--help")) && !IsCommandLine(args)) {
        std::puts("Usage: brevora [--data-dir DIR]\n"
                  "       brevora send --help\n"
                  "       brevora history --help");
        return 0;
    }
    if (IsCommandLine(args)) {
        QCoreApplication app(argc, argv);
        try {
            ApplyDataDir(args, QCoreApplication::applicationDirPath());
        } catch (const BrevoraError& e) {
            std::fprintf(stderr, "%s\n", qPrintable(e.message()));
            return 3;
        }
        return RunCommandLine(args);
    }

    BrevoraApplication app(argc, argv);
    Guarded([&] { ApplyDataDir(args, QCoreApplication::applicationDirPath()); });
    TDM store;
    DM = &store;
    if (!store.isOpen())
        ShowDefaultError(store.lastError());
    TMainForm window(&store);
    window.show();
    return app.exec();
}
