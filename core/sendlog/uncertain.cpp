#include "core/sendlog/uncertain.h"

#include "core/mail/addresskey.h"
#include "core/sendlog/deliveryjournal.h"
#include "core/sendlog/storeconnection.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSet>
#include <QSqlQuery>
#include <QVariant>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

QString marksPrefix(const QString& base)
{
    return QFileInfo(base).fileName() + QStringLiteral("-written-");
}

} // namespace

WrittenMarks::WrittenMarks(const QString& base)
    : m_base(base)
{
}

WrittenMarks::~WrittenMarks()
{
    // Every message of this process has its result: nothing it wrote is uncertain.
    if (m_fd >= 0) {
        ::unlink(QFile::encodeName(m_path).constData());
        ::close(m_fd);
    }
}

void WrittenMarks::append(char kind, const QList<qint64>& ids)
{
    if (ids.isEmpty())
        return;
    QByteArray lines;
    for (qint64 id : ids)
        lines += kind + (' ' + QByteArray::number(id)) + '\n';
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_fd < 0 && !m_failed) {
        const QString unique = QStringLiteral("%1-%2-%3")
                                   .arg(::getpid())
                                   .arg(QDateTime::currentMSecsSinceEpoch())
                                   .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
        const QString folder = QFileInfo(m_base).absolutePath();
        const QByteArray temporary = QFile::encodeName(folder + QStringLiteral("/.written-") + unique);
        m_path = folder + u'/' + marksPrefix(m_base) + unique;
        // Locked before it gets its name, as the journals are, so that it never looks left behind.
        m_fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0600);
        if (m_fd < 0 || ::flock(m_fd, LOCK_EX | LOCK_NB) != 0 || ::rename(temporary.constData(), QFile::encodeName(m_path).constData()) != 0) {
            if (m_fd >= 0) {
                ::close(m_fd);
                ::unlink(temporary.constData());
            }
            m_fd = -1;
            m_failed = true;
        }
    }
    if (m_fd >= 0 && ::write(m_fd, lines.constData(), size_t(lines.size())) != lines.size())
        m_failed = true; // a torn line is not read back; later ones still are
}

bool WrittenMarks::recover(StoreConnection& connection, const QString& base)
{
    const QDir folder = QFileInfo(base).absoluteDir();
    QSet<qint64> written;
    QStringList files;
    QList<int> locks;
    for (const QString& name : folder.entryList({marksPrefix(base) + u'*'}, QDir::Files)) {
        QByteArray data;
        const int fd = OpenLeftBehind(folder.filePath(name), &data);
        if (fd < 0)
            continue; // its process is alive
        for (const QByteArray& line : data.split('\n')) {
            bool ok = false;
            const qint64 id = line.mid(2).toLongLong(&ok);
            if (!ok || line.size() < 3 || line[1] != ' ')
                continue;
            if (line[0] == 'W')
                written.insert(id);
            else if (line[0] == 'R')
                written.remove(id);
        }
        files.append(folder.filePath(name));
        locks.append(fd);
    }
    // The journals were applied first: a message whose delivery they hold is no longer pending.
    const bool stored = connection.transaction([&] {
        QSqlQuery q(connection.db());
        for (qint64 id : std::as_const(written)) {
            q.prepare(QStringLiteral("INSERT INTO uncertain (id) SELECT id FROM pending WHERE id = ? ON CONFLICT DO NOTHING"));
            q.addBindValue(id);
            if (!q.exec())
                return connection.fail(q);
        }
        // Entries that went since (delivered, refused, removed) are uncertain no longer.
        return q.exec(QStringLiteral("DELETE FROM uncertain WHERE id NOT IN (SELECT id FROM pending)")) || connection.fail(q);
    });
    for (qsizetype i = 0; i < files.size(); ++i) {
        if (stored)
            QFile::remove(files[i]);
        ::close(locks[i]);
    }
    return stored;
}

QList<PendingRow> UncertainRows(StoreConnection& connection, bool* ok)
{
    QList<PendingRow> rows;
    QSqlQuery q(connection.db());
    const bool read = q.exec(QStringLiteral("SELECT p.id, p.entry FROM pending p JOIN uncertain u ON u.id = p.id ORDER BY p.id"));
    while (read && q.next())
        rows.append({q.value(0).toLongLong(), q.value(1).toString()});
    if (!read)
        connection.fail(q);
    if (ok)
        *ok = read;
    return rows;
}

int RecordUncertainAsDelivered(StoreConnection& connection)
{
    bool ok = false;
    const QList<PendingRow> rows = UncertainRows(connection, &ok);
    if (!ok)
        return -1;
    SqlDialect& dialect = connection.dialect();
    const bool recorded = connection.transaction([&] {
        QSqlQuery q(connection.db());
        for (const PendingRow& row : rows) {
            q.prepare(QStringLiteral("INSERT INTO sendlog (SENDDATE, MAILADDR, TYPE) VALUES (?, ?, TRUE)") + dialect.returningId(QStringLiteral("rowid")));
            q.addBindValue(SendLogTimestamp());
            q.addBindValue(row.entry);
            if (!q.exec())
                return connection.fail(q);
            const qint64 logRow = dialect.insertedIds(q, 1).value(0);
            q.prepare(QStringLiteral("INSERT INTO sendlog_outcome (log_row, code, reason) VALUES (?, 0, ?)"));
            q.addBindValue(logRow);
            q.addBindValue(QStringLiteral("unconfirmed: the run ended before the server's reply"));
            if (!q.exec())
                return connection.fail(q);
            q.prepare(QStringLiteral("INSERT INTO delivered_address (address) VALUES (?) ON CONFLICT DO NOTHING"));
            q.addBindValue(AddressKey(row.entry));
            if (!q.exec())
                return connection.fail(q);
            for (const char* sql : {"DELETE FROM pending WHERE id = ?", "DELETE FROM uncertain WHERE id = ?"}) {
                q.prepare(QLatin1String(sql));
                q.addBindValue(row.id);
                if (!q.exec())
                    return connection.fail(q);
            }
        }
        return true;
    });
    return recorded ? int(rows.size()) : -1;
}
