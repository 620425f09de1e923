#include "cli/command.h"
#include "cli/cli.h"

#include "core/sendlog/sendlogstore.h"
#include "core/settings/folderencoding.h"
#include "core/settings/settingsfile.h"
#include "core/text/textutil.h"

#include <QAbstractEventDispatcher>
#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cstdio>

namespace cli {
namespace {
bool flushedWhenIdle = false;
} // namespace

// One line on standard output: whatever the text holds, exactly one line, nothing raw.
void out(const QString& text)
{
    const QByteArray bytes = PrintableText(text, true).toLocal8Bit() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    if (!flushedWhenIdle)
        std::fflush(stdout);
}

void FlushOutputWhenIdle()
{
    QAbstractEventDispatcher* loop = QAbstractEventDispatcher::instance();
    if (!loop || flushedWhenIdle)
        return;
    QObject::connect(loop, &QAbstractEventDispatcher::aboutToBlock, [] { std::fflush(stdout); });
    flushedWhenIdle = true;
}

// On standard error, control characters shown rather than sent.
void err(const QString& text)
{
    const QByteArray bytes = PrintableText(text, false).toLocal8Bit() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
}

Options parseOptions(const QStringList& args, const QStringList& withValue, const QStringList& bare)
{
    QCommandLineParser parser;
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    for (const QString& name : withValue)
        parser.addOption(QCommandLineOption(name.mid(2), QString(), QStringLiteral("value")));
    for (const QString& name : bare)
        parser.addOption(QCommandLineOption(name.mid(2)));
    if (!parser.parse(QStringList{QStringLiteral("brevora")} + args)) {
        if (!args.isEmpty() && withValue.contains(args.last()))
            throw CommandLineError(QStringLiteral("The option %1 needs a value.").arg(args.last()));
        // The argument as it was written.
        for (const QString& a : args)
            for (const QString& unknown : parser.unknownOptionNames())
                if (a == QLatin1Char('-') + unknown || a.startsWith(QStringLiteral("--") + unknown))
                    throw CommandLineError(QStringLiteral("Unknown argument: %1").arg(a));
        throw CommandLineError(parser.errorText());
    }
    if (!parser.positionalArguments().isEmpty())
        throw CommandLineError(QStringLiteral("Unknown argument: %1").arg(parser.positionalArguments().first()));
    Options o;
    for (const QString& name : withValue) {
        const QStringList values = parser.values(name.mid(2));
        if (values.isEmpty())
            continue;
        o.values.insert(name, values.last());
        o.repeated.insert(name, values);
    }
    for (const QString& name : bare)
        if (parser.isSet(name.mid(2)))
            o.flags.append(name);
    return o;
}

std::unique_ptr<SendLogStore> openStore()
{
    const StoreLocation location = ChosenStore();
    if (!location.shared()) {
        const QString adopted = AdoptWorkingDirectoryStore();
        if (!adopted.isEmpty())
            out(adopted);
    }
    return std::make_unique<SendLogStore>(location);
}

QString pick(const QStringList& keys, const QString& positionKey, const QString& named, const char* what)
{
    if (!named.isNull()) {
        if (!keys.contains(named))
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("No %1 \"%2\" in the settings file.").arg(QLatin1String(what), named));
        return named;
    }
    const int position = ReadBasicInteger(positionKey, 0);
    return position >= 0 && position < keys.size() ? keys[position] : QString();
}

} // namespace cli

using namespace cli;

namespace {
struct Command
{
    const char* name;
    int (*run)(const QStringList& args);
};
const Command kCommands[] = {
    {"send", SendCommand}, {"history", HistoryCommand}, {"list", ListCommand},
    {"suppress", SuppressCommand}, {"preview", PreviewCommand}, {"server", ServerCommand},
    {"sender", SenderCommand}, {"content", ContentCommand}, {"bounces", BouncesCommand}, {"dkim", DkimCommand}, {"check", CheckCommand},
};
} // namespace

QString CommandUsageHint(const QString& command)
{
    if (command.isEmpty())
        return QStringLiteral("Usage: brevora [send | list | history | suppress | bounces | dkim | check | preview | server | sender | content] [options]; "
                              "\"brevora --help\" tells more.");
    return QStringLiteral("Usage: brevora %1 [options]; \"brevora %1 --help\" lists them.").arg(command);
}

void ApplyDataDir(QStringList& args, const QString& executableDir)
{
    QString dir = qEnvironmentVariable("BREVORA_HOME");
    const qsizetype at = args.indexOf(QStringLiteral("--data-dir"));
    if (at >= 0) {
        if (at + 1 >= args.size())
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("The option --data-dir needs a value."));
        dir = args[at + 1];
        args.remove(at, 2);
    }
    if (dir.isEmpty())
        dir = DefaultAppDir(executableDir);
    // A folder made here is the user's alone; one that exists keeps its mode (it may be shared).
    if (!QFileInfo::exists(dir) && QDir().mkpath(dir))
        QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QDir().mkpath(dir);
    // Nothing written yet: the folder is new, and takes the code page of a new folder.
    const bool folderIsNew = QDir(dir).isEmpty();
    SetAppDir(dir);
    FolderEncoding::apply(folderIsNew);
}

bool IsCommandLine(const QStringList& args)
{
    if (args.isEmpty())
        return false;
    for (const Command& c : kCommands)
        if (args.first() == QLatin1String(c.name))
            return true;
    return false;
}

int RunCommandLine(const QStringList& args)
{
    const QStringList rest = args.mid(1);
    try {
        for (const Command& c : kCommands)
            if (args.first() == QLatin1String(c.name))
                return c.run(rest);
        throw CommandLineError(QStringLiteral("Unknown command: %1").arg(args.first()));
    } catch (const CommandLineError& e) {
        err(e.message());
        err(CommandUsageHint(IsCommandLine(args) ? args.first() : QString()));
        return kExitUsage;
    } catch (const BrevoraError& e) {
        err(e.message());
        if (args.first() == QLatin1String("send"))
            std::fputs(rest.isEmpty() ? kSendUsage : "", stderr);
        return kExitUsage;
    }
}
