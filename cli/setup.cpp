#include "cli/command.h"

#include "core/error.h"
#include "core/intake/listfile.h"
#include "core/run/prepare.h"
#include "core/settings/entries.h"
#include "core/settings/bouncesettings.h"
#include "core/mail/returnpath.h"
#include "core/text/codepage.h"
#include "core/text/textutil.h"

#include <QFile>
#include <cstdio>
#include <iostream>
#include <string>

// "brevora server|sender|content add|edit|remove|list": what the settings window does, for
// scripts. Options not given to "edit" keep their values.
namespace cli {
namespace {

const char* kServerUsage =
    "Usage: brevora server add HOST --account NAME [--port N] [--ssl] [--password-stdin] [--keyring]\n"
    "                              [options]\n"
    "       brevora server edit KEY [--host HOST] [--account NAME] [--port N] [--ssl | --no-ssl]\n"
    "                               [--password-stdin] [--keyring | --no-keyring] [options]\n"
    "       brevora server remove KEY\n"
    "       brevora server list\n"
    "An entry's key is its host, or \"HOST (ACCOUNT)\" for a second account on the same host.\n"
    "--password-stdin reads the password from the first line of standard input; --keyring keeps it\n"
    "in the desktop's keyring (the Secret Service) instead of the settings file. The port is 25,\n"
    "or 465 with --ssl (TLS from the first byte). Options: --allow-plain-login (--no-plain-login),\n"
    "--login auto|login|plain|xoauth2, --token-command CMD, --rate N (a second), --per-minute N,\n"
    "--per-hour N, --per-day N (0: no limit), --window N, --connections N, --helo NAME (the\n"
    "greeting name; empty: this machine's qualified name or address), --largest-message MB.\n";

const char* kSenderUsage =
    "Usage: brevora sender add ADDRESS [--name TEXT] [bounce options]\n"
    "       brevora sender edit ADDRESS [--address NEW] [--name TEXT] [bounce options]\n"
    "       brevora sender remove ADDRESS\n"
    "       brevora sender list\n"
    "Bounce options: --bounce-address ADDRESS (the return path: each message's names its recipient,\n"
    "ADDRESS+TAG; empty: none), --bounce-mailbox URL (imaps://user@host/INBOX, imap:// with STARTTLS,\n"
    "pop3s://user@host), --bounce-password-stdin, --bounce-folder NAME (IMAP: where processed mail\n"
    "goes; Brevora/Processed), --bounce-delete | --bounce-keep (POP3: processed mail deleted or kept).\n";

const char* kContentUsage =
    "Usage: brevora content add TITLE --body FILE [--html] [options]\n"
    "       brevora content edit TITLE [--title NEW] [--body FILE [--html]] [options]\n"
    "       brevora content remove TITLE\n"
    "       brevora content list\n"
    "The title is the Subject. --body takes the text from FILE (UTF-8, or the code page when it is\n"
    "not UTF-8); with --html it is HTML and goes with a text part. Options: --unsubscribe URI\n"
    "(mailto: and https:, each once), --attach FILE (repeatable; replaces the content's files),\n"
    "--attach-column NAME, --attach-dir DIR, --feedback-id TEXT (Gmail's feedback loop: a:b:c:sender),\n"
    "--list-id TEXT (\"Club news <news.example.org>\"), --header NAME:VALUE (repeatable; replaces the\n"
    "content's own headers; placeholders are filled for each recipient).\n";

struct Verb
{
    QString name;
    QString key;       // the entry it acts on, or what "add" adds
    QStringList rest;  // the options
};

// "add KEY ...", "edit KEY ...", "remove KEY" or "list".
Verb parseVerb(const QStringList& args, const char* usage)
{
    static const QStringList verbs{QStringLiteral("add"), QStringLiteral("edit"), QStringLiteral("remove"), QStringLiteral("list")};
    if (args.isEmpty() || !verbs.contains(args.first()))
        throw CommandLineError(args.isEmpty() ? QStringLiteral("Say add, edit, remove or list.")
                                              : QStringLiteral("Unknown argument: %1 (say add, edit, remove or list)").arg(args.first()));
    Verb v{args.first(), {}, args.mid(1)};
    if (v.name == QLatin1String("list"))
        return v;
    if (v.rest.isEmpty() || v.rest.first().startsWith(QLatin1String("--")))
        throw CommandLineError(QStringLiteral("\"%1\" needs the entry it acts on.\n%2").arg(v.name, QString::fromUtf8(usage).section(u'\n', 0, 0)));
    v.key = v.rest.takeFirst();
    return v;
}

void saidSaved(bool added, const char* what, const QString& key)
{
    out(QStringLiteral("%1 the %2 %3").arg(added ? QStringLiteral("Added") : QStringLiteral("Changed"), QLatin1String(what), key));
}

QString readPasswordLine()
{
    std::string line;
    std::getline(std::cin, line);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return QString::fromLocal8Bit(line.data(), qsizetype(line.size()));
}

int serverCommand(const Verb& v)
{
    if (v.name == QLatin1String("list")) {
        for (const QString& key : ListServers()) {
            const ServerSetup s = ReadServerSetup(key);
            // Listing reads no password: a locked keyring asks nothing here.
            QString account, ssl, port, password;
            LookupServer(key, account, ssl, port, password);
            out(QStringLiteral("%1\taccount %2\tport %3\t%4%5").arg(key, account, port,
                                                                    ssl == QLatin1String("1") ? QStringLiteral("SSL") : QStringLiteral("STARTTLS when offered"),
                                                                    ReadPasswordInKeyring(key) ? QStringLiteral("\tpassword in the keyring") : QString()));
        }
        return kExitOk;
    }
    const Options o = parseOptions(v.rest,
                                   {QStringLiteral("--host"), QStringLiteral("--account"), QStringLiteral("--port"),
                                    QStringLiteral("--rate"), QStringLiteral("--per-minute"), QStringLiteral("--per-hour"),
                                    QStringLiteral("--per-day"), QStringLiteral("--window"), QStringLiteral("--connections"),
                                    QStringLiteral("--login"), QStringLiteral("--token-command"), QStringLiteral("--helo"),
                                    QStringLiteral("--largest-message")},
                                   {QStringLiteral("--ssl"), QStringLiteral("--no-ssl"), QStringLiteral("--password-stdin"),
                                    QStringLiteral("--allow-plain-login"), QStringLiteral("--no-plain-login"),
                                    QStringLiteral("--keyring"), QStringLiteral("--no-keyring")});
    const bool adding = v.name == QLatin1String("add");
    ServerSetup s;
    if (adding) {
        if (o.values.contains(QStringLiteral("--host")))
            throw CommandLineError(QStringLiteral("Unknown argument: --host (the host follows \"add\")"));
        if (o.values.value(QStringLiteral("--account")).trimmed().isEmpty())
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("SMTP server and account can NOT be blank (give --account)."));
        s.entry.host = v.key;
        s.entry.ssl = QStringLiteral("0");
    } else {
        s = ReadServerSetup(v.key);
    }
    s.entry.host = o.values.value(QStringLiteral("--host"), s.entry.host);
    s.entry.account = o.values.value(QStringLiteral("--account"), s.entry.account);
    if (o.flags.contains(QStringLiteral("--ssl")) || o.flags.contains(QStringLiteral("--no-ssl")))
        s.entry.ssl = o.flags.contains(QStringLiteral("--ssl")) ? QStringLiteral("1") : QStringLiteral("0");
    if (o.values.contains(QStringLiteral("--port")))
        s.entry.port = o.values.value(QStringLiteral("--port"));
    else if (adding)
        s.entry.port = s.entry.ssl == QLatin1String("1") ? QStringLiteral("465") : QStringLiteral("25");
    if (!ParseInteger(s.entry.port.trimmed()).has_value())
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("--port takes a number."));
    if (o.flags.contains(QStringLiteral("--password-stdin")))
        s.entry.password = readPasswordLine();
    if (o.flags.contains(QStringLiteral("--keyring")) || o.flags.contains(QStringLiteral("--no-keyring")))
        s.passwordInKeyring = o.flags.contains(QStringLiteral("--keyring"));
    const RunOverrides given = runOverrides(o);
    RunSelection options;
    options.Limits = s.limits;
    options.Speed = s.throughput;
    options.Login = s.login;
    options.Session = s.session;
    ApplyOverrides(options, given);
    s.limits = options.Limits;
    s.throughput = options.Speed;
    s.login = options.Login;
    s.session = options.Session;
    if (o.flags.contains(QStringLiteral("--allow-plain-login")) || o.flags.contains(QStringLiteral("--no-plain-login")))
        s.allowPlainLogin = o.flags.contains(QStringLiteral("--allow-plain-login"));
    const QString key = SaveServer(adding ? std::nullopt : std::optional<QString>(v.key), s);
    saidSaved(adding, "server", key);
    return kExitOk;
}

int senderCommand(const Verb& v)
{
    if (v.name == QLatin1String("list")) {
        for (const QString& address : ListSenders()) {
            const BounceSetup b = ReadBounceSetup(address);
            out(address + u'\t' + LookupSender(address) + (b.address.isEmpty() ? QString() : QStringLiteral("\tbounces to ") + b.address)
                + (b.mailbox.isEmpty() ? QString() : QStringLiteral("\tread from ") + b.mailbox));
        }
        return kExitOk;
    }
    const Options o = parseOptions(v.rest,
                                   {QStringLiteral("--name"), QStringLiteral("--address"), QStringLiteral("--bounce-address"),
                                    QStringLiteral("--bounce-mailbox"), QStringLiteral("--bounce-folder")},
                                   {QStringLiteral("--bounce-password-stdin"), QStringLiteral("--bounce-delete"), QStringLiteral("--bounce-keep")});
    const bool adding = v.name == QLatin1String("add");
    if (adding && o.values.contains(QStringLiteral("--address")))
        throw CommandLineError(QStringLiteral("Unknown argument: --address (the address follows \"add\")"));
    SenderEntry e = adding ? SenderEntry{v.key, {}} : ReadSender(v.key);
    e.address = o.values.value(QStringLiteral("--address"), e.address);
    e.name = o.values.value(QStringLiteral("--name"), e.name);
    if (!IsValidEmail(e.address.trimmed()))
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("\"%1\" is not an email address.").arg(e.address));
    BounceSetup bounce = adding ? BounceSetup() : ReadBounceSetup(v.key);
    bounce.address = o.values.value(QStringLiteral("--bounce-address"), bounce.address).trimmed();
    bounce.mailbox = o.values.value(QStringLiteral("--bounce-mailbox"), bounce.mailbox).trimmed();
    bounce.processedFolder = o.values.value(QStringLiteral("--bounce-folder"), bounce.processedFolder);
    if (o.flags.contains(QStringLiteral("--bounce-delete")) || o.flags.contains(QStringLiteral("--bounce-keep")))
        bounce.deleteProcessed = o.flags.contains(QStringLiteral("--bounce-delete"));
    if (o.flags.contains(QStringLiteral("--bounce-password-stdin")))
        bounce.password = readPasswordLine();
    // Checked before anything is saved: a bad bounce setting leaves the sender as it was.
    if (const QString fault = bounce.address.isEmpty() ? QString() : ReturnPath::addressFault(bounce.address); !fault.isEmpty())
        throw BrevoraError(ErrorKind::Usage, fault);
    if (!bounce.mailbox.isEmpty())
        CheckMailboxUrl(bounce.mailbox);
    const QString key = SaveSender(adding ? std::nullopt : std::optional<QString>(v.key), e);
    WriteBounceSetup(key, bounce);
    saidSaved(adding, "sender", key);
    return kExitOk;
}

// The text of a body file as the content keeps it: lines ending in CR LF. An HTML body is told by
// its first line naming html, as the content dialog has it.
QString bodyFromFile(const QString& path, bool html)
{
    QStringList lines = SplitTextLines(DecodeCsvFile(ReadFileBytes(path)));
    if (lines.isEmpty())
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("The body file \"%1\" is empty.").arg(path));
    const bool namesHtml = lines.first().contains(QLatin1String("html"));
    if (html && !namesHtml)
        lines.prepend(QStringLiteral("<!DOCTYPE html>"));
    if (!html && namesHtml)
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("The first line of \"%1\" says html, so the message would go out as HTML: "
                                                            "give --html, or start the text with another line.").arg(path));
    return lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n");
}

int contentCommand(const Verb& v)
{
    if (v.name == QLatin1String("list")) {
        for (const QString& title : ListContents())
            out(title);
        return kExitOk;
    }
    const Options o = parseOptions(v.rest,
                                   {QStringLiteral("--title"), QStringLiteral("--body"), QStringLiteral("--unsubscribe"),
                                    QStringLiteral("--attach"), QStringLiteral("--attach-column"), QStringLiteral("--attach-dir"),
                                    QStringLiteral("--feedback-id"), QStringLiteral("--list-id"), QStringLiteral("--header")},
                                   {QStringLiteral("--html")});
    const bool adding = v.name == QLatin1String("add");
    if (adding && o.values.contains(QStringLiteral("--title")))
        throw CommandLineError(QStringLiteral("Unknown argument: --title (the title follows \"add\")"));
    if (adding && !o.values.contains(QStringLiteral("--body")))
        throw CommandLineError(QStringLiteral("\"content add\" needs --body FILE."));
    ContentSetup s = adding ? ContentSetup{} : ReadContentSetup(v.key);
    const std::optional<QString> oldKey = adding ? std::nullopt : std::optional<QString>(v.key);
    s.entry.title = o.values.value(QStringLiteral("--title"), adding ? v.key : s.entry.title);
    const RunOverrides given = runOverrides(o);
    if (given.unsubscribe)
        s.links = *given.unsubscribe;
    if (!given.attachFiles.isEmpty())
        s.attachments = given.attachFiles;
    for (const QString& file : s.attachments)
        ReadAttachment(file);
    s.recipientFiles.column = given.attachColumn.value_or(s.recipientFiles.column);
    s.recipientFiles.folder = given.attachFolder.value_or(s.recipientFiles.folder);
    s.headers.feedbackId = o.values.value(QStringLiteral("--feedback-id"), s.headers.feedbackId);
    s.headers.listId = o.values.value(QStringLiteral("--list-id"), s.headers.listId);
    if (o.repeated.contains(QStringLiteral("--header")))
        s.headers.custom = given.headers;
    CheckContentHeaders(s.headers);
    CheckContentEntry({s.entry.title, QStringLiteral("x")});
    CheckContentFree(oldKey, s.entry.title);
    CheckUnsubscribe(s.links);
    std::optional<QString> body;
    if (o.values.contains(QStringLiteral("--body")))
        body = bodyFromFile(o.values.value(QStringLiteral("--body")), o.flags.contains(QStringLiteral("--html")));
    if (body)
        CodePage::encode(*body); // text the code page cannot hold is refused before anything is written
    if (adding)
        s.entry.bodyFile = CreateBodyFile();
    try {
        if (body)
            SaveBodyText(s.entry.bodyFile, *body);
        SaveContent(oldKey, s);
    } catch (...) {
        if (adding)
            QFile::remove(AppDir() + s.entry.bodyFile); // no entry names it
        throw;
    }
    saidSaved(adding, "content", s.entry.title.trimmed());
    return kExitOk;
}

int run(const QStringList& args, const char* usage, const char* what, void (*remove)(const QString&), int (*command)(const Verb&))
{
    if (args.contains(QStringLiteral("--help"))) {
        std::fputs(usage, stdout);
        return kExitOk;
    }
    const Verb v = parseVerb(args, usage);
    if (v.name != QLatin1String("remove"))
        return command(v);
    parseOptions(v.rest, {}, {});
    remove(v.key);
    out(QStringLiteral("Removed the %1 %2").arg(QLatin1String(what), v.key));
    return kExitOk;
}

} // namespace

int ServerCommand(const QStringList& args)
{
    return run(args, kServerUsage, "server", DeleteServer, serverCommand);
}

int SenderCommand(const QStringList& args)
{
    return run(args, kSenderUsage, "sender", DeleteSender, senderCommand);
}

int ContentCommand(const QStringList& args)
{
    return run(args, kContentUsage, "content", DeleteContent, contentCommand);
}

} // namespace cli
