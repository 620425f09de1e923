#include "cli/command.h"

#include "core/bounce/bounceprocessor.h"
#include "core/error.h"
#include "core/sendlog/sendlogstore.h"
#include "core/settings/settingsfile.h"
#include "core/text/textutil.h"

#include <QDate>
#include <cstdio>

// "brevora bounces fetch|import|list": reading bounce and complaint mail into the store.
namespace cli {
namespace {

const char* kBouncesUsage =
    "Usage: brevora bounces fetch [--sender ADDRESS] [--trust-certificate SHA256]\n"
    "       brevora bounces import FILE...\n"
    "       brevora bounces list [--since YYYY-MM-DD] [--runs]\n"
    "fetch reads the bounce mailbox of the sender (every sender with one, without --sender): bounce\n"
    "messages, complaints and automatic replies are recorded and moved to the processed folder (POP3:\n"
    "kept, or deleted when the sender's setting says so); other mail is left where it was, unread.\n"
    "import reads messages saved by another program: a message file, an mbox file or a Maildir folder.\n"
    "Hard bounces and complaints put their address on the suppression list, and so do repeated soft\n"
    "bounces; a message read twice counts once. list prints the results (date, address, class,\n"
    "status, reason, run); --runs prints each run's messages sent and bounce and complaint rates.\n";

QString percent(int part, qint64 whole)
{
    return whole > 0 ? QString::number(100.0 * part / double(whole), 'f', 2) + u'%' : QStringLiteral("-");
}

void summarize(const BounceSummary& s)
{
    out(QStringLiteral("%1 messages read: %2; %3 automatic replies, %4 read before, %5 left alone%6")
            .arg(s.messages)
            .arg(s.text())
            .arg(s.autoReplies)
            .arg(s.known)
            .arg(s.unrelated)
            .arg(s.untraced ? QStringLiteral(", %1 naming no known recipient").arg(s.untraced) : QString()));
}

int fetch(const Options& o)
{
    QString trusted;
    if (o.values.contains(QStringLiteral("--trust-certificate"))) {
        trusted = NormalizeFingerprint(o.values.value(QStringLiteral("--trust-certificate")));
        if (trusted.isEmpty())
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("A certificate fingerprint is 64 hexadecimal digits."));
    }
    QStringList senders;
    if (o.values.contains(QStringLiteral("--sender"))) {
        const QString sender = o.values.value(QStringLiteral("--sender")).trimmed();
        if (ReadBounceSetup(sender).mailbox.isEmpty())
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("The sender %1 has no bounce mailbox: brevora sender edit %1 "
                                                                "--bounce-mailbox imaps://user@host/INBOX --bounce-password-stdin").arg(sender));
        senders.append(sender);
    } else {
        for (const QString& sender : ListSenders())
            if (!ReadBounceSetup(sender).mailbox.isEmpty())
                senders.append(sender);
        if (senders.isEmpty())
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("No sender has a bounce mailbox: brevora sender edit ADDRESS "
                                                                "--bounce-mailbox imaps://user@host/INBOX --bounce-password-stdin"));
    }
    std::unique_ptr<SendLogStore> store = openStore();
    BounceProcessor processor(store->bounces(), ReadBounceRules());
    const CertificateDecision decision = [trusted](const CertificateInfo& info) {
        if (IsTrustedCertificate(info, trusted))
            return true;
        err(QStringLiteral("The certificate of %1 is not trusted (%2). SHA-256 fingerprint: %3").arg(info.host, info.reason, info.sha256));
        return false;
    };
    for (const QString& sender : senders)
        FetchBounces(ReadBounceSetup(sender), decision, processor);
    summarize(processor.summary());
    return kExitOk;
}

int import(const QStringList& files)
{
    if (files.isEmpty())
        throw CommandLineError(QStringLiteral("\"import\" needs the files to read."));
    std::unique_ptr<SendLogStore> store = openStore();
    BounceProcessor processor(store->bounces(), ReadBounceRules());
    ImportBounceFiles(files, processor);
    summarize(processor.summary());
    return kExitOk;
}

int list(const Options& o)
{
    std::unique_ptr<SendLogStore> store = openStore();
    bool ok = false;
    if (o.flags.contains(QStringLiteral("--runs"))) {
        const QList<BounceLog::RunSummary> runs = store->bounces().runs(&ok);
        if (!ok)
            throw BrevoraError(ErrorKind::Store, store->lastError());
        for (const BounceLog::RunSummary& r : runs)
            out(QStringLiteral("run %1\t%2\t%3\t%4 sent\t%5 hard (%6)\t%7 soft\t%8 policy\t%9 complaints (%10)%11")
                    .arg(r.run)
                    .arg(r.started, r.sender)
                    .arg(r.sent)
                    .arg(r.hard)
                    .arg(percent(r.hard, r.sent))
                    .arg(r.soft)
                    .arg(r.policy)
                    .arg(r.complaints)
                    .arg(percent(r.complaints, r.sent))
                    .arg(r.brake.isEmpty() ? QString() : QStringLiteral("\tstopped: ") + r.brake));
        return kExitOk;
    }
    QString since;
    if (o.values.contains(QStringLiteral("--since"))) {
        const QDate day = QDate::fromString(o.values.value(QStringLiteral("--since")).trimmed(), Qt::ISODate);
        if (!day.isValid())
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("--since takes a date: YYYY-MM-DD."));
        since = day.toString(Qt::ISODate);
    }
    const QList<BounceLog::Row> rows = store->bounces().rows(since, &ok);
    if (!ok)
        throw BrevoraError(ErrorKind::Store, store->lastError());
    for (const BounceLog::Row& r : rows)
        out(QStringLiteral("%1\t%2\t%3\t%4\t%5\t%6")
                .arg(r.received, r.address, r.kind, r.status, PrintableText(r.reason, true),
                     r.run > 0 ? QStringLiteral("run %1").arg(r.run) : QStringLiteral("-")));
    return kExitOk;
}

} // namespace

int BouncesCommand(const QStringList& args)
{
    if (args.isEmpty() || args.contains(QStringLiteral("--help"))) {
        std::fputs(kBouncesUsage, args.isEmpty() ? stderr : stdout);
        return args.isEmpty() ? kExitUsage : kExitOk;
    }
    const QString verb = args.first();
    const QStringList rest = args.mid(1);
    if (verb == QLatin1String("fetch"))
        return fetch(parseOptions(rest, {QStringLiteral("--sender"), QStringLiteral("--trust-certificate")}, {}));
    if (verb == QLatin1String("import")) {
        for (const QString& a : rest)
            if (a.startsWith(QLatin1String("--")))
                throw CommandLineError(QStringLiteral("Unknown argument: %1").arg(a));
        return import(rest);
    }
    if (verb == QLatin1String("list"))
        return list(parseOptions(rest, {QStringLiteral("--since")}, {QStringLiteral("--runs")}));
    throw CommandLineError(QStringLiteral("Unknown argument: %1 (say fetch, import or list)").arg(verb));
}

} // namespace cli
