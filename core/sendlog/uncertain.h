#pragma once

#include <QList>
#include <QString>
#include <mutex>

#include "core/sendlog/pendingrow.h"

class StoreConnection;

// Which messages had their data written to the server. A process that is killed after writing a
// message's data and before reading its reply leaves the entry pending, though the message may
// have arrived: on the next opening of the store such entries are "uncertain". A run sends them
// again (as it always did) or records them as delivered without confirmation, for users who
// prefer a miss to a second copy.
//
// The marks go to a file of this process beside the journals, one line a message ("W id"
// before its data is written, "R id" when the server refused it after all), locked while the
// process lives and removed when it ends cleanly.
class WrittenMarks
{
public:
    explicit WrittenMarks(const QString& base);
    ~WrittenMarks();
    WrittenMarks(const WrittenMarks&) = delete;
    WrittenMarks& operator=(const WrittenMarks&) = delete;

    // From any thread. A mark that cannot be written costs only the knowledge it would give.
    void written(const QList<qint64>& ids) { append('W', ids); }
    void refused(qint64 id) { append('R', {id}); }

    // The pending ids that files of processes which ended say were written and never answered:
    // they become uncertain in the store, and the files go.
    static bool recover(StoreConnection& connection, const QString& base);

private:
    void append(char kind, const QList<qint64>& ids);
    QString m_base;
    std::mutex m_lock;
    int m_fd = -1;
    QString m_path;
    bool m_failed = false;
};

// The uncertain entries still pending, in list order.
QList<PendingRow> UncertainRows(StoreConnection& connection, bool* ok);
// Records each as delivered without confirmation: a send log row marked delivered whose outcome
// says so, the entry no longer pending. The number recorded, or -1 on failure.
int RecordUncertainAsDelivered(StoreConnection& connection);
