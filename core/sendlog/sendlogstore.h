#pragma once

#include <QDate>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <functional>
#include <memory>
#include <optional>

#include "core/sendlog/claims.h"
#include "core/sendlog/deliveryjournal.h"
#include "core/sendlog/pendingrow.h"
#include "core/sendlog/uncertain.h"
#include "core/sendlog/bouncelog.h"
#include "core/sendlog/storelocation.h"
#include "core/sendlog/suppressionlist.h"

class StoreConnection;

// The send log, the durable pending list, the failed list and the suppression list: in one
// embedded SQLite file (db/sendlog.db in the data folder), or in a PostgreSQL database that several
// processes share. The folder, the file and the tables are created when missing. Deliveries reach
// the tables through the journal (see DeliveryJournal).
// Why a store in a file cannot be written (the file or its folder read-only), for an error
// message; empty when nothing says so.
QString UnwritableReason(const StoreLocation& location);

class SendLogStore
{
public:
    // Opens (creating when missing) the SQLite store at the given file path. A store that cannot
    // be opened throws a store error: "Cannot open the send log <where>: <why>".
    explicit SendLogStore(const QString& databasePath);
    // Opens the store at the location (connecting to a shared one), or throws as above.
    explicit SendLogStore(const StoreLocation& location);
    ~SendLogStore();
    SendLogStore(const SendLogStore&) = delete;
    SendLogStore& operator=(const SendLogStore&) = delete;

    // The store's file or URL, for messages.
    const QString& shownName() const;
    // Where it is, for a connection of another thread's own.
    const StoreLocation& location() const { return m_location; }
    // The text of the last failure, for a caller that reports it.
    const QString& lastError() const;

    // How runs share the list of a shared store; nullptr where a run holds the whole list.
    Claims* claims() { return m_claims.get(); }
    DeliveryJournal& journal() { return *m_journal; }
    // Thread-safe: the sessions note there which messages' data they write.
    WrittenMarks& writtenMarks() { return *m_marks; }
    // The pending entries whose message may have arrived (see WrittenMarks), and recording them
    // as delivered without confirmation (their number, -1 on failure).
    QList<PendingRow> uncertainRows(bool* ok = nullptr);
    int recordUncertainAsDelivered();
    SuppressionList& suppression() { return *m_suppression; }
    BounceLog& bounces() { return *m_bounces; }

    // A send log row: a delivery or a refusal, with the refusal's code and reason where the run
    // recorded them.
    struct LogRow
    {
        QString sentAt;
        QString address;
        bool delivered = false;
        std::optional<int> code;
        QString reason;
        QString bounce; // for a bounce result shown beside the log: its class ("hard", ...)
    };
    // The rows whose SENDDATE matches the LIKE pattern, in table order; *ok false on failure.
    QList<LogRow> logRows(const QString& pattern, bool* ok = nullptr);
    // Whether a stored TYPE means true: 1, and what other programs store for true (-1, 'True',
    // 'T', 'Y', 'Yes', any case).
    static bool typeIsTrue(const QVariant& type);

    // Deliveries counted per server for its rate limits, across runs and processes.
    bool noteSentBy(const QString& server, qint64 atMs);
    // How many deliveries through the server are noted at or after sinceMs, and the earliest of
    // them (0 when none).
    int countSentBy(const QString& server, qint64 sinceMs, qint64* earliestMs = nullptr);

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
    bool recordRefusal(qint64 pendingId, const QString& entry, int code, const QString& reason, bool keepPending);
    QList<FailedRow> failedRows();
    // Every failed entry goes back to the end of the pending list.
    bool retryFailed();

    struct DayCount
    {
        QDate day;
        int delivered = 0;
        int failed = 0;
        int bounced = 0; // bounce and complaint results received that day (see BounceLog)
    };
    // The rows of each day from `first` to `last`, delivered and failed apart; every day is
    // there, those without rows with zeros. Empty on failure.
    QList<DayCount> countByDay(const QDate& first, const QDate& last);

    // The names of the values in the pending entries (the header of the CSV file they came from),
    // for placeholders that name them; empty when the list came from a plain file.
    bool saveFieldNames(const QStringList& names);
    QStringList fieldNames();

    // True when a delivery to the address (compared by AddressKey) is in the send log or waits in
    // a journal; false on any failure.
    bool hasBeenSent(const QString& address);
    // Which of the entries hasBeenSent would answer true for, asked many at a time (for a whole
    // list file or intake text at once).
    QSet<QString> sentAmong(const QStringList& entries);

    // The pending rows in order, without those whose delivery waits in a journal not yet applied;
    // *ok is false (and lastError says why) when they cannot be read.
    QList<PendingRow> pendingRows(bool* ok = nullptr);
    // The same, one row at a time, for a list too long to hold twice; false when it failed.
    bool readPending(const std::function<void(qint64 id, const QString& entry)>& row);
    // How many entries are pending (those whose delivery is journalled here not counted); -1
    // when the store cannot say.
    int countPending();
    // Appends entries to the pending list in one transaction; their ids in order.
    bool appendPending(const QStringList& entries, QList<qint64>* ids);
    bool removePending(const QList<qint64>& ids);
    // Whether another connection changed the store since the last time this was asked (the first
    // time: true).
    bool changedByOthers();

    // One run at a time per SQLite store: an advisory lock that the system drops when the process
    // ends. False (and lastError) while another process holds it, or while deliveries of an
    // earlier process could not be applied to the send log (a run would send them again). On a
    // shared store runs go together: this only checks for such deliveries.
    bool lockRun();
    // Applies what is journalled and, on a shared store, gives back the entries still claimed.
    void unlockRun();
    // Claims entries of a shared store (see Claims::claim), after applying the journals that runs
    // of this machine which died left behind; *ok false (and lastError) on failure.
    QList<PendingRow> claimPending(int count, bool* ok = nullptr);
    // Shared stores: one process at a time checks entries against the list and adds them. No-ops
    // elsewhere.
    bool lockIntake();
    void unlockIntake();

private:
    // Keys the delivered rows of the send log that came without one.
    bool keyNewLogRows();
    StoreLocation m_location;
    std::unique_ptr<StoreConnection> m_connection;
    std::unique_ptr<Claims> m_claims;
    std::unique_ptr<DeliveryJournal> m_journal;
    std::unique_ptr<WrittenMarks> m_marks;
    std::unique_ptr<SuppressionList> m_suppression;
    std::unique_ptr<BounceLog> m_bounces;
    QString m_runLockPath;
    int m_runLockFd = -1;
    QElapsedTimer m_sinceRecovery; // shared stores: when journals left behind were last looked for
    std::unique_ptr<QSqlQuery> m_hasBeenSent;
};

// The store's file in the data folder: AppDir + "db/sendlog.db".
QString SendLogPath();

// A store left under the working directory by an earlier version ("db/sendlog.db" there) is
// moved into the data folder once, when the data folder has none. Returns the activity line
// that says so, or nothing when there was nothing to move; throws a store error when the move
// fails.
QString AdoptWorkingDirectoryStore();
