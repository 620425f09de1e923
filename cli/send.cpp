#include "cli/command.h"

#include "core/error.h"
#include "core/sendlog/sendlogstore.h"
#include "core/settings/settingsfile.h"
#include "core/intake/csvfile.h"
#include "core/intake/intakerule.h"
#include "core/intake/listfile.h"
#include "core/intake/listintake.h"
#include "core/run/pendinglist.h"
#include "core/run/prepare.h"
#include "core/run/sendingrun.h"
#include "core/smtp/securetransport.h"
#include "core/text/codepage.h"
#include "core/text/textutil.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <functional>
#include <optional>
#include <tuple>
#include <unistd.h>

namespace cli {
namespace {

// Ctrl-C or a TERM signal stops a run as the window's Stop does: the session ends cleanly and
// nothing delivered goes unrecorded. A second one ends the process at once, saying so when it cuts
// short the wait for the reply to a message whose data went out.
class StopOnSignal
{
public:
    explicit StopOnSignal(std::function<void()> stop)
    {
        s_stopping = 0;
        s_awaitingReply = 0;
        if (::pipe(s_pipe) != 0)
            return;
        m_notifier = std::make_unique<QSocketNotifier>(s_pipe[0], QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this, stop = std::move(stop)] {
            char number = 0;
            if (::read(s_pipe[0], &number, 1) == 1 && m_signal == 0) {
                m_signal = number;
                stop();
            }
        });
        struct sigaction action{};
        action.sa_handler = [](int number) {
            if (s_stopping) {
                if (s_awaitingReply) {
                    static const char line[] = "Stopped before the server answered: a message on its way may arrive twice.\n";
                    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, line, sizeof line - 1);
                }
                std::signal(number, SIG_DFL);
                std::raise(number);
                return;
            }
            s_stopping = 1;
            const char byte = char(number);
            [[maybe_unused]] const ssize_t n = ::write(s_pipe[1], &byte, 1);
        };
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
    }
    // The stop waits for replies to data already written: a second signal would cut them short.
    static void noteAwaitingReply(bool awaiting) { s_awaitingReply = awaiting ? 1 : 0; }
    ~StopOnSignal()
    {
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        m_notifier.reset();
        if (s_pipe[0] >= 0) {
            ::close(s_pipe[0]);
            ::close(s_pipe[1]);
            s_pipe[0] = s_pipe[1] = -1;
        }
    }
    StopOnSignal(const StopOnSignal&) = delete;
    StopOnSignal& operator=(const StopOnSignal&) = delete;
    // The signal that stopped the run; 0: none.
    int received() const { return m_signal; }

private:
    static inline int s_pipe[2] = {-1, -1};
    static inline volatile std::sig_atomic_t s_stopping = 0;
    static inline volatile std::sig_atomic_t s_awaitingReply = 0;
    std::unique_ptr<QSocketNotifier> m_notifier;
    int m_signal = 0;
};

// On a terminal, a line under the activity that shows how far the run is, rewritten in place;
// elsewhere (a file, a pipe) nothing but the activity lines.
class ProgressLine
{
public:
    ProgressLine()
        : m_terminal(::isatty(STDOUT_FILENO) == 1)
    {
        m_started.start();
    }
    void update(int done, int total)
    {
        if (!m_terminal || (done < total && m_lastDrawn.isValid() && m_lastDrawn.elapsed() < 100))
            return;
        m_lastDrawn.start();
        const double seconds = qMax<qint64>(1, m_started.elapsed()) / 1000.0;
        const double rate = done / seconds;
        QString text = QStringLiteral("%1 / %2 sent, %3 a second").arg(done).arg(total).arg(rate, 0, 'f', rate < 10 ? 1 : 0);
        if (rate > 0 && done < total) {
            const qint64 left = qint64((total - done) / rate);
            text += QStringLiteral(", %1:%2 left").arg(left / 60).arg(left % 60, 2, 10, QLatin1Char('0'));
        }
        m_text = text;
        draw();
    }
    // An activity line goes above the progress line.
    void print(const QString& line)
    {
        if (m_terminal && !m_text.isEmpty())
            std::fputs("\r\x1b[K", stdout);
        out(line);
        draw();
    }
    void finish()
    {
        if (m_terminal && !m_text.isEmpty()) {
            std::fputs("\r\x1b[K", stdout);
            std::fflush(stdout);
        }
        m_text.clear();
    }

private:
    void draw()
    {
        if (!m_terminal || m_text.isEmpty())
            return;
        const QByteArray bytes = "\r\x1b[K" + m_text.toLocal8Bit();
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
        std::fflush(stdout);
    }

    bool m_terminal;
    QElapsedTimer m_started;
    QElapsedTimer m_lastDrawn;
    QString m_text;
};

// Writes each entry's message to the folder as NNNNNN-address.eml, byte for byte what would go
// out; the pending list, the send log and the network are left alone. Suppressed addresses are
// left out, as a run leaves them.
int writeDryRun(const QString& dir, const QStringList& entries, SendLogStore& store, const EmailMessage& base,
                const QStringList& body, const MessageExtras& extras)
{
    if (dir.isEmpty() || !QDir().mkpath(dir))
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("Cannot make the folder \"%1\".").arg(dir));
    const QHash<QString, QString> suppressed = store.suppression().among(entries);
    int written = 0;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        if (suppressed.contains(entries[i])) {
            err(QStringLiteral("%1 is suppressed: no message.").arg(entries[i]));
            continue;
        }
        const QString path = QDir(dir).filePath(MessageFileName(int(i + 1), entries[i]));
        WriteFileBytes(path, MessageFileBytes(base, entries[i], body, extras));
        ++written;
    }
    out(QStringLiteral("%1 messages written to %2").arg(written).arg(QDir(dir).absolutePath()));
    return kExitOk;
}

} // namespace

// What the options of "send" change in the selection the settings make; a usage error for a
// value that cannot be used.
RunOverrides runOverrides(const Options& o)
{
    RunOverrides v;
    v.allowPlainLogin = o.flags.contains(QStringLiteral("--allow-plain-login"));
    for (const auto& [option, limit] : {std::pair{QStringLiteral("--rate"), &v.perSecond},
                                        std::pair{QStringLiteral("--per-minute"), &v.perMinute},
                                        std::pair{QStringLiteral("--per-hour"), &v.perHour},
                                        std::pair{QStringLiteral("--per-day"), &v.perDay}}) {
        if (!o.values.contains(option))
            continue;
        bool ok = false;
        *limit = o.values.value(option).toInt(&ok);
        if (!ok || **limit < 0)
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("%1 takes a number of messages (0: no limit).").arg(option));
    }
    if (o.values.contains(QStringLiteral("--login"))) {
        v.login = LoginMechanismNamed(o.values.value(QStringLiteral("--login")));
        if (!v.login)
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("--login takes auto, login, plain or xoauth2."));
    }
    if (o.values.contains(QStringLiteral("--token-command")))
        v.tokenCommand = o.values.value(QStringLiteral("--token-command"));
    for (const auto& [option, value, most] :
         {std::tuple{QStringLiteral("--window"), &v.inFlight, Throughput::kMostInFlight},
          std::tuple{QStringLiteral("--connections"), &v.connections, Throughput::kMostConnections}}) {
        if (!o.values.contains(option))
            continue;
        bool ok = false;
        *value = o.values.value(option).toInt(&ok);
        if (!ok || **value < 1 || **value > most)
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("%1 takes a number from 1 to %2.").arg(option).arg(most));
    }
    if (o.values.contains(QStringLiteral("--uncertain"))) {
        const QString choice = o.values.value(QStringLiteral("--uncertain"));
        if (choice != QLatin1String("resend") && choice != QLatin1String("skip"))
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("--uncertain takes resend or skip."));
        v.recordUncertain = choice == QLatin1String("skip");
    }
    if (o.values.contains(QStringLiteral("--helo")))
        v.greetingName = o.values.value(QStringLiteral("--helo")).trimmed();
    if (o.values.contains(QStringLiteral("--largest-message"))) {
        bool ok = false;
        v.largestMessageMb = o.values.value(QStringLiteral("--largest-message")).toInt(&ok);
        if (!ok || *v.largestMessageMb < 1 || *v.largestMessageMb > ServerSession::kMostLargestMb)
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("--largest-message takes a number of MB from 1 to %1.").arg(ServerSession::kMostLargestMb));
    }
    if (o.repeated.contains(QStringLiteral("--unsubscribe"))) {
        Unsubscribe links;
        for (const QString& uri : o.repeated.value(QStringLiteral("--unsubscribe"))) {
            QString& slot = uri.startsWith(QLatin1String("mailto:"), Qt::CaseInsensitive) ? links.mailto : links.url;
            if (!slot.isEmpty())
                throw BrevoraError(ErrorKind::Usage, QStringLiteral("--unsubscribe takes one mailto: address and one https: URL."));
            slot = uri;
        }
        CheckUnsubscribe(links);
        v.unsubscribe = links;
    }
    v.attachFiles = o.repeated.value(QStringLiteral("--attach"));
    if (o.values.contains(QStringLiteral("--attach-column")))
        v.attachColumn = o.values.value(QStringLiteral("--attach-column"));
    if (o.values.contains(QStringLiteral("--attach-dir")))
        v.attachFolder = o.values.value(QStringLiteral("--attach-dir"));
    for (const QString& header : o.repeated.value(QStringLiteral("--header")))
        v.headers.append(ParseHeaderText(header));
    ContentHeaders given;
    given.custom = v.headers;
    CheckContentHeaders(given);
    return v;
}

const char* const kSendUsage =
    "Usage: brevora send [--data-dir DIR] [--list FILE [--resend] | --test ADDRESS] [--server HOST]\n"
    "                    [--sender ADDRESS] [--content TITLE] [--interval MS] [--trust-certificate SHA256]\n"
    "                    [--allow-plain-login] [--on-refusal stop|skip] [--retry-failed]\n"
    "                    [--rate N] [--per-minute N] [--per-hour N] [--per-day N]\n"
    "                    [--window N] [--connections N] [--store URL [--lease SECONDS]]\n"
    "                    [--login auto|login|plain|xoauth2 [--token-command CMD]] [--unsubscribe URI]...\n"
    "                    [--dry-run DIR] [--address-column NAME] [--helo NAME] [--largest-message MB]\n"
    "                    [--uncertain resend|skip]\n"
    "                    [--attach FILE]... [--attach-column NAME [--attach-dir DIR]]\n"
    "                    [--header NAME:VALUE]...\n"
    "Sends the pending list (after adding the lines of FILE) through one SMTP session.\n"
    "Exit status: 0 list emptied or test accepted, 1 a message refused, 2 connecting or\n"
    "authentication failed, 3 usage, settings or message preparation error, 128 + N stopped by\n"
    "signal N (Ctrl-C: 130).\n"
    "--allow-plain-login lets this run log in to a server that is not this machine without TLS.\n"
    "--on-refusal skip goes on after a refused recipient (into the failed list); --retry-failed\n"
    "puts the failed list back into the pending list first. --rate, --per-minute, --per-hour and\n"
    "--per-day limit the messages through the server (counted over all runs; 0: no limit).\n"
    "With --interval 0 the run goes as fast as the server allows: --window sets the messages in\n"
    "flight on one connection (BDAT; default 32), --connections the sessions sharing the list\n"
    "(default 1); both default to the server's settings.\n"
    "--uncertain skip records as delivered (unconfirmed) the entries whose message a run that was\n"
    "killed wrote without reading the server's reply, instead of sending them again (resend, the\n"
    "default, or the window's Never twice); \"brevora list --uncertain\" shows them.\n"
    "--helo NAME is the name the session greets the server with (default: this machine's fully\n"
    "qualified name, else the address literal of the connection, such as [192.0.2.1]).\n"
    "--largest-message MB refuses a larger message before it goes out, where the server names no\n"
    "limit (SIZE) of its own (default 50).\n"
    "--login picks how to log in (auto: LOGIN where offered, else PLAIN); xoauth2 takes its access\n"
    "token from what --token-command prints (run without a shell at each login).\n"
    "--unsubscribe (a mailto: address, an https: URL, or one of each) sets the List-Unsubscribe\n"
    "links of this run; [= EMAIL =] and [= PARAMn =] in them are filled for each recipient.\n"
    "A list FILE whose first line names columns (email, e-mail, mail or address among them; CSV or\n"
    "TSV, as a spreadsheet writes it) gives one entry a row, the other columns as its values, which\n"
    "placeholders reach by number or by name ([= first_name =]); --address-column names the\n"
    "address column.\n"
    "--attach FILE (again for more) sends a file with every message, besides the content's own;\n"
    "--attach-column NAME sends each recipient the file its list value NAME names, inside\n"
    "--attach-dir DIR (default: the working folder).\n"
    "--header NAME:VALUE (again for more) adds a header of your own to every message, besides the\n"
    "content's; placeholders in VALUE are filled for each recipient.\n"
    "--dry-run DIR writes each message to DIR as NNNNNN-address.eml, byte for byte what would go\n"
    "out, and changes nothing else: no list, no log, no network.\n"
    "With a shared store (--store postgresql://user@host:port/dbname, or BREVORA_STORE) several\n"
    "runs, on this machine or others, send one list together: each claims a few entries at a time\n"
    "for --lease SECONDS (default 180), renewed while it works; the entries of a run that dies go\n"
    "to the others when its lease ends.\n";

int SendCommand(const QStringList& args)
{
    if (args.contains(QStringLiteral("--help"))) {
        std::fputs(kSendUsage, stdout);
        return kExitOk;
    }
    const Options o = parseOptions(args,
                                   {QStringLiteral("--list"), QStringLiteral("--test"), QStringLiteral("--server"),
                                    QStringLiteral("--sender"), QStringLiteral("--content"), QStringLiteral("--interval"),
                                    QStringLiteral("--trust-certificate"), QStringLiteral("--on-refusal"),
                                    QStringLiteral("--rate"), QStringLiteral("--per-minute"), QStringLiteral("--per-hour"),
                                    QStringLiteral("--per-day"), QStringLiteral("--window"), QStringLiteral("--connections"),
                                    QStringLiteral("--login"), QStringLiteral("--token-command"),
                                    QStringLiteral("--unsubscribe"), QStringLiteral("--dry-run"),
                                    QStringLiteral("--address-column"), QStringLiteral("--attach"),
                                    QStringLiteral("--attach-column"), QStringLiteral("--attach-dir"), QStringLiteral("--header"),
                                    QStringLiteral("--lease"), QStringLiteral("--helo"), QStringLiteral("--largest-message"),
                                    QStringLiteral("--uncertain")},
                                   {QStringLiteral("--resend"), QStringLiteral("--allow-plain-login"),
                                    QStringLiteral("--retry-failed")});
    const QString listFile = o.values.value(QStringLiteral("--list"));
    const bool test = o.values.contains(QStringLiteral("--test"));
    if (test && !listFile.isEmpty())
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("--list and --test cannot be used together."));
    QString trusted;
    if (o.values.contains(QStringLiteral("--trust-certificate"))) {
        trusted = NormalizeFingerprint(o.values.value(QStringLiteral("--trust-certificate")));
        if (trusted.isEmpty())
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("A certificate fingerprint is 64 hexadecimal digits."));
    }
    RefusalChoice refusalChoice = RefusalChoice::Stop;
    if (o.values.contains(QStringLiteral("--on-refusal"))) {
        const QString choice = o.values.value(QStringLiteral("--on-refusal"));
        if (choice != QLatin1String("stop") && choice != QLatin1String("skip"))
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("--on-refusal takes stop or skip."));
        refusalChoice = choice == QLatin1String("skip") ? RefusalChoice::Skip : RefusalChoice::Stop;
    }
    int interval = 50;
    if (o.values.contains(QStringLiteral("--interval"))) {
        bool ok = false;
        interval = o.values.value(QStringLiteral("--interval")).toInt(&ok);
        if (!ok || interval < 0)
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("The interval is a number of milliseconds."));
    }

    RunSelection s;
    SelectServer(s, pick(ListServers(), SettingsKeys::ServerPosition, o.values.value(QStringLiteral("--server"), QString()), "server"));
    SelectSender(s, pick(ListSenders(), SettingsKeys::SenderPosition, o.values.value(QStringLiteral("--sender"), QString()), "sender"));
    SelectContent(s, pick(ListContents(), SettingsKeys::ContentPosition, o.values.value(QStringLiteral("--content"), QString()), "content"));
    s.ReturnReceipt = ReadReturnReceipt();
    s.RecordUncertain = ReadRecordUncertain();
    ApplyOverrides(s, runOverrides(o));
    if (s.Login.mechanism == LoginMechanism::XOAuth2 && s.Login.tokenCommand.trimmed().isEmpty())
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("Logging in with xoauth2 needs a token command (--token-command)."));
    if (s.AttachFolder.isEmpty())
        s.AttachFolder = QStringLiteral(".");
    for (const QString& file : s.AttachFiles)
        ReadAttachment(file); // a file that cannot be read stops the run before it starts
    const QString bodyFile = LookupContent(s.ContentTitle);
    const QStringList body = bodyFile.trimmed().isEmpty() ? QStringList() : LoadBodyLines(bodyFile);

    // A test send touches neither the list nor the log: it works without a store.
    const QString dryRunDir = o.values.value(QStringLiteral("--dry-run"));
    const bool dryRun = o.values.contains(QStringLiteral("--dry-run"));
    if (dryRun && (test || o.flags.contains(QStringLiteral("--retry-failed"))))
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("--dry-run goes with neither --test nor --retry-failed."));
    std::unique_ptr<SendLogStore> storeOwner = test ? nullptr : openStore();
    if (o.values.contains(QStringLiteral("--lease"))) {
        if (!storeOwner || !storeOwner->claims())
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("--lease goes with a shared store (--store postgresql://...)."));
        bool ok = false;
        const int lease = o.values.value(QStringLiteral("--lease")).toInt(&ok);
        if (!ok || lease < Claims::kShortestLease || lease > 86400)
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("--lease takes a number of seconds from %1 to 86400.")
                                                     .arg(Claims::kShortestLease));
        storeOwner->claims()->setLeaseSeconds(lease);
    }
    if (storeOwner && o.flags.contains(QStringLiteral("--retry-failed")) && !storeOwner->retryFailed())
        throw BrevoraError(ErrorKind::Store, storeOwner->lastError());
    PendingList list(storeOwner.get());
    QStringList dryRunEntries; // a dry run's entries from the list file, which it does not add
    QStringList csvFieldNames; // the value names of a CSV list file
    bool rewriteListFile = !listFile.isEmpty(); // a plain list file ends up holding what is pending

    if (!listFile.isEmpty()) {
        const bool resend = o.flags.contains(QStringLiteral("--resend"));
        // Read a piece at a time: a list of millions is never all in memory.
        ListFileReader reader(listFile, o.values.value(QStringLiteral("--address-column")),
                              o.values.contains(QStringLiteral("--address-column")));
        CsvList piece;
        const bool more = reader.next(&piece);
        if (reader.isTable()) {
            // A spreadsheet's list: each row an entry; the header names the values.
            if (piece.addressColumn < 0) {
                for (const QString& refusal : piece.refusals)
                    err(QStringLiteral("%1 %2").arg(listFile, refusal));
                throw BrevoraError(ErrorKind::Usage, QStringLiteral("%1 has no address column.").arg(listFile));
            }
            csvFieldNames = piece.fieldNames();
            rewriteListFile = false; // a spreadsheet's table is the user's own: it is never rewritten
        }
        // A dry run changes nothing: it neither locks nor adds. Runs started together on a shared
        // store with the same file add it once: each checks and adds in turn, against the list as
        // the one before it left it.
        ListIntake intake(storeOwner.get(), [&list](const QString& e) { return list.contains(e); },
                          dryRun ? std::function<void(const QStringList&)>() : [&list](const QStringList& e) { list.append(e); },
                          dryRun ? ListIntake::Lock::Skip : ListIntake::Lock::Take);
        if (storeOwner->claims() && !dryRun)
            list.reload(true);
        if (!rewriteListFile && !dryRun) // a table: its header names the values from now on
            intake.saveFieldNames(csvFieldNames);
        ListIntake::Handlers handlers;
        handlers.resend = [resend](const QString&) { return resend; };
        int duplicates = 0;
        int sentBefore = 0;
        qsizetype added = 0;
        handlers.leftOut = [&](qsizetype i, IntakeRule::Verdict verdict, const QString& reason) {
            // A list given again is mostly in the list already: those are counted, not listed.
            if (verdict == IntakeRule::Verdict::Duplicate || verdict == IntakeRule::Verdict::SentBefore)
                ++(verdict == IntakeRule::Verdict::Duplicate ? duplicates : sentBefore);
            else
                err(QStringLiteral("%1 line %2 is not added: %3.").arg(listFile).arg(piece.entryLines[i]).arg(reason));
        };
        for (bool read = more; read; read = reader.next(&piece)) {
            for (const QString& refusal : piece.refusals)
                err(QStringLiteral("%1 %2").arg(listFile, refusal));
            const QStringList adding = intake.add(piece.entries, handlers);
            added += adding.size();
            if (dryRun)
                dryRunEntries += adding;
        }
        if (sentBefore > 0)
            err(QStringLiteral("%1: %2 lines are not added: they were sent to before (--resend sends them again).").arg(listFile).arg(sentBefore));
        if (duplicates > 0 && added > 0)
            err(QStringLiteral("%1: %2 lines are in the list already or repeat an earlier line.").arg(listFile).arg(duplicates));
    }
    if (dryRun)
        return writeDryRun(dryRunDir, list.entries() + dryRunEntries, *storeOwner, BaseMessage(s), body,
                           ExtrasFor(s, csvFieldNames.isEmpty() ? storeOwner->fieldNames() : csvFieldNames));

    SendingRun run(list);
    run.setInterval(interval);
    run.setRefusalChoice(refusalChoice);
    run.setBodyProvider([body] { return body; });
    run.setCertificateDecision([trusted](const CertificateInfo& info) {
        if (IsTrustedCertificate(info, trusted))
            return true;
        err(QStringLiteral("The certificate of %1 is not trusted (%2). SHA-256 fingerprint: %3")
                .arg(info.host, info.reason, info.sha256));
        return false;
    });
    ProgressLine progress;
    QObject::connect(&run, &SendingRun::activity, [&progress](const QString& line) { progress.print(line); });
    if (!test)
        QObject::connect(&run, &SendingRun::progress, [&progress](int done, int total) { progress.update(done, total); });
    QString prepareError;
    QObject::connect(&run, &SendingRun::errorRaised, [&prepareError](const QString& m) { prepareError = m; });
    bool done = false;
    RunOutcome outcome = RunOutcome::Completed;
    QObject::connect(&run, &SendingRun::finished, [&](RunOutcome o) {
        outcome = o;
        done = true;
        QCoreApplication::exit(0);
    });

    StopOnSignal stopOnSignal([&run] {
        run.StopRun();
        StopOnSignal::noteAwaitingReply(run.awaitingReplies());
    });
    const QString testAddress = o.values.value(QStringLiteral("--test"));
    if (test) {
        if (testAddress.size() < 5)
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("The test address must have at least 5 characters."));
        run.StartRun(s, testAddress);
    } else if (list.count() == 0) {
        done = true; // nothing to send: no session, no activity
    } else {
        run.StartRun(s);
    }
    if (!done) {
        FlushOutputWhenIdle();
        QCoreApplication::exec();
    }
    progress.finish();

    if (rewriteListFile) {
        // What the store still holds pending, so that a resume from this file and one from the
        // store send the same entries. They differ from the run's own list only when recording
        // failed or another program changed the store.
        if (outcome == RunOutcome::RecordFailed || storeOwner->changedByOthers()) {
            try {
                list.reload(true);
            } catch (const BrevoraError&) {
                // the run's own list, then
            }
        }
        WriteEntriesFile(listFile, list);
    }
    if (!prepareError.isEmpty())
        err(prepareError);
    if (stopOnSignal.received() != 0) {
        err(QStringLiteral("Stopped: %1 entries are still pending.").arg(list.count()));
        return 128 + stopOnSignal.received();
    }
    switch (outcome) {
    case RunOutcome::Completed:
        return run.refusedCount() > 0 ? kExitRefused : kExitOk;
    case RunOutcome::Refused:
    case RunOutcome::RecordFailed:
        return kExitRefused;
    case RunOutcome::ConnectFailed:
    case RunOutcome::AuthFailed:
        return kExitConnect;
    case RunOutcome::PrepareFailed:
        return kExitUsage;
    case RunOutcome::Braked:
        return kExitBraked;
    }
    return kExitOk;
}

} // namespace cli
