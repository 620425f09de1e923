#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QSet>
#include <QString>
#include <iterator>
#include <memory>
#include <utility>

class StoreConnection;
class QSqlQuery;

// A file a process keeps locked while it lives (a journal, its marks): opened, locked and read
// when that process has ended; the locked descriptor (close it when done), or -1 while the
// process lives or the file cannot be opened.
int OpenLeftBehind(const QString& path, QByteArray* contents);

// How often the journal's deliveries reach the tables, and what a delivery of an entry that is no
// longer pending means.
struct JournalPolicy
{
    int batchDeliveries;   // a batch is applied after this many deliveries
    qint64 batchAgeMs;     // or when the oldest is this old
    qint64 keepUpToBytes;  // the file is emptied after a batch once it holds this much
    bool vanishedIsError;  // a delivered entry whose pending row is gone: another program changed the list

    // A run that holds the whole list: big batches.
    static JournalPolicy ownList();
    // Runs that share the list: small batches, since a run on another machine takes over the
    // entries of a run that died, and sends again those of its deliveries that had not reached
    // the store; an entry may have been taken over.
    static JournalPolicy sharedList();
};

// Deliveries go first to a journal file of this process beside the database (one short append
// each) and reach the tables in batches, each line in the same transaction as the others of its
// batch: the pending row leaves and the send log row arrives together. A journal left behind by a
// process that ended without applying it is applied when the store is next opened, so after any
// crash a delivered entry is recorded and no longer pending.
class DeliveryJournal
{
public:
    // `base` is the path that the journals' names start with (the database file, for SQLite).
    DeliveryJournal(StoreConnection& connection, const QString& base, const JournalPolicy& policy);
    // Applies what is left and removes the file when it is all applied.
    ~DeliveryJournal();
    DeliveryJournal(const DeliveryJournal&) = delete;
    DeliveryJournal& operator=(const DeliveryJournal&) = delete;

    // Makes sure the journal has room for recording this entry's delivery, before the message goes
    // out: a full disk then stops the run before a message that could not be recorded is sent.
    bool reserve(const QString& entry);
    // The delivered entry leaves the pending list and enters the send log.
    bool record(qint64 pendingId, const QString& entry);
    // While held, record keeps its lines and writeHeld writes them in one write: the deliveries
    // a run learns of at one wake-up cost one system call, not one each. A process killed before
    // they are written leaves their entries pending with their written marks, so uncertain, as
    // it would with their results still on the way to the run.
    void holdWrites(bool hold) { m_holding = hold; }
    // Writes the held lines (flush does too); when they cannot be written, their ids join those
    // that takeLost hands out: delivered, but in no journal.
    bool writeHeld();
    QList<qint64> takeLost() { return std::exchange(m_lost, {}); }
    // Applies the journalled deliveries to the tables now.
    bool flush();
    // Applies them when a batch is due: enough of them, or the oldest old enough. A caller that
    // calls this at quiet moments keeps the batches off its busy path; record applies them
    // itself only when they are long overdue.
    bool flushDue();
    // Applies the journals that processes which ended left behind.
    void recover();

    // Whether a delivery of exactly this entry waits in a journal.
    // Whether a delivery to the entry's address (compared by AddressKey) waits in a journal.
    bool holds(const QString& entry) const;
    // The entries among `wanted` whose address's delivery waits in a journal.
    QSet<QString> heldAmong(const QSet<QString>& wanted) const;
    // The pending ids whose delivery waits in a journal: no longer pending, whatever the table says.
    QSet<qint64> heldIds() const;
    // The ids of deliveries of journals that could not be applied.
    const QSet<qint64>& blockedIds() const { return m_blockedIds; }
    // How many of this process's deliveries wait.
    int waiting() const { return int(m_unappliedRows.size() + m_heldRows.size()); }
    // Why deliveries of an earlier process still wait (their number, the file and the cause);
    // empty when there are none.
    const QString& unappliedReason() const { return m_unappliedReason; }

    // A journal line and its reading back.
    static QByteArray line(qint64 pendingId, const QString& timestamp, const QString& entry);
    static bool parseLine(const QByteArray& line, qint64* pendingId, QString* timestamp, QString* entry);

private:
    struct Delivery
    {
        qint64 pendingId;
        QString timestamp;
        QString entry;
    };

    bool open();
    void abandon();
    // Appends lines to the file; false (with the reason) when they could not all be written.
    bool appendLines(const QByteArray& text);
    // Drops the address keys of deliveries whose lines could not be written.
    void forgetUnwritten(const QList<Delivery>& rows);
    QString prefix() const;
    // Applies deliveries of a journal in one transaction and notes how far into the journal they
    // reach, so that a crash before the file is emptied does not apply them twice.
    bool apply(const QList<Delivery>& rows, const QString& journalName, qint64 appliedTo);
    // Many rows to a statement: a statement costs far more than a row.
    bool applyChunk(const Delivery* rows, size_t sizeIndex);

    StoreConnection& m_connection;
    QString m_base;
    JournalPolicy m_policy;
    // Deliveries are applied with statements of 64, 16, 4 and 1 rows.
    static constexpr qsizetype kChunkSizes[] = {64, 16, 4, 1};
    std::unique_ptr<QSqlQuery> m_insertChunks[std::size(kChunkSizes)];
    std::unique_ptr<QSqlQuery> m_deleteChunks[std::size(kChunkSizes)];
    std::unique_ptr<QSqlQuery> m_keyChunks[std::size(kChunkSizes)];

    int m_fd = -1;
    QString m_name;
    qint64 m_bytes = 0;
    qint64 m_reserved = 0; // bytes the file system has set aside for the journal
    QSet<QString> m_unapplied; // address keys of journalled entries not yet in the send log table
    QList<Delivery> m_unappliedRows; // the same, as written to this process's journal
    bool m_holding = false;
    QList<Delivery> m_heldRows;  // recorded while held, not yet written (their keys are in m_unapplied)
    QList<qint64> m_lost;        // deliveries whose lines could not be written
    QElapsedTimer m_oldestUnapplied;
    int m_vanished = 0; // delivered entries of the batch being applied that were no longer pending
    // Deliveries of journals that could not be applied: sent, so neither pending nor to be sent.
    QSet<qint64> m_blockedIds;
    QSet<QString> m_blockedEntries;
    QString m_unappliedReason;
};
