#pragma once

#include <QDate>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <functional>
#include <iterator>
#include <optional>

#include "core/sendlog/storelocation.h"

// The send log, the durable pending list, the failed list and the suppression list: in one
// embedded SQLite file (db/sendlog.db in the data folder), or in a PostgreSQL database that several
// processes share. The folder, the file and the tables are created when missing.
//
// Deliveries go first to a journal file of this process beside the database (one short append
// each) and reach the tables in batches, each line in the same transaction as the others of its
// batch: the pending row leaves and the send log row arrives together. A journal left behind by a
// process that ended without applying it is applied when the store is next opened, so after any
// crash a delivered entry is recorded and no longer pending.
class TDM
{
public:
    struct PendingRow
    {
        qint64 id;
        QString entry;
    };

    // The layout of the tables, kept in store_version; a store of a later layout is not opened.
    static constexpr int kSchemaVersion = 1;

    // Opens (creating when missing) the SQLite store at the given file path.
    explicit TDM(const QString& databasePath);
    // Opens the store at the location (connecting to a shared one).
    explicit TDM(const StoreLocation& location);
    ~TDM();
    TDM(const TDM&) = delete;
    TDM& operator=(const TDM&) = delete;

    bool isOpen() const { return m_open; }
    // The store's file or URL, for messages.
    const QString& shownName() const { return m_shownName; }
    // True for a store that several runs drain together: a run claims entries instead of
    // locking the whole list (see ClaimPending).
    bool SharesList() const { return m_shared; }
    // The text of the last failure, for a caller that reports it.
    const QString& lastError() const { return m_lastError; }

    // Inserts one row with the current local time; false (and lastError) on failure.
    bool AddSendRecord(const QString& address, bool ok);
    // A fresh query over the rows whose SENDDATE matches the LIKE pattern, in table order; not
    // active when the query failed.
    QSqlQuery QueryByDate(const QString& pattern);
    // Deliveries counted per server for its rate limits, across runs and processes.
    bool NoteSentBy(const QString& server, qint64 atMs);
    // How many deliveries through the server are noted at or after sinceMs, and the earliest of
    // them (0 when none).
    int CountSentBy(const QString& server, qint64 sinceMs, qint64* earliestMs = nullptr);

    struct FailedRow
    {
        qint64 id;
        QString entry;
        int code;
        QString reason;
        QString at;
    };
    // A refused entry: a send log row with TYPE false, its reply code and text. Unless it stays
    // pending (to be tried again), it leaves the pending list for the failed list, all at once.
    bool RecordRefusal(qint64 pendingId, const QString& entry, int code, const QString& reason, bool keepPending);
    QList<FailedRow> LoadFailed();
    // Every failed entry goes back to the end of the pending list.
    bool RetryFailed();

    struct DayCount
    {
        QDate day;
        int delivered = 0;
        int failed = 0;
    };
    // The rows of each day from `first` to `last`, delivered and failed apart; every day is
    // there, those without rows with zeros. Empty on failure.
    QList<DayCount> CountByDay(const QDate& first, const QDate& last);
    // Addresses that must never be mailed (unsubscribed, bounced, asked not to be contacted), with
    // the time they were added and why. Compared without the case of the domain.
    struct SuppressedRow
    {
        QString address;
        QString added;
        QString reason;
    };
    // The form an address is compared in: the part before the last "@" as it is, the domain in
    // lower case; the address of an entry is its text before the first comma.
    static QString SuppressionKey(const QString& entryOrAddress);
    // Adds the addresses (those already there keep their date and reason); *added counts the new ones.
    bool AddSuppressed(const QStringList& addresses, const QString& reason, int* added = nullptr);
    bool RemoveSuppressed(const QString& address, bool* found = nullptr);
    QList<SuppressedRow> LoadSuppressed();
    // The names of the values in the pending entries (the header of the CSV file they came from),
    // for placeholders that name them; empty when the list came from a plain file.
    bool SaveFieldNames(const QStringList& names);
    QStringList LoadFieldNames();
    // Why the entry's address is suppressed; nullopt when it is not (or the store cannot say).
    std::optional<QString> SuppressionOf(const QString& entry);
    // Which of the entries have a suppressed address; the reason for each.
    QHash<QString, QString> SuppressedAmong(const QStringList& entries);

    // True when a row with TYPE true holds exactly this address; false on any failure.
    bool HasBeenSent(const QString& address);

    // The pending rows in order, without those whose delivery waits in a journal not yet applied;
    // *ok is false (and lastError says why) when they cannot be read.
    QList<PendingRow> LoadPending(bool* ok = nullptr);
    // How many entries are pending (those whose delivery is journalled here not counted); -1
    // when the store cannot say.
    int CountPending();
    // Appends entries to the pending list in one transaction; their ids in order.
    bool AppendPending(const QStringList& entries, QList<qint64>* ids);
    bool RemovePending(const QList<qint64>& ids);
    // Which of the entries HasBeenSent would answer true for, asked many at a time (for a whole
    // list file or intake text at once).
    QSet<QString> SentAmong(const QStringList& entries);
    // Whether another connection changed the store since the last time this was asked (the first
    // time: true).
    bool ChangedByOthers();
    // Makes sure the journal has room for recording this entry's delivery, before the message goes
    // out: a full disk then stops the run before a message that could not be recorded is sent.
    bool ReserveDelivery(const QString& entry);
    // The delivered entry leaves the pending list and enters the send log (through the journal).
    bool RecordDelivery(qint64 pendingId, const QString& entry);
    // Applies the journalled deliveries to the tables now.
    bool FlushDeliveries();
    // Applies them when a batch is due: enough of them, or the oldest old enough. A caller that
    // calls this at quiet moments keeps the batches off its busy path; RecordDelivery applies
    // them itself only when they are long overdue.
    bool FlushDueDeliveries();

    // One run at a time per SQLite store: an advisory lock that the system drops when the process
    // ends. False (and lastError) while another process holds it, or while deliveries of an
    // earlier process could not be applied to the send log (a run would send them again). On a
    // shared store runs go together: this only checks for such deliveries and starts claiming.
    bool LockRun();
    // Applies what is journalled and, on a shared store, gives back the entries still claimed.
    void UnlockRun();

    // Shared stores. A run claims a few pending entries at a time for a lease: no other run takes
    // them while the lease lasts, and the run renews it while it works. Delivered entries leave
    // the list with their claim; when a run dies its claims end with the lease and other runs
    // take its entries over.
    void SetLeaseSeconds(int seconds) { m_leaseSeconds = qMax(kShortestLease, seconds); }
    int leaseSeconds() const { return m_leaseSeconds; }
    static constexpr int kShortestLease = 5;
    static constexpr int kDefaultLease = 180;
    // Claims up to `count` entries that no live claim holds, oldest first; *ok false (and
    // lastError) on failure.
    QList<PendingRow> ClaimPending(int count, bool* ok = nullptr);
    // Extends the lease of every claim of this run; *held gets the ids still claimed by it (a
    // claim whose lease ran out may have gone to another run).
    bool RenewClaims(QSet<qint64>* held);
    // How many pending entries other runs hold claims on now.
    int ClaimedByOthers();
    // Shared stores: one process at a time checks entries against the list and adds them, so that
    // runs started together with the same list file add it once. No-ops on SQLite.
    bool LockIntake();
    void UnlockIntake();
    // This run's name in the claims: machine, process and a random part.
    const QString& claimant() const { return m_claimant; }
    // Why deliveries of an earlier process still wait (their number, the file and the cause);
    // empty when there are none.
    const QString& unappliedReason() const { return m_unappliedReason; }

    // A journal line and its reading back (for the journal's own tests).
    static QByteArray JournalLine(qint64 pendingId, const QString& timestamp, const QString& entry);
    static bool ParseJournalLine(const QByteArray& line, qint64* pendingId, QString* timestamp, QString* entry);

    // Local time in the send log's SENDDATE format.
    static QString Timestamp();
    // Whether a stored TYPE means true: 1, and what other programs store for true (-1, 'True',
    // 'T', 'Y', 'Yes', any case).
    static bool TypeIsTrue(const QVariant& type);

private:
    void open(const StoreLocation& location);
    bool createTables();
    bool fail(const QSqlQuery& query);
    bool fail(const QString& text);
    struct Delivery
    {
        qint64 pendingId;
        QString timestamp;
        QString entry;
    };

    // Runs a prepared claim or renewal in a transaction of its own, handing each returned row on.
    bool execClaimStatement(QSqlQuery& statement, const std::function<void(const QSqlQuery&)>& eachRow);
    int batchDeliveries() const;
    qint64 batchAgeMs() const;
    bool openJournal();
    void recoverJournals();
    // Applies deliveries of a journal in one transaction and notes how far into the journal they
    // reach, so that a crash before the file is emptied does not apply them twice.
    bool applyDeliveries(const QList<Delivery>& rows, const QString& journalName, qint64 appliedTo);
    // Many rows to a statement: a statement costs far more than a row.
    bool applyChunk(const Delivery* rows, size_t sizeIndex);
    void abandonJournal();

    QString m_connectionName;
    QSqlDatabase m_db;
    bool m_open = false;
    bool m_shared = false;
    QString m_shownName;
    QString m_isTrue; // SQL that is true for a delivered row's TYPE
    QString m_claimant;
    int m_leaseSeconds = kDefaultLease;
    QElapsedTimer m_sinceRecovery; // shared stores: when journals left behind were last looked for
    QString m_signature; // shared stores: what ChangedByOthers compares
    QString m_lastError;
    QSqlQuery* m_hasBeenSent = nullptr;
    QSqlQuery* m_insert = nullptr;
    QSqlQuery* m_deletePending = nullptr;
    // Deliveries are applied with statements of 64, 16, 4 and 1 rows.
    static constexpr qsizetype kChunkSizes[] = {64, 16, 4, 1};
    QSqlQuery* m_insertChunks[std::size(kChunkSizes)] = {};
    QSqlQuery* m_deleteChunks[std::size(kChunkSizes)] = {};

    QString m_databasePath;
    int m_journalFd = -1;
    QString m_journalName;
    qint64 m_journalBytes = 0;
    qint64 m_journalReserved = 0; // bytes the file system has set aside for the journal
    QSet<QString> m_unapplied; // journalled entries not yet in the send log table
    QList<Delivery> m_unappliedRows; // the same, as written to this process's journal
    QElapsedTimer m_oldestUnapplied;
    int m_runLockFd = -1;
    qint64 m_dataVersion = -1;
    int m_vanished = 0; // delivered entries of the batch being applied that were no longer pending
    // Deliveries of journals that could not be applied: sent, so neither pending nor to be sent.
    QSet<qint64> m_blockedIds;
    QSet<QString> m_blockedEntries;
    QString m_unappliedReason;
};

// The store's file in the data folder: AppDir + "db/sendlog.db".
QString SendLogPath();

// A store left under the working directory by an earlier version ("db/sendlog.db" there) is
// moved into the data folder once, when the data folder has none. Returns the activity line
// that says so, or nothing when there was nothing to move; throws a store error when the move
// fails.
QString AdoptWorkingDirectoryStore();
