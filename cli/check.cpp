#include "cli/command.h"

#include "core/error.h"
#include "core/run/pendinglist.h"
#include "core/run/preflight.h"
#include "core/sendlog/sendlogstore.h"
#include "core/settings/settingsfile.h"
#include "core/text/textutil.h"

#include <cstdio>
#include <unistd.h>

// "brevora check": whether the sender's domain is set up for receivers to take its mail.
namespace cli {
namespace {

const char* kCheckUsage =
    "Usage: brevora check [--sender ADDRESS] [--server HOST] [--content TITLE] [--trust-certificate SHA256]\n"
    "Checks the sender's domain before a campaign, through the DNS: SPF of the From and return-path\n"
    "domains (present, one record, not +all, at most 10 look-ups), each DKIM key's published record\n"
    "against the key, DMARC of the organisational domain (its policy, and a DKIM domain or return\n"
    "path that aligns with From), a free-mail From, and MX for bounces and replies; whether the\n"
    "server speaks TLS (and whether SPF names its addresses), whether the bounce mailbox takes its\n"
    "login; and the message the first pending entry would get (Message-ID and Date,\n"
    "one-click unsubscribe with a link in the body, a text part for HTML, its size). Prints a table\n"
    "(a line a check, tab-separated, when not on a terminal): pass, warning or failure, what was\n"
    "found and what to do. Exit status 0 when nothing fails, 5 when something does.\n";

} // namespace

int CheckCommand(const QStringList& args)
{
    if (args.contains(QStringLiteral("--help"))) {
        std::fputs(kCheckUsage, stdout);
        return kExitOk;
    }
    const Options o = parseOptions(args, {QStringLiteral("--sender"), QStringLiteral("--server"), QStringLiteral("--content"),
                                          QStringLiteral("--trust-certificate")}, {});
    RunSelection s;
    SelectSender(s, pick(ListSenders(), SettingsKeys::SenderPosition, o.values.value(QStringLiteral("--sender"), QString()), "sender"));
    // The server and the message, where there is one to check.
    if (o.values.contains(QStringLiteral("--server")) || !ListServers().isEmpty())
        SelectServer(s, pick(ListServers(), SettingsKeys::ServerPosition, o.values.value(QStringLiteral("--server"), QString()), "server"));
    QByteArray message;
    if (o.values.contains(QStringLiteral("--content")) || !ListContents().isEmpty()) {
        SelectContent(s, pick(ListContents(), SettingsKeys::ContentPosition, o.values.value(QStringLiteral("--content"), QString()), "content"));
        std::unique_ptr<SendLogStore> store = openStore();
        PendingList list(store.get());
        message = FirstMessageFor(s, list.count() > 0 ? list.entry(0) : QString(), store->fieldNames());
    }
    const QString trusted = NormalizeFingerprint(o.values.value(QStringLiteral("--trust-certificate")));
    const QList<PreflightResult> results =
        CheckBeforeRun(s, message, SystemDns(), [trusted](const CertificateInfo& info) { return IsTrustedCertificate(info, trusted); });
    bool failed = false;
    const bool terminal = ::isatty(STDOUT_FILENO) == 1;
    int width = 0;
    for (const PreflightResult& r : results)
        width = qMax(width, int(r.check.size()));
    for (const PreflightResult& r : results) {
        failed = failed || r.level == PreflightResult::Level::Failure;
        if (terminal) {
            out(QStringLiteral("%1  %2  %3").arg(LevelName(r.level).leftJustified(7), r.check.leftJustified(width), PrintableText(r.detail, true)));
            if (!r.advice.isEmpty())
                out(QString(9 + width + 2, u' ') + QStringLiteral("-> ") + r.advice);
        } else {
            out(QStringList{LevelName(r.level), r.check, PrintableText(r.detail, true), r.advice}.join(u'\t'));
        }
    }
    return failed ? kExitCheckFailed : kExitOk;
}

} // namespace cli
