#include "core/intake/listintake.h"

#include "core/error.h"
#include "core/mail/addresskey.h"
#include "core/sendlog/sendlogstore.h"

#include <QHash>
#include <QSet>

ListIntake::ListIntake(SendLogStore* store, std::function<bool(const QString&)> isPending,
                       std::function<void(const QStringList&)> append, Lock lock)
    : m_store(store)
    , m_isPending(std::move(isPending))
    , m_append(std::move(append))
{
    if (!m_store || lock == Lock::Skip)
        return;
    if (!m_store->lockIntake())
        throw BrevoraError(ErrorKind::Store, m_store->lastError());
    m_locked = true;
}

ListIntake::~ListIntake()
{
    if (m_locked)
        m_store->unlockIntake();
}

void ListIntake::saveFieldNames(const QStringList& names)
{
    if (m_store && !m_store->saveFieldNames(names))
        throw BrevoraError(ErrorKind::Store, m_store->lastError());
}

QStringList ListIntake::add(const QStringList& lines, const Handlers& handlers)
{
    QSet<QString> sent;
    QHash<QString, QString> suppressed;
    if (m_store) {
        QStringList trimmed;
        trimmed.reserve(lines.size());
        for (const QString& line : lines)
            trimmed.append(IntakeRule::trimEntry(line));
        sent = m_store->sentAmong(trimmed);
        suppressed = m_store->suppression().among(trimmed);
    }
    // Lines taken here count as pending at once, so that repeats among them are skipped; without
    // a list to add them to, so do those taken by the calls before.
    const auto isPending = [this](const QString& entry) {
        return (m_isPending && m_isPending(entry)) || (!m_append && m_takenUnlisted.contains(AddressKey(entry)));
    };
    IntakeRule rule(isPending, [&sent](const QString& entry) { return sent.contains(entry); },
                    [&suppressed](const QString& entry) {
                        return suppressed.contains(entry) ? std::optional<QString>(suppressed.value(entry)) : std::nullopt;
                    });
    QStringList taken;
    QStringList batch;
    const auto flush = [&] {
        if (!batch.isEmpty() && m_append)
            m_append(batch);
        batch.clear();
    };
    QElapsedTimer sinceBatch;
    sinceBatch.start();
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QString entry;
        QString reason;
        const IntakeRule::Verdict verdict = rule.judge(lines[i], &entry, &reason);
        if (verdict == IntakeRule::Verdict::Skip)
            continue;
        if (verdict == IntakeRule::Verdict::Duplicate) {
            if (handlers.leftOut)
                handlers.leftOut(i, verdict, QStringLiteral("%1 is in the list already").arg(entry));
            continue;
        }
        if (verdict == IntakeRule::Verdict::Refused || verdict == IntakeRule::Verdict::Suppressed) {
            if (handlers.leftOut)
                handlers.leftOut(i, verdict, reason);
            continue;
        }
        if (verdict == IntakeRule::Verdict::SentBefore) {
            flush(); // what comes before the question is in the list while it is asked
            if (!handlers.resend || !handlers.resend(entry)) {
                if (handlers.leftOut)
                    handlers.leftOut(i, verdict, QStringLiteral("%1 was sent to before").arg(entry));
                continue;
            }
        }
        rule.take(entry);
        if (!m_append)
            m_takenUnlisted.insert(AddressKey(entry));
        batch.append(entry);
        taken.append(entry);
        if (handlers.batchMs >= 0 && (sinceBatch.elapsed() >= handlers.batchMs || i + 1 == lines.size())) {
            flush();
            if (handlers.progress)
                handlers.progress(i, entry);
            sinceBatch.restart();
        }
    }
    flush();
    return taken;
}
