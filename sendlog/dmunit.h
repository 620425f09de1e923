#pragma once

#include <QList>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QStringList>

// The send log and the durable pending list, in one embedded SQLite file (db/sendlog.db under the
// working directory). The folder, the file and the tables are created when missing.
class TDM
{
public:
    struct PendingRow
    {
        qint64 id;
        QString entry;
    };

    // Opens (creating when missing) the store at the given file path.
    explicit TDM(const QString& databasePath = QStringLiteral("db/sendlog.db"));
    ~TDM();
    TDM(const TDM&) = delete;
    TDM& operator=(const TDM&) = delete;

    bool isOpen() const { return m_open; }
    // The text of the last failure, for a caller that reports it.
    const QString& lastError() const { return m_lastError; }

    // Inserts one row with the current local time; false (and lastError) on failure.
    bool AddSendRecord(const QString& address, bool ok);
    // A fresh query over the rows whose SENDDATE matches the LIKE pattern, in table order; not
    // active when the query failed.
    QSqlQuery QueryByDate(const QString& pattern) const;
    // True when a row with TYPE true holds exactly this address; false on any failure.
    bool HasBeenSent(const QString& address);

    QList<PendingRow> LoadPending();
    // Appends entries to the pending list in one transaction; their ids in order.
    bool AppendPending(const QStringList& entries, QList<qint64>* ids);
    bool RemovePending(const QList<qint64>& ids);
    // The delivered entry leaves the pending list and enters the send log in one transaction.
    bool RecordDelivery(qint64 pendingId, const QString& entry);

    // Local time in the send log's SENDDATE format.
    static QString Timestamp();

private:
    bool fail(const QSqlQuery& query);
    bool fail(const QString& text);

    QString m_connectionName;
    QSqlDatabase m_db;
    bool m_open = false;
    QString m_lastError;
    QSqlQuery* m_hasBeenSent = nullptr;
    QSqlQuery* m_insert = nullptr;
    QSqlQuery* m_deletePending = nullptr;
};

// The store of the running program (created first at start-up).
extern TDM* DM;
