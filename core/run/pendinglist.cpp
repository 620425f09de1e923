#include "core/run/pendinglist.h"

#include "core/error.h"
#include "core/sendlog/claims.h"
#include "core/sendlog/sendlogstore.h"
#include "core/text/codepage.h"

#include <QSaveFile>
#include <algorithm>

PendingList::PendingList(SendLogStore* store, QObject* parent)
    : QAbstractListModel(parent)
    , m_store(store)
{
    if (!m_store)
        return;
    m_store->changedByOthers(); // the baseline for reload
    load(); // a store that cannot be read leaves the list empty; the run then finds the store's error
}

PendingList::~PendingList() = default;

bool PendingList::load()
{
    EntryTable read;
    if (const int count = m_store->countPending(); count > 0)
        read.reserve(count);
    if (!m_store->readPending([&read](qint64 id, const QString& entry) { read.append(id, entry); }))
        return false;
    beginResetModel();
    m_entries = std::move(read);
    m_front = 0;
    endResetModel();
    return true;
}

void PendingList::reload(bool force)
{
    if (m_store && (m_store->changedByOthers() || force))
        check(load());
}

QStringList PendingList::entries() const
{
    QStringList all;
    all.reserve(m_entries.size());
    for (qsizetype row = 0; row < m_entries.size(); ++row)
        all.append(m_entries.entryAt(row));
    return all;
}

void PendingList::retryFailed()
{
    if (!m_store)
        return;
    check(m_store->retryFailed());
    reload(true);
}

void PendingList::lockForRun()
{
    if (m_store)
        check(m_store->lockRun());
    m_claimed.clear();
}

void PendingList::unlockRun()
{
    if (m_store)
        m_store->unlockRun();
    m_claimed.clear();
    m_claimedSuppressed.clear();
    m_suppressionAhead = {};
}

int PendingList::nextRowToSend()
{
    if (!claiming())
        return firstIdleRow();
    // Renewed at a third of the lease: a claim is never used near the end of its lease, and a
    // run that was held up (a rate limit) learns which of its claims went to other runs.
    if (!m_claimed.isEmpty() && Claims::clockMs() - m_claimsRenewedAt >= m_store->claims()->leaseSeconds() * 1000LL / 3)
        renewClaims();
    int row = firstIdleClaimedRow();
    if (row < 0) {
        claimMore();
        row = firstIdleClaimedRow();
    }
    return row;
}

int PendingList::firstIdleClaimedRow()
{
    for (qint64 id : std::as_const(m_claimed)) {
        if (m_inFlight.contains(id))
            continue;
        const int row = rowOf(id);
        if (row >= 0)
            return row;
    }
    return -1;
}

void PendingList::claimMore()
{
    // A few at a time: enough for a full window, few enough that a run that dies holds back
    // little, and other runs find work too.
    constexpr int kClaimBatch = 256;
    bool ok = false;
    const qint64 asked = Claims::clockMs(); // the lease began no earlier
    const QList<PendingRow> rows = m_store->claimPending(kClaimBatch, &ok);
    check(ok);
    if (m_claimed.isEmpty())
        m_claimsRenewedAt = asked;
    if (rows.isEmpty())
        return;
    for (const PendingRow& r : rows)
        m_claimed.append(r.id);
    bringClaimedFirst(rows);
    QStringList claimed;
    for (const PendingRow& r : rows)
        claimed.append(r.entry);
    const QHash<QString, QString> suppressed = m_store->suppression().among(claimed);
    for (const PendingRow& r : rows)
        if (const auto it = suppressed.constFind(r.entry); it != suppressed.constEnd())
            m_claimedSuppressed.insert(r.id, *it);
}

qint64 PendingList::claimsSafeUntil() const
{
    // Half the lease: the other half is room for the message to go out and its reply to come.
    return claiming() && !m_claimed.isEmpty() ? m_claimsRenewedAt + m_store->claims()->leaseSeconds() * 1000LL / 2 : 0;
}

std::optional<QString> PendingList::suppressionOf(qint64 id, const QString& entry)
{
    if (!m_store)
        return std::nullopt;
    if (claiming()) {
        const auto it = m_claimedSuppressed.constFind(id);
        return it == m_claimedSuppressed.constEnd() ? std::nullopt : std::optional<QString>(*it);
    }
    // One query for the next entries: a query a message would cost more than writing it.
    SuppressionAhead& ahead = m_suppressionAhead;
    const qint64 now = Claims::clockMs();
    const int row = rowOf(id);
    if (row < 0)
        return m_store->suppression().reasonFor(entry);
    if (!ahead.asked.contains(id) || now - ahead.at >= 1000) {
        constexpr int kAhead = 256;
        ahead = {};
        ahead.at = now;
        QStringList entries;
        for (qsizetype r = row; r < m_entries.size() && entries.size() < kAhead; ++r) {
            ahead.asked.insert(m_entries.idAt(r));
            entries.append(m_entries.entryAt(r));
        }
        const QHash<QString, QString> found = m_store->suppression().among(entries);
        for (qsizetype k = 0; k < entries.size(); ++k)
            if (const auto it = found.constFind(entries[k]); it != found.constEnd())
                ahead.found.insert(m_entries.idAt(row + k), *it);
    }
    const auto it = ahead.found.constFind(id);
    return it == ahead.found.constEnd() ? std::nullopt : std::optional<QString>(*it);
}

void PendingList::renewClaims()
{
    QSet<qint64> held;
    const qint64 asked = Claims::clockMs();
    check(m_store->claims()->renew(&held));
    m_claimsRenewedAt = asked;
    // A claim that ran out and went elsewhere is another run's entry now; one on its way here
    // ends as it ends.
    m_claimed.removeIf([&](qint64 id) { return !held.contains(id) && !m_inFlight.contains(id); });
}

void PendingList::bringClaimedFirst(const QList<PendingRow>& claimedNow)
{
    // Other runs take the rows before this run's claims, and a delivered row leaves the list from
    // where it is: the claimed rows go first, so that it moves only the few before it. One pass
    // for each claim.
    beginResetModel();
    // Rows added by another process since the list was read come with their claim.
    for (const PendingRow& r : claimedNow)
        if (m_entries.rowOf(r.id, m_front) < 0)
            m_entries.append(r.id, r.entry);
    QList<qsizetype> rows;
    // A claim whose row is gone from the list (taken off it meanwhile) is not sent.
    m_claimed.removeIf([&](qint64 id) {
        const qsizetype row = m_entries.rowOf(id, m_front);
        if (row >= 0)
            rows.append(row);
        return row < 0;
    });
    m_entries.bringFirst(rows);
    m_front = int(rows.size());
    endResetModel();
}

int PendingList::heldByOthers()
{
    return claiming() ? m_store->claims()->heldByOthers() : 0;
}

int PendingList::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_entries.size());
}

QVariant PendingList::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= m_entries.size())
        return {};
    if (role == Qt::DisplayRole || role == Qt::ToolTipRole)
        return m_entries.entryAt(index.row());
    return {};
}

bool PendingList::contains(const QString& entry) const
{
    return m_entries.contains(entry);
}

void PendingList::check(bool storeSucceeded) const
{
    if (!storeSucceeded)
        throw BrevoraError(ErrorKind::Store, m_store->lastError());
}

void PendingList::append(const QStringList& entries)
{
    if (entries.isEmpty())
        return;
    QList<qint64> ids;
    if (m_store) {
        check(m_store->appendPending(entries, &ids));
    } else {
        const qint64 next = m_entries.size() == 0 ? 1 : m_entries.idAt(m_entries.size() - 1) + 1;
        for (qsizetype i = 0; i < entries.size(); ++i)
            ids.append(next + i);
    }
    beginInsertRows(QModelIndex(), int(m_entries.size()), int(m_entries.size() + entries.size() - 1));
    for (qsizetype i = 0; i < entries.size(); ++i)
        m_entries.append(ids[i], entries[i]);
    endInsertRows();
}

void PendingList::removeRowsAt(QList<int> rows)
{
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    rows.removeIf([this](int r) { return r < 0 || r >= m_entries.size(); });
    if (rows.isEmpty())
        return;
    for (int r : rows)
        if (m_inFlight.contains(m_entries.idAt(r)))
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("%1 is being sent now; it can be deleted once its sending has ended.")
                                                     .arg(m_entries.entryAt(r)));
    QList<qint64> ids;
    for (int r : rows)
        ids.append(m_entries.idAt(r));
    if (m_store)
        check(m_store->removePending(ids));
    for (qint64 id : ids)
        forgetClaim(id);
    m_front -= int(std::count_if(rows.cbegin(), rows.cend(), [this](int r) { return r < m_front; }));
    if (rows.size() > 64) {
        // Many rows at once: in one pass rather than shifting the list per row.
        beginResetModel();
        m_entries.removeRows(QList<qsizetype>(rows.cbegin(), rows.cend()));
        endResetModel();
        return;
    }
    for (auto it = rows.crbegin(); it != rows.crend(); ++it) {
        beginRemoveRows(QModelIndex(), *it, *it);
        m_entries.removeAt(*it);
        endRemoveRows();
    }
}

int PendingList::rowOf(qint64 id) const
{
    // The claimed rows first (a few), then the others in the order of their ids.
    return int(m_entries.rowOf(id, m_front));
}

int PendingList::firstIdleRow() const
{
    for (qsizetype row = 0; row < m_entries.size(); ++row)
        if (!m_inFlight.contains(m_entries.idAt(row)))
            return int(row);
    return -1;
}

void PendingList::takeRow(int row)
{
    if (row < m_front)
        --m_front;
    beginRemoveRows(QModelIndex(), row, row);
    m_entries.removeAt(row);
    endRemoveRows();
}

void PendingList::reserveDelivery(qint64 id)
{
    const int row = rowOf(id);
    if (row < 0)
        return;
    if (m_store)
        check(m_store->journal().reserve(m_entries.entryAt(row)));
    m_inFlight.insert(id);
}

void PendingList::recordDelivered(qint64 id)
{
    m_inFlight.remove(id);
    forgetClaim(id);
    const int row = rowOf(id);
    if (row < 0)
        return;
    bool recorded = true;
    QString error;
    if (m_store && !m_store->journal().record(id, m_entries.entryAt(row))) {
        recorded = false;
        error = m_store->lastError();
        // It was delivered: it must not stay pending even though the log could not take it.
        m_store->removePending({id});
    }
    takeRow(row);
    if (!recorded)
        throw BrevoraError(ErrorKind::Store, error);
}

void PendingList::recordRefused(qint64 id, int code, const QString& reason, bool keepPending)
{
    m_inFlight.remove(id);
    forgetClaim(id);
    const int row = rowOf(id);
    if (row < 0)
        return;
    const QString entry = m_entries.entryAt(row);
    if (m_store)
        check(m_store->recordRefusal(id, entry, code, reason, keepPending));
    if (keepPending) {
        // Behind the others: a new row at the end of the stored list, then the old one goes.
        QList<qint64> ids;
        if (m_store) {
            check(m_store->appendPending({entry}, &ids));
            check(m_store->removePending({id}));
        } else {
            ids.append(m_entries.idAt(m_entries.size() - 1) + 1);
        }
        if (row < m_front)
            --m_front;
        beginMoveRows(QModelIndex(), row, row, QModelIndex(), int(m_entries.size()));
        m_entries.moveToEnd(row, ids.first());
        endMoveRows();
        return;
    }
    takeRow(row);
}

void PendingList::flushDeliveries()
{
    if (m_store)
        check(m_store->journal().flush());
}

void PendingList::holdDeliveries()
{
    if (m_store)
        m_store->journal().holdWrites(true);
}

void PendingList::writeDeliveries()
{
    if (!m_store)
        return;
    DeliveryJournal& journal = m_store->journal();
    journal.holdWrites(false);
    const bool written = journal.writeHeld();
    const QString error = m_store->lastError();
    if (const QList<qint64> lost = journal.takeLost(); !lost.isEmpty()) {
        // Delivered: they must not stay pending even though the log could not take them.
        m_store->removePending(lost);
        throw BrevoraError(ErrorKind::Store, error);
    }
    check(written);
}

void PendingList::flushDueDeliveries()
{
    if (m_store)
        check(m_store->journal().flushDue());
}

void WriteEntriesFile(const QString& path, const PendingList& list)
{
    QSaveFile file(path);
    bool written = file.open(QIODevice::WriteOnly);
    // A piece at a time: the list may be far longer than its text is worth holding twice.
    constexpr int kPiece = 4096;
    for (int row = 0; written && row < list.count(); row += kPiece) {
        QByteArray bytes;
        for (int r = row; r < list.count() && r < row + kPiece; ++r)
            bytes += CodePage::encode(list.entry(r)) + "\r\n";
        written = file.write(bytes) == bytes.size();
    }
    if (!written || !file.commit())
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("Cannot create file \"%1\". %2").arg(path, file.errorString()));
}
