#pragma once

#include <QAbstractListModel>
#include <QHash>
#include <QList>
#include <QSet>
#include <QStringList>
#include <optional>

#include "core/run/entrytable.h"
#include "core/sendlog/sendlogstore.h"

// The pending list: entries in order, kept in the store so that it survives a restart or a crash,
// with an index for exact look-ups. Shown directly by the main window's list view.
class PendingList : public QAbstractListModel
{
    Q_OBJECT
public:
    // Loads the entries the store holds; without a store the list lives in memory only.
    explicit PendingList(SendLogStore* store, QObject* parent = nullptr);
    ~PendingList() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;

    int count() const { return int(m_entries.size()); }
    SendLogStore* store() const { return m_store; }
    QString entry(int row) const { return m_entries.entryAt(row); }
    // Every entry as a list of its own: for lists of a size the window or a test handles.
    QStringList entries() const;
    // True when an entry for the same address is pending (compared by AddressKey).
    bool contains(const QString& entry) const;

    // Every change goes to the store first; when the store refuses it, the list stays as it was
    // and a store error is thrown.

    // Appends at the end.
    void append(const QStringList& entries);
    // Removes the given rows (any order).
    void removeRowsAt(QList<int> rows);
    // Entries are also known by their id in the store, which does not change while they move.
    qint64 idAt(int row) const { return m_entries.idAt(row); }
    // The row of the entry with the id; -1 when it is not in the list.
    int rowOf(qint64 id) const;
    // The first row whose message is not on its way; -1 when there is none.
    int firstIdleRow() const;
    // The row whose entry a run sends next. On a shared store only entries this run has claimed
    // go out; it claims more as it needs them and renews its claims while it works. -1 when there
    // is none now.
    int nextRowToSend();
    // On a shared store: how many pending entries other runs hold now (they may come free when
    // a run that died loses its claims); 0 elsewhere.
    int heldByOthers();
    // True over a shared store, where runs claim entries instead of locking the list.
    bool claiming() const { return m_store && m_store->claims(); }
    // On a shared store: until when (Claims::clockMs) the claims are surely still this run's, so
    // that a message may go out for one; a run held up past it (a pause, a suspended machine, a
    // slow store) renews them first. 0 elsewhere: no limit.
    qint64 claimsSafeUntil() const;
    // Why the entry must not be mailed (its address is suppressed), or nullopt. On a shared store
    // the answer comes from when the entry was claimed, asked for the whole claim at once; on a
    // store of one run it is asked for the next entries together, and is at most a second old.
    std::optional<QString> suppressionOf(qint64 id, const QString& entry);

    // Makes sure the delivery of the entry can be recorded, before its message goes out. From
    // then until it is recorded or released the entry is in flight: it cannot be removed.
    void reserveDelivery(qint64 id);
    // The entry's sending ended without a result to record: it stays pending where it is.
    void release(qint64 id) { m_inFlight.remove(id); }
    bool inFlight(qint64 id) const { return m_inFlight.contains(id); }
    // The entry was delivered: it leaves the list and enters the send log (through the store's
    // delivery journal, so it is never both pending and logged, nor neither). When the store
    // fails, the entry still leaves the list and the error is thrown.
    void recordDelivered(qint64 id);
    // The entry was refused: a send log row with the code and reason; it then leaves the list for
    // the failed list, or (keepPending) goes to the end of the list to be tried again.
    void recordRefused(qint64 id, int code, const QString& reason, bool keepPending);
    // Brings the recorded deliveries into the send log now.
    void flushDeliveries();
    // The deliveries recorded from now until writeDeliveries reach the journal in one write.
    void holdDeliveries();
    // Writes them. When that fails they leave the list all the same (they were delivered) and a
    // store error is thrown.
    void writeDeliveries();
    // Reads the list again as the store holds it, when another process changed it (always, with
    // force).
    void reload(bool force = false);
    // Every failed entry goes back to the end of the list.
    void retryFailed();
    // Holds the store's run lock (see SendLogStore::LockRun) until unlockRun.
    void lockForRun();
    void unlockRun();
    // The same when a batch of them is due.
    void flushDueDeliveries();

private:
    // Reads the store's list; false (and the list as it was) when the store failed.
    bool load();
    // The first claimed entry not on its way, its row made when the list did not show it yet.
    int firstIdleClaimedRow();
    void claimMore();
    void bringClaimedFirst(const QList<PendingRow>& claimedNow);
    void renewClaims();
    void forgetClaim(qint64 id)
    {
        m_claimed.removeOne(id);
        m_claimedSuppressed.remove(id);
    }
    // Takes one row out; quick for the rows near the front, where deliveries end.
    void takeRow(int row);
    // Throws the store's error when it failed.
    void check(bool storeSucceeded) const;

    SendLogStore* m_store;
    EntryTable m_entries;
    QSet<qint64> m_inFlight; // ids of entries whose message is on its way
    QList<qint64> m_claimed; // shared stores: ids this run has claimed and not finished, in order
    int m_front = 0; // shared stores: the rows before this are claimed ones, the rest in id order
    qint64 m_claimsRenewedAt = 0; // Claims::clockMs() when the oldest lease of m_claimed began
    QHash<qint64, QString> m_claimedSuppressed; // claimed entries that are suppressed, with why
    // Store of one run: the entries whose suppression was last asked for, and what was found.
    struct SuppressionAhead
    {
        QSet<qint64> asked;
        QHash<qint64, QString> found;
        qint64 at = 0; // Claims::clockMs() when asked
    } m_suppressionAhead;
};

// Writes the list as a list file: each entry a line in the code page, ended by CR LF. Throws a
// usage error when the file cannot be written; it is then left as it was.
void WriteEntriesFile(const QString& path, const PendingList& list);
