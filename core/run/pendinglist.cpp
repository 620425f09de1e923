#include "core/run/pendinglist.h"

#include "core/error.h"
#include "core/sendlog/sendlogstore.h"

#include <algorithm>

PendingList::PendingList(TDM* store, QObject* parent)
    : QAbstractListModel(parent)
    , m_store(store)
{
    if (!m_store)
        return;
    m_store->ChangedByOthers(); // the baseline for reload
    load(m_store->LoadPending());
}

PendingList::~PendingList() = default;

void PendingList::load(const QList<TDM::PendingRow>& rows)
{
    m_entries.clear();
    m_ids.clear();
    m_index.clear();
    m_entries.reserve(rows.size());
    m_ids.reserve(rows.size());
    m_index.reserve(rows.size());
    for (const TDM::PendingRow& row : rows) {
        m_entries.append(row.entry);
        m_ids.append(row.id);
        indexAdd(row.entry);
    }
}

void PendingList::reload(bool force)
{
    if (!m_store || (!m_store->ChangedByOthers() && !force))
        return;
    bool ok = false;
    const QList<TDM::PendingRow> rows = m_store->LoadPending(&ok);
    check(ok);
    beginResetModel();
    load(rows);
    endResetModel();
}

void PendingList::retryFailed()
{
    if (!m_store)
        return;
    check(m_store->RetryFailed());
    reload(true);
}

void PendingList::lockForRun()
{
    if (m_store)
        check(m_store->LockRun());
}

void PendingList::unlockRun()
{
    if (m_store)
        m_store->UnlockRun();
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

void PendingList::indexAdd(const QString& entry)
{
    ++m_index[entry];
}

void PendingList::indexRemove(const QString& entry)
{
    auto it = m_index.find(entry);
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
        check(m_store->AppendPending(entries, &ids));
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
    if (m_firstInFlight && rows.first() == 0)
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("%1 is being sent now; it can be deleted once its sending has ended.")
                                                 .arg(m_entries.first()));
    QList<qint64> ids;
    for (int r : rows)
        ids.append(m_ids[r]);
    if (m_store)
        check(m_store->RemovePending(ids));
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

void PendingList::recordFirstDelivered()
{
    m_firstInFlight = false;
    if (m_entries.isEmpty())
        return;
    bool recorded = true;
    QString error;
    if (m_store && !m_store->RecordDelivery(m_ids.first(), m_entries.first())) {
        recorded = false;
        error = m_store->lastError();
        // It was delivered: it must not stay pending even though the log could not take it.
        m_store->RemovePending({m_ids.first()});
    }
    beginRemoveRows(QModelIndex(), 0, 0);
    indexRemove(m_entries.first());
    m_entries.removeFirst();
    m_ids.removeFirst();
    endRemoveRows();
    if (!recorded)
        throw BrevoraError(ErrorKind::Store, error);
}

void PendingList::reserveFirstDelivery()
{
    if (m_store && !m_entries.isEmpty())
        check(m_store->ReserveDelivery(m_entries.first()));
    m_firstInFlight = !m_entries.isEmpty();
}

void PendingList::recordFirstRefused(int code, const QString& reason, bool keepPending)
{
    m_firstInFlight = false;
    if (m_entries.isEmpty())
        return;
    const QString entry = m_entries.first();
    if (m_store)
        check(m_store->RecordRefusal(m_ids.first(), entry, code, reason, keepPending));
    if (keepPending) {
        // Behind the others: a new row at the end of the stored list, then the old one goes.
        QList<qint64> ids;
        if (m_store) {
            check(m_store->AppendPending({entry}, &ids));
            check(m_store->RemovePending({m_ids.first()}));
        } else {
            ids.append(m_ids.last() + 1);
        }
        beginMoveRows(QModelIndex(), 0, 0, QModelIndex(), int(m_entries.size()));
        m_entries.move(0, m_entries.size() - 1);
        m_ids.removeFirst();
        m_ids.append(ids.first());
        endMoveRows();
        return;
    }
    beginRemoveRows(QModelIndex(), 0, 0);
    indexRemove(entry);
    m_entries.removeFirst();
    m_ids.removeFirst();
    endRemoveRows();
}

void PendingList::flushDeliveries()
{
    if (m_store)
        check(m_store->FlushDeliveries());
}

void PendingList::flushDueDeliveries()
{
    if (m_store)
        check(m_store->FlushDueDeliveries());
}
