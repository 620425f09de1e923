#include "core/bounce/bounceprocessor.h"

#include "core/bounce/mailbox.h"
#include "core/error.h"
#include "core/mail/returnpath.h"
#include "core/sendlog/sqldialect.h"
#include "core/sendlog/storeconnection.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

namespace {

constexpr int kBatch = 1000; // results recorded in one transaction
constexpr qint64 kLargestMessage = 64LL * 1024 * 1024;

[[noreturn]] void storeFailed(BounceLog& log)
{
    throw BrevoraError(ErrorKind::Store, QStringLiteral("The bounces could not be recorded in %1: %2").arg(log.shownName(), log.lastError()));
}

QString daysAgo(int days)
{
    return QDateTime::currentDateTime().addDays(-days).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

void readMbox(const QString& path, BounceProcessor& processor, const std::function<void(int)>& progress, int& count)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("Cannot read \"%1\": %2").arg(path, file.errorString()));
    QByteArray message;
    const auto finish = [&] {
        if (!message.isEmpty()) {
            processor.process(message);
            if (progress)
                progress(++count);
        }
        message.clear();
    };
    bool previousBlank = true;
    while (!file.atEnd()) {
        QByteArray line = file.readLine();
        if (previousBlank && line.startsWith("From ")) {
            finish();
            previousBlank = false;
            continue;
        }
        // ">From " lines are quoted "From " lines (mboxrd): one ">" less.
        if (line.startsWith('>')) {
            qsizetype quotes = 0;
            while (quotes < line.size() && line.at(quotes) == '>')
                ++quotes;
            if (line.mid(quotes).startsWith("From "))
                line.remove(0, 1);
        }
        previousBlank = line == "\n" || line == "\r\n";
        if (message.size() < kLargestMessage)
            message += line;
    }
    finish();
}

} // namespace

QString BounceSummary::text() const
{
    return QStringLiteral("%1 bounces, %2 complaints, %3 addresses suppressed").arg(bounces).arg(complaints).arg(suppressed);
}

BounceProcessor::BounceProcessor(BounceLog& log, const BounceRules& rules)
    : m_log(log)
    , m_rules(rules)
{
    m_secret = log.secret();
    if (m_secret.isEmpty())
        storeFailed(log);
}

BounceProcessor::~BounceProcessor() = default;

QString BounceProcessor::addressOfTag(qint64 run, const QByteArray& mac)
{
    auto it = m_tagsOfRun.find(run);
    if (it == m_tagsOfRun.end()) {
        QHash<QByteArray, QString> tags;
        if (!m_log.forEachDeliveredKey([&](const QString& key) { tags.insert(ReturnPath::macFor(m_secret, run, key), key); }))
            storeFailed(m_log);
        it = m_tagsOfRun.insert(run, std::move(tags));
    }
    return it->value(mac);
}

bool BounceProcessor::process(const QByteArray& message)
{
    ++m_summary.messages;
    const BounceReport report = ReadBounceReport(message);
    switch (report.kind) {
    case BounceReport::Kind::Unrelated:
        ++m_summary.unrelated;
        return false;
    case BounceReport::Kind::AutoReply:
    case BounceReport::Kind::Delay:
        ++m_summary.autoReplies;
        return true;
    case BounceReport::Kind::Bounce:
    case BounceReport::Kind::Complaint:
        break;
    }
    std::optional<ReturnPath::Tag> tag;
    for (const QByteArray& place : report.tagPlaces)
        if ((tag = ReturnPath::findTag(place)))
            break;
    for (const BounceFinding& f : report.findings) {
        QString address = f.address;
        qint64 run = 0;
        if (tag) {
            // The tag names whom the message went to; the report may name where it was forwarded.
            QString traced;
            for (const QString& candidate : QStringList{f.address} + report.returnedTo)
                if (ReturnPath::matches(m_secret, *tag, candidate)) {
                    traced = candidate;
                    break;
                }
            if (traced.isEmpty())
                traced = addressOfTag(tag->run, tag->mac);
            if (!traced.isEmpty()) {
                address = traced;
                run = tag->run;
            }
        }
        if (address.isEmpty()) {
            ++m_summary.untraced;
            continue;
        }
        m_waiting.append({report.key, {{}, address, ClassName(f.kind), f.status, f.reason.left(500), run}});
    }
    if (m_waiting.size() >= kBatch)
        flush();
    return true;
}

void BounceProcessor::flush()
{
    if (m_waiting.isEmpty())
        return;
    if (!m_log.record(m_waiting, m_rules.softLimit, daysAgo(m_rules.softDays), m_rules.softDays))
        storeFailed(m_log);
    for (const BounceLog::Incoming& in : m_waiting) {
        if (!in.isNew) {
            ++m_summary.known;
            continue;
        }
        ++(in.row.kind == QLatin1String("complaint") ? m_summary.complaints : m_summary.bounces);
        m_summary.suppressed += in.suppressed ? 1 : 0;
    }
    m_waiting.clear();
}

void ImportBounceFiles(const QStringList& paths, BounceProcessor& processor, const std::function<void(int)>& progress)
{
    int count = 0;
    const auto one = [&](const QString& path) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("Cannot read \"%1\": %2").arg(path, file.errorString()));
        if (file.size() > kLargestMessage)
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("\"%1\" is larger than a bounce message can be.").arg(path));
        processor.process(file.readAll());
        if (progress)
            progress(++count);
    };
    for (const QString& path : paths) {
        const QFileInfo info(path);
        if (info.isDir()) {
            if (!QFileInfo(path + QStringLiteral("/cur")).isDir() && !QFileInfo(path + QStringLiteral("/new")).isDir())
                throw BrevoraError(ErrorKind::Usage, QStringLiteral("\"%1\" is a folder but not a Maildir (it has no cur or new folder).").arg(path));
            for (const char* sub : {"/new", "/cur"}) {
                QDirIterator it(path + QLatin1String(sub), QDir::Files);
                while (it.hasNext())
                    one(it.next());
            }
            continue;
        }
        QFile probe(path);
        if (!probe.open(QIODevice::ReadOnly))
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("Cannot read \"%1\": %2").arg(path, probe.errorString()));
        if (probe.peek(5) == "From ")
            readMbox(path, processor, progress, count);
        else
            one(path);
    }
    processor.flush();
}

void FetchBounces(const BounceSetup& setup, const CertificateDecision& decision, BounceProcessor& processor,
                  const std::atomic<bool>* abort)
{
    BounceMailbox mailbox(setup, decision);
    mailbox.setAbortFlag(abort);
    mailbox.readAll(
        [&](const QByteArray& message) {
            return processor.process(message) ? BounceMailbox::Outcome::Processed : BounceMailbox::Outcome::LeftAlone;
        },
        // Recorded before it is moved: a fetch cut short reads it again, and it counts once.
        [&] { processor.flush(); });
    processor.flush();
}

BounceSummary FetchIntoStore(const StoreLocation& store, const QList<BounceSetup>& mailboxes, const CertificateDecision& decision,
                             const BounceRules& rules, const std::atomic<bool>* abort)
{
    StoreConnection connection(SqlDialect::forLocation(store), store.shown());
    BounceLog log(connection);
    BounceProcessor processor(log, rules);
    for (const BounceSetup& mailbox : mailboxes)
        FetchBounces(mailbox, decision, processor, abort);
    return processor.summary();
}
