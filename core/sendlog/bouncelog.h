#pragma once

#include <QByteArray>
#include <QDate>
#include <QHash>
#include <QList>
#include <QString>
#include <functional>

class StoreConnection;

// The store's side of bounces and complaints: the runs they are traced back to, the secret their
// return-path tags are signed with, and what each bounce message said, recorded once per message
// and address however often it is read.
class BounceLog
{
public:
    explicit BounceLog(StoreConnection& connection);
    // The store's name and its last failure, for messages.
    const QString& shownName() const;
    const QString& lastError() const;

    // The store's secret for return-path tags, made the first time it is asked for; empty when
    // the store fails.
    QByteArray secret();

    // A run begins (its id; 0 when the store fails), and how many it has sent so far.
    qint64 beginRun(const QString& sender);
    bool noteRunSent(qint64 run, qint64 sent);

    struct Row
    {
        QString received;
        QString address; // as the report or the list shows it
        QString kind;    // "hard", "soft", "policy", "complaint"
        QString status;
        QString reason;
        qint64 run = 0;  // 0: not traced to a run
    };
    // A row to record, and (filled in) what became of it.
    struct Incoming
    {
        QByteArray messageKey; // a row is recorded once per message and address
        Row row;
        bool isNew = false;     // not recorded before
        bool suppressed = false; // its address went on the suppression list now
    };
    // Records the rows in one transaction. A new hard bounce or complaint suppresses its address
    // ("bounced: 5.1.1 ...", "complaint"); a new soft bounce does when the address has softLimit
    // of them received at or after softSince.
    bool record(QList<Incoming>& rows, int softLimit, const QString& softSince, int softDays);
    // The rows received at or after the time (all with an empty one), oldest first.
    QList<Row> rows(const QString& since, bool* ok = nullptr);
    // The rows received on the day, and how many were received each day from first to last.
    QList<Row> rowsOf(const QDate& day);
    QHash<QDate, int> countByDay(const QDate& first, const QDate& last);

    struct RunSummary
    {
        qint64 run = 0;
        QString started;
        QString sender;
        qint64 sent = 0;
        int hard = 0, soft = 0, policy = 0, complaints = 0;
        QString brake; // why the run's brake stopped the list; empty when it did not
    };
    QList<RunSummary> runs(bool* ok = nullptr);
    RunSummary summaryOf(qint64 run);

    // The brake: the run's rates passed the threshold, and every run of the list stops.
    bool applyBrake(qint64 run, const QString& reason);
    // Why a brake stopped the list at or after the time; empty when none did.
    QString brakeSince(const QString& since);

    // Every delivered address's key, for tracing a tag back to its recipient.
    bool forEachDeliveredKey(const std::function<void(const QString&)>& each);

private:
    StoreConnection& m_connection;
};
