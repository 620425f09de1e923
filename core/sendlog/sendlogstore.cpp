#include "core/sendlog/sendlogstore.h"

#include "core/mail/addresskey.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "core/error.h"
#include "core/sendlog/sqldialect.h"
#include "core/sendlog/storeconnection.h"
#include "core/settings/settingsfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {
// Rows of the pending list added with one statement.
constexpr qsizetype kChunkRows = 64;

StoreLocation fileLocation(const QString& databasePath)
{
    StoreLocation location;
    location.path = databasePath;
    return location;
}
} // namespace

QString UnwritableReason(const StoreLocation& location)
{
    if (location.shared())
        return {};
    // The file and the folder beside it (where the journals and SQLite's own files go) must be
    // writable; a read-only disk says so even to root.
    const QString folder = QFileInfo(location.path).absolutePath();
    for (const QString& path : {location.path, folder}) {
        if (!QFileInfo::exists(path))
            continue;
        if (::access(QFile::encodeName(path).constData(), W_OK) != 0)
            return QStringLiteral(". %1 cannot be written (%2): the send log needs to write there.")
                .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
    }
    return {};
}

SendLogStore::SendLogStore(const QString& databasePath)
    : SendLogStore(fileLocation(databasePath))
{
}

SendLogStore::SendLogStore(const StoreLocation& location)
    : m_location(location)
{
    std::unique_ptr<SqlDialect> dialect = SqlDialect::forLocation(location);
    const QString base = dialect->journalBase();
    try {
        m_connection = std::make_unique<StoreConnection>(std::move(dialect), location.shown());
    } catch (const BrevoraError& e) {
        throw BrevoraError(ErrorKind::Store, QStringLiteral("Cannot open the send log %1: %2%3")
                                                 .arg(location.shown(), e.message(), UnwritableReason(location)));
    }
    // How runs share the list is decided here, once: claims on a shared store, the run lock
    // elsewhere.
    m_claims = m_connection->dialect().makeClaims(*m_connection);
    m_journal = std::make_unique<DeliveryJournal>(*m_connection, base,
                                                  m_claims ? JournalPolicy::sharedList() : JournalPolicy::ownList());
    m_suppression = std::make_unique<SuppressionList>(*m_connection);
    m_bounces = std::make_unique<BounceLog>(*m_connection);
    m_runLockPath = base + QStringLiteral(".run-lock");
    m_hasBeenSent = std::make_unique<QSqlQuery>(m_connection->db());
    m_hasBeenSent->prepare(QStringLiteral("SELECT 1 FROM delivered_address WHERE address = ?"));
    m_journal->recover();
    m_marks = std::make_unique<WrittenMarks>(base);
    // After the journals: a message they hold as delivered is not pending, so not uncertain.
    if (m_journal->unappliedReason().isEmpty())
        WrittenMarks::recover(*m_connection, base);
    m_sinceRecovery.start();
}

QList<PendingRow> SendLogStore::uncertainRows(bool* ok)
{
    return UncertainRows(*m_connection, ok);
}

int SendLogStore::recordUncertainAsDelivered()
{
    return RecordUncertainAsDelivered(*m_connection);
}

SendLogStore::~SendLogStore()
{
    unlockRun();
    m_hasBeenSent.reset();
    m_journal.reset(); // applies what is left while the connection is open
}

const QString& SendLogStore::shownName() const
{
    return m_connection->shownName();
}

const QString& SendLogStore::lastError() const
{
    return m_connection->lastError();
}

bool SendLogStore::typeIsTrue(const QVariant& type)
{
    const QString text = type.toString().trimmed().toUpper();
    return text == QLatin1String("1") || text == QLatin1String("-1") || text == QLatin1String("TRUE")
        || text == QLatin1String("T") || text == QLatin1String("Y") || text == QLatin1String("YES");
}

QList<SendLogStore::LogRow> SendLogStore::logRows(const QString& pattern, bool* ok)
{
    QList<LogRow> rows;
    if (ok)
        *ok = false;
    m_journal->flush();
    QSqlQuery q(m_connection->db());
    q.setForwardOnly(true);
    m_connection->dialect().prepareDayQuery(
        q,
        QStringLiteral("SELECT SENDDATE, MAILADDR, TYPE, code, reason FROM sendlog LEFT JOIN sendlog_outcome "
                       "ON log_row = sendlog.rowid WHERE "),
        QStringLiteral("ORDER BY sendlog.rowid"), pattern);
    if (!q.exec()) {
        m_connection->fail(q);
        return rows;
    }
    while (q.next()) {
        LogRow row{q.value(0).toString(), q.value(1).toString(), typeIsTrue(q.value(2)), std::nullopt, q.value(4).toString()};
        if (!q.value(3).isNull())
            row.code = q.value(3).toInt();
        rows.append(row);
    }
    if (ok)
        *ok = true;
    return rows;
}

bool SendLogStore::recordRefusal(qint64 pendingId, const QString& entry, int code, const QString& reason, bool keepPending)
{
    SqlDialect& dialect = m_connection->dialect();
    return m_connection->transaction([&] {
        const QString now = SendLogTimestamp();
        QSqlQuery q(m_connection->db());
        q.prepare(QStringLiteral("INSERT INTO sendlog (SENDDATE, MAILADDR, TYPE) VALUES (?, ?, FALSE)")
                  + dialect.returningId(QStringLiteral("rowid")));
        q.addBindValue(now);
        q.addBindValue(entry);
        if (!q.exec())
            return m_connection->fail(q);
        const QList<qint64> row = dialect.insertedIds(q, 1);
        q.prepare(QStringLiteral("INSERT INTO sendlog_outcome (log_row, code, reason) VALUES (?, ?, ?)"));
        q.addBindValue(row.value(0));
        q.addBindValue(code);
        q.addBindValue(reason);
        if (!q.exec())
            return m_connection->fail(q);
        if (keepPending)
            return true;
        q.prepare(QStringLiteral("DELETE FROM pending WHERE id = ?"));
        q.addBindValue(pendingId);
        if (!q.exec())
            return m_connection->fail(q);
        q.prepare(QStringLiteral("INSERT INTO failed (entry, code, reason, at) VALUES (?, ?, ?, ?)"));
        q.addBindValue(entry);
        q.addBindValue(code);
        q.addBindValue(reason);
        q.addBindValue(now);
        return q.exec() || m_connection->fail(q);
    });
}

bool SendLogStore::noteSentBy(const QString& server, qint64 atMs)
{
    QSqlQuery q(m_connection->db());
    q.prepare(QStringLiteral("INSERT INTO sent_by_server (server, at) VALUES (?, ?)"));
    q.addBindValue(server.toLower());
    q.addBindValue(atMs);
    if (!q.exec())
        return m_connection->fail(q);
    // Older than a day, a note counts for no limit any more.
    q.prepare(QStringLiteral("DELETE FROM sent_by_server WHERE server = ? AND at < ?"));
    q.addBindValue(server.toLower());
    q.addBindValue(atMs - 2 * 86400000LL);
    q.exec();
    return true;
}

int SendLogStore::countSentBy(const QString& server, qint64 sinceMs, qint64* earliestMs)
{
    if (earliestMs)
        *earliestMs = 0;
    QSqlQuery q(m_connection->db());
    q.prepare(QStringLiteral("SELECT count(*), min(at) FROM sent_by_server WHERE server = ? AND at >= ?"));
    q.addBindValue(server.toLower());
    q.addBindValue(sinceMs);
    if (!q.exec() || !q.next())
        return 0;
    if (earliestMs)
        *earliestMs = q.value(1).toLongLong();
    return q.value(0).toInt();
}

bool SendLogStore::saveFieldNames(const QStringList& names)
{
    return m_connection->transaction([&] {
        QSqlQuery q(m_connection->db());
        if (!q.exec(QStringLiteral("DELETE FROM list_fields")))
            return m_connection->fail(q);
        q.prepare(QStringLiteral("INSERT INTO list_fields (position, name) VALUES (?, ?)"));
        for (qsizetype i = 0; i < names.size(); ++i) {
            q.addBindValue(int(i));
            q.addBindValue(names[i]);
            if (!q.exec())
                return m_connection->fail(q);
        }
        return true;
    });
}

QStringList SendLogStore::fieldNames()
{
    QStringList names;
    QSqlQuery q(m_connection->db());
    q.setForwardOnly(true);
    if (q.exec(QStringLiteral("SELECT name FROM list_fields ORDER BY position")))
        while (q.next())
            names.append(q.value(0).toString());
    return names;
}

QList<SendLogStore::FailedRow> SendLogStore::failedRows()
{
    QList<FailedRow> rows;
    QSqlQuery q(m_connection->db());
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("SELECT id, entry, code, reason, at FROM failed ORDER BY id"))) {
        m_connection->fail(q);
        return rows;
    }
    while (q.next())
        rows.append({q.value(0).toLongLong(), q.value(1).toString(), q.value(2).toInt(), q.value(3).toString(),
                     q.value(4).toString()});
    return rows;
}

bool SendLogStore::retryFailed()
{
    // One entry for an address: a failed entry whose address is pending again, or was mailed
    // since (under another spelling), is not added a second time.
    m_journal->flush();
    return m_connection->transaction([&] {
        QSqlQuery q(m_connection->db());
        QSet<QString> taken;
        if (!q.exec(QStringLiteral("SELECT entry FROM pending")))
            return m_connection->fail(q);
        while (q.next())
            taken.insert(AddressKey(q.value(0).toString()));
        QStringList again;
        if (!q.exec(QStringLiteral("SELECT entry FROM failed ORDER BY id")))
            return m_connection->fail(q);
        while (q.next())
            again.append(q.value(0).toString());
        q.finish();
        const QSet<QString> sent = sentAmong(again);
        QSqlQuery add(m_connection->db());
        add.prepare(QStringLiteral("INSERT INTO pending (entry) VALUES (?)"));
        for (const QString& entry : std::as_const(again)) {
            const QString key = AddressKey(entry);
            if (sent.contains(entry) || taken.contains(key))
                continue;
            taken.insert(key);
            add.addBindValue(entry);
            if (!add.exec())
                return m_connection->fail(add);
        }
        return q.exec(QStringLiteral("DELETE FROM failed")) || m_connection->fail(q);
    });
}

QList<SendLogStore::DayCount> SendLogStore::countByDay(const QDate& first, const QDate& last)
{
    QList<DayCount> days;
    if (!first.isValid() || !last.isValid() || first > last)
        return days;
    m_journal->flush();
    QSqlQuery q(m_connection->db());
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT substr(SENDDATE, 1, 10), TYPE, count(*) FROM sendlog "
                             "WHERE SENDDATE >= ? AND SENDDATE < ? GROUP BY 1, 2"));
    q.addBindValue(first.toString(Qt::ISODate));
    q.addBindValue(last.addDays(1).toString(Qt::ISODate));
    if (!q.exec())
        return days;
    for (QDate d = first; d <= last; d = d.addDays(1))
        days.append({d, 0, 0});
    while (q.next()) {
        const qint64 at = first.daysTo(QDate::fromString(q.value(0).toString(), Qt::ISODate));
        if (at < 0 || at >= days.size())
            continue;
        (typeIsTrue(q.value(1)) ? days[at].delivered : days[at].failed) += q.value(2).toInt();
    }
    return days;
}

bool SendLogStore::keyNewLogRows()
{
    // Rows written by this program come with their key; the others (written before keys were
    // kept, or by other programs) are read once, from where the last reading ended.
    QSqlQuery q(m_connection->db());
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("SELECT coalesce(max(last_row), 0) FROM delivered_read")) || !q.next())
        return m_connection->fail(q);
    const qint64 from = q.value(0).toLongLong();
    q.finish();
    q.prepare(QStringLiteral("SELECT rowid, MAILADDR, CASE WHEN %1 THEN 1 ELSE 0 END FROM sendlog WHERE rowid > ? ORDER BY rowid")
                  .arg(m_connection->dialect().deliveredCondition()));
    q.addBindValue(from);
    if (!q.exec())
        return m_connection->fail(q);
    qint64 last = from;
    QVariantList keys;
    while (q.next()) {
        last = q.value(0).toLongLong();
        if (q.value(2).toInt() == 1)
            keys.append(AddressKey(q.value(1).toString()));
    }
    if (last == from)
        return true;
    return m_connection->transaction([&] {
        QSqlQuery write(m_connection->db());
        if (!keys.isEmpty()) {
            write.prepare(QStringLiteral("INSERT INTO delivered_address (address) VALUES (?) ON CONFLICT DO NOTHING"));
            write.addBindValue(keys);
            if (!write.execBatch())
                return m_connection->fail(write);
        }
        if (!write.exec(QStringLiteral("DELETE FROM delivered_read")))
            return m_connection->fail(write);
        write.prepare(QStringLiteral("INSERT INTO delivered_read (last_row) VALUES (?)"));
        write.addBindValue(last);
        return write.exec() || m_connection->fail(write);
    });
}

bool SendLogStore::hasBeenSent(const QString& address)
{
    if (m_journal->holds(address))
        return true;
    keyNewLogRows();
    m_hasBeenSent->bindValue(0, AddressKey(address));
    if (!m_hasBeenSent->exec())
        return false;
    const bool found = m_hasBeenSent->next();
    m_hasBeenSent->finish();
    return found;
}

QSet<QString> SendLogStore::sentAmong(const QStringList& entries)
{
    QHash<QString, QStringList> byKey; // address key -> the entries with it
    byKey.reserve(entries.size());
    QSet<QString> wanted;
    wanted.reserve(entries.size());
    for (const QString& e : entries) {
        wanted.insert(e);
        byKey[AddressKey(e)].append(e);
    }
    QSet<QString> sent = m_journal->heldAmong(wanted);
    keyNewLogRows(); // a failure answers from what was read before, as a failed look-up answers "not sent"
    const auto found = [&](const QString& key) {
        for (const QString& e : byKey.value(key))
            sent.insert(e);
    };
    QSqlQuery q(m_connection->db());
    q.setForwardOnly(true);
    // A set of addresses not much larger than the list is read whole, faster than asking for each.
    if (q.exec(QStringLiteral("SELECT count(*) FROM delivered_address")) && q.next() && q.value(0).toLongLong() <= 4 * byKey.size()) {
        if (q.exec(QStringLiteral("SELECT address FROM delivered_address"))) {
            while (q.next())
                found(q.value(0).toString());
            return sent;
        }
    }
    // Asked a chunk at a time: one statement per entry costs far more than the look-up itself.
    constexpr qsizetype kAsk = 500;
    const QStringList keys = byKey.keys();
    for (qsizetype at = 0; at < keys.size(); at += kAsk) {
        const qsizetype count = qMin(kAsk, keys.size() - at);
        QString text = QStringLiteral("SELECT address FROM delivered_address WHERE address IN (?");
        for (qsizetype k = 1; k < count; ++k)
            text += QStringLiteral(", ?");
        text += QLatin1Char(')');
        if (q.lastQuery() != text)
            q.prepare(text);
        for (qsizetype k = 0; k < count; ++k)
            q.bindValue(int(k), keys[at + k]);
        if (!q.exec())
            continue; // a failed look-up answers "not sent", as hasBeenSent does
        while (q.next())
            found(q.value(0).toString());
    }
    return sent;
}

QList<PendingRow> SendLogStore::pendingRows(bool* ok)
{
    QList<PendingRow> rows;
    const bool read = readPending([&rows](qint64 id, const QString& entry) { rows.append({id, entry}); });
    if (ok)
        *ok = read;
    if (!read)
        rows.clear();
    return rows;
}

bool SendLogStore::readPending(const std::function<void(qint64 id, const QString& entry)>& row)
{
    m_journal->flush();
    QSqlQuery q(m_connection->db());
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("SELECT id, entry FROM pending ORDER BY id")))
        return m_connection->fail(q);
    // Deliveries still in a journal (this process's, when a batch could not be applied, or one
    // left behind) are no longer pending, whatever the table says.
    const QSet<qint64> journalled = m_journal->heldIds();
    while (q.next()) {
        const qint64 id = q.value(0).toLongLong();
        if (!journalled.contains(id))
            row(id, q.value(1).toString());
    }
    if (q.lastError().isValid())
        return m_connection->fail(q);
    return true;
}

int SendLogStore::countPending()
{
    QSqlQuery q(m_connection->db());
    if (!q.exec(QStringLiteral("SELECT count(*) FROM pending")) || !q.next()) {
        m_connection->fail(q);
        return -1;
    }
    return qMax(0, q.value(0).toInt() - m_journal->waiting());
}

bool SendLogStore::appendPending(const QStringList& entries, QList<qint64>* ids)
{
    SqlDialect& dialect = m_connection->dialect();
    QList<qint64> added;
    added.reserve(entries.size());
    const bool ok = m_connection->transaction([&] {
        // Many rows to a statement.
        QSqlQuery chunk(m_connection->db());
        QSqlQuery single(m_connection->db());
        const QString returning = dialect.returningId(QStringLiteral("id"));
        QString chunkText = QStringLiteral("INSERT INTO pending (entry) VALUES (?)");
        for (qsizetype i = 1; i < kChunkRows; ++i)
            chunkText += QStringLiteral(", (?)");
        for (qsizetype at = 0; at < entries.size();) {
            const qsizetype count = entries.size() - at >= kChunkRows ? kChunkRows : 1;
            QSqlQuery& q = count == kChunkRows ? chunk : single;
            if (q.lastQuery().isEmpty())
                q.prepare((count == kChunkRows ? chunkText : QStringLiteral("INSERT INTO pending (entry) VALUES (?)")) + returning);
            for (qsizetype k = 0; k < count; ++k)
                q.bindValue(int(k), entries[at + k]);
            if (!q.exec())
                return m_connection->fail(q);
            added += dialect.insertedIds(q, count);
            at += count;
        }
        return true;
    });
    if (ok && ids)
        *ids = added;
    return ok;
}

bool SendLogStore::removePending(const QList<qint64>& ids)
{
    return m_connection->transaction([&] {
        QSqlQuery q(m_connection->db());
        q.prepare(QStringLiteral("DELETE FROM pending WHERE id = ?"));
        for (qint64 id : ids) {
            q.bindValue(0, id);
            if (!q.exec())
                return m_connection->fail(q);
        }
        return true;
    });
}

bool SendLogStore::changedByOthers()
{
    return m_connection->dialect().changedByOthers(m_connection->db());
}

bool SendLogStore::lockRun()
{
    // Journals that could not be applied before may be applied now.
    if (!m_journal->unappliedReason().isEmpty())
        m_journal->recover();
    if (!m_journal->unappliedReason().isEmpty())
        return m_connection->fail(m_journal->unappliedReason());
    if (m_claims || m_runLockFd >= 0)
        return true; // runs share a shared store's list through their claims
    const QByteArray path = QFile::encodeName(m_runLockPath);
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return m_connection->fail(QStringLiteral("Cannot open %1: %2").arg(m_runLockPath, QString::fromLocal8Bit(std::strerror(errno))));
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return m_connection->fail(
            QStringLiteral("Another run is using this list (%1). Wait until it ends, or stop it, then start again.")
                .arg(shownName()));
    }
    m_runLockFd = fd;
    return true;
}

void SendLogStore::unlockRun()
{
    // Delivered entries leave the list first: a claim given back must never be of one.
    if (m_claims && m_journal->flush())
        m_claims->giveBack();
    if (m_runLockFd >= 0)
        ::close(m_runLockFd);
    m_runLockFd = -1;
}

QList<PendingRow> SendLogStore::claimPending(int count, bool* ok)
{
    QList<PendingRow> rows;
    if (ok)
        *ok = false;
    if (!m_claims) {
        m_connection->fail(QStringLiteral("Only a shared store hands out claims."));
        return rows;
    }
    // A run of this machine that died left its journal: its deliveries reach the log before
    // their claims can run out and their entries go to another run. Looked for once a second;
    // a lease lasts far longer.
    if (m_sinceRecovery.elapsed() >= 1000) {
        m_journal->recover();
        m_sinceRecovery.start();
    }
    const bool claimed = m_claims->claim(count, m_journal->blockedIds(), &rows);
    if (ok)
        *ok = claimed;
    return rows;
}

bool SendLogStore::lockIntake()
{
    return !m_claims || m_claims->lockIntake();
}

void SendLogStore::unlockIntake()
{
    if (m_claims)
        m_claims->unlockIntake();
}

QString SendLogPath()
{
    return AppDir() + QStringLiteral("db/sendlog.db");
}

QString AdoptWorkingDirectoryStore()
{
    const QFileInfo target(SendLogPath());
    const QFileInfo found(QDir::current().absoluteFilePath(QStringLiteral("db/sendlog.db")));
    if (target.exists() || !found.exists() || found.canonicalFilePath() == target.absoluteFilePath())
        return {};
    const QDir from = found.absoluteDir();
    if (!QDir().mkpath(target.absolutePath()))
        throw BrevoraError(ErrorKind::Store, QStringLiteral("Cannot create the folder %1.").arg(target.absolutePath()));
    // The database with its write-ahead log and any delivery journal go together.
    const QStringList names = from.entryList({found.fileName() + '*'}, QDir::Files | QDir::Hidden);
    for (const QString& name : names) {
        const QString destination = target.absoluteDir().filePath(name);
        if (!QFile::rename(from.filePath(name), destination)
            && !(QFile::copy(from.filePath(name), destination) && QFile::remove(from.filePath(name))))
            throw BrevoraError(ErrorKind::Store, QStringLiteral("Cannot move %1 to %2.").arg(from.filePath(name), destination));
    }
    return QStringLiteral("The send log and the pending list were moved from %1 to %2.")
        .arg(QDir::toNativeSeparators(from.absolutePath()), QDir::toNativeSeparators(target.absolutePath()));
}
