#include "core/run/pendinglist.h"

#include "core/sendlog/claims.h"

#include "core/mail/addresskey.h"

#include "core/error.h"
#include "core/sendlog/sendlogstore.h"

#include <algorithm>

PendingList::PendingList(SendLogStore* store, QObject* parent)
    : QAbstractListModel(parent)
    , m_store(store)
{
    if (!m_store)
        return;
    m_store->changedByOthers(); // the baseline for reload
    load(m_store->pendingRows());
}

PendingList::~PendingList() = default;

void PendingList::load(const QList<PendingRow>& rows)
{
    m_front = 0;
    m_entries.clear();
    m_ids.clear();
    m_index.clear();
    m_entries.reserve(rows.size());
    m_ids.reserve(rows.size());
    m_index.reserve(rows.size());
    for (const PendingRow& row : rows) {
        m_entries.append(row.entry);
        m_ids.append(row.id);
        indexAdd(row.entry);
    }
}

void PendingList::reload(bool force)
{
    if (!m_store || (!m_store->changedByOthers() && !force))
        return;
    bool ok = false;
    const QList<PendingRow> rows = m_store->pendingRows(&ok);
    check(ok);
    beginResetModel();
    load(rows);
    endResetModel();
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
        constexpr int kAhead = 64;
        ahead = {};
        ahead.at = now;
        QStringList entries;
        for (int r = row; r < m_entries.size() && entries.size() < kAhead; ++r) {
            ahead.asked.insert(m_ids[r]);
            entries.append(m_entries[r]);
        }
        const QHash<QString, QString> found = m_store->suppression().among(entries);
        for (int r = row; r < row + entries.size(); ++r)
            if (const auto it = found.constFind(m_entries[r]); it != found.constEnd())
                ahead.found.insert(m_ids[r], *it);
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
    QHash<qint64, QString> front;
    for (qint64 id : std::as_const(m_claimed))
        front.insert(id, QString());
    QStringList restEntries;
    QList<qint64> restIds;
    restEntries.reserve(m_entries.size());
    restIds.reserve(m_ids.size());
    for (qsizetype i = 0; i < m_ids.size(); ++i) {
        if (const auto it = front.find(m_ids[i]); it != front.end()) {
            *it = m_entries[i];
        } else {
            restEntries.append(m_entries[i]);
            restIds.append(m_ids[i]);
        }
    }
    // Rows added by another process since the list was read come with their claim.
    for (const PendingRow& r : claimedNow)
        if (QString& shown = front[r.id]; shown.isEmpty()) {
            shown = r.entry;
            indexAdd(r.entry);
        }
    // A claim whose row is gone from the list (taken off it meanwhile) is not sent.
    m_claimed.removeIf([&front](qint64 id) { return front.value(id).isEmpty(); });
    beginResetModel();
    m_entries.clear();
    m_ids.clear();
    for (qint64 id : std::as_const(m_claimed)) {
        m_entries.append(front.value(id));
        m_ids.append(id);
    }
    m_front = int(m_ids.size());
    m_entries += restEntries;
    m_ids += restIds;
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
        return m_entries[index.row()];
    return {};
}

bool PendingList::contains(const QString& entry) const
{
    return m_index.contains(AddressKey(entry));
}

void PendingList::indexAdd(const QString& entry)
{
    ++m_index[AddressKey(entry)];
}

void PendingList::indexRemove(const QString& entry)
{
    auto it = m_index.find(AddressKey(entry));
    if (it != m_index.end() && --*it <= 0)
        m_index.erase(it);
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
        const qint64 next = m_ids.isEmpty() ? 1 : m_ids.last() + 1;
        for (qsizetype i = 0; i < entries.size(); ++i)
            ids.append(next + i);
    }
    m_index.reserve(m_index.size() + entries.size());
    beginInsertRows(QModelIndex(), int(m_entries.size()), int(m_entries.size() + entries.size() - 1));
    m_entries += entries;
    m_ids += ids;
    for (const QString& e : entries)
        indexAdd(e);
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
        if (m_inFlight.contains(m_ids[r]))
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("%1 is being sent now; it can be deleted once its sending has ended.")
                                                     .arg(m_entries[r]));
    QList<qint64> ids;
    for (int r : rows)
        ids.append(m_ids[r]);
    if (m_store)
        check(m_store->removePending(ids));
    for (qint64 id : ids)
        forgetClaim(id);
    m_front -= int(std::count_if(rows.cbegin(), rows.cend(), [this](int r) { return r < m_front; }));
    if (rows.size() > 64) {
        // Many rows at once: rebuild in one pass rather than shifting the list per row.
        beginResetModel();
        QStringList keptEntries;
        QList<qint64> keptIds;
        keptEntries.reserve(m_entries.size() - rows.size());
        keptIds.reserve(m_entries.size() - rows.size());
        qsizetype next = 0;
        for (qsizetype i = 0; i < m_entries.size(); ++i) {
            if (next < rows.size() && rows[next] == i) {
                indexRemove(m_entries[i]);
                ++next;
                continue;
            }
            keptEntries.append(m_entries[i]);
            keptIds.append(m_ids[i]);
        }
        m_entries = std::move(keptEntries);
        m_ids = std::move(keptIds);
        endResetModel();
        return;
    }
    for (auto it = rows.crbegin(); it != rows.crend(); ++it) {
        beginRemoveRows(QModelIndex(), *it, *it);
        indexRemove(m_entries[*it]);
        m_entries.removeAt(*it);
        m_ids.removeAt(*it);
        endRemoveRows();
    }
}

int PendingList::rowOf(qint64 id) const
{
    // The claimed rows first (a few), then the others in the order of their ids; a list that
    // another process changed meanwhile may not be in order, and is searched through.
    for (int row = 0; row < m_front; ++row)
        if (m_ids[row] == id)
            return row;
    const auto it = std::lower_bound(m_ids.cbegin() + m_front, m_ids.cend(), id);
    if (it != m_ids.cend() && *it == id)
        return int(it - m_ids.cbegin());
    return int(m_ids.indexOf(id));
}

int PendingList::firstIdleRow() const
{
    for (qsizetype row = 0; row < m_ids.size(); ++row)
        if (!m_inFlight.contains(m_ids[row]))
            return int(row);
    return -1;
}

void PendingList::takeRow(int row)
{
    if (row < m_front)
        --m_front;
    beginRemoveRows(QModelIndex(), row, row);
    indexRemove(m_entries[row]);
    if (row < m_entries.size() / 2) {
        // The rows before it move one down and the first goes: no shift of the long tail.
        std::rotate(m_entries.begin(), m_entries.begin() + row, m_entries.begin() + row + 1);
        std::rotate(m_ids.begin(), m_ids.begin() + row, m_ids.begin() + row + 1);
        m_entries.removeFirst();
        m_ids.removeFirst();
    } else {
        m_entries.removeAt(row);
        m_ids.removeAt(row);
    }
    endRemoveRows();
}

void PendingList::reserveDelivery(qint64 id)
{
    const int row = rowOf(id);
    if (row < 0)
        return;
    if (m_store)
        check(m_store->journal().reserve(m_entries[row]));
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
    if (m_store && !m_store->journal().record(id, m_entries[row])) {
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
    const QString entry = m_entries[row];
    if (m_store)
        check(m_store->recordRefusal(id, entry, code, reason, keepPending));
    if (keepPending) {
        // Behind the others: a new row at the end of the stored list, then the old one goes.
        QList<qint64> ids;
        if (m_store) {
            check(m_store->appendPending({entry}, &ids));
            check(m_store->removePending({id}));
        } else {
            ids.append(m_ids.last() + 1);
        }
        if (row < m_front)
            --m_front;
        beginMoveRows(QModelIndex(), row, row, QModelIndex(), int(m_entries.size()));
        m_entries.move(row, m_entries.size() - 1);
        m_ids.removeAt(row);
        m_ids.append(ids.first());
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

void PendingList::flushDueDeliveries()
{
    if (m_store)
        check(m_store->journal().flushDue());
}
