#include "core/sendlog/sendlogstore.h"

#include "core/error.h"
#include "core/settings/settingsfile.h"

#include <algorithm>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSysInfo>
#include <QSqlError>
#include <QVariant>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <span>
#include <utility>

namespace {
std::atomic<int> g_connectionCounter{0};

// A batch is applied after this many deliveries or this much time, whichever comes first.
constexpr int kBatchDeliveries = 256;
constexpr qint64 kBatchAgeMs = 200;
// On a shared store the batches are small: a run on another machine takes over the entries of a
// run that died, and sends again those of its deliveries that had not reached the store.
constexpr int kSharedBatchDeliveries = 32;
constexpr qint64 kSharedBatchAgeMs = 20;
constexpr qint64 kSharedJournalBytes = 4 * 1024 * 1024;
constexpr qsizetype kChunkRows = 64;
// Journal space set aside at once, so that a full disk is noticed before a message goes out.
constexpr qint64 kJournalReserve = 256 * 1024;

QString journalPrefix(const QString& databasePath)
{
    return QFileInfo(databasePath).fileName() + QStringLiteral("-deliveries-");
}

QByteArray escapeField(const QString& text)
{
    const QByteArray utf8 = text.toUtf8();
    const auto special = [](char c) { return c == '\\' || c == '\t' || c == '\n' || c == '\r'; };
    if (std::none_of(utf8.begin(), utf8.end(), special))
        return utf8;
    QByteArray out;
    out.reserve(utf8.size() + 8);
    for (char c : utf8) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        default: out += c;
        }
    }
    return out;
}

QString unescapeField(const QByteArray& text)
{
    QByteArray out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text.at(i) == '\\' && i + 1 < text.size()) {
            const char next = text.at(++i);
            out += next == 't' ? '\t' : next == 'n' ? '\n' : next == 'r' ? '\r' : next;
        } else {
            out += text.at(i);
        }
    }
    return QString::fromUtf8(out);
}

bool isPrefixPattern(const QString& pattern, QString* prefix)
{
    if (!pattern.endsWith('%'))
        return false;
    const QString head = pattern.chopped(1);
    for (QChar c : head)
        if (c == '%' || c == '_' || c == '*' || c == '?' || c == '[' || c == ']')
            return false;
    *prefix = head;
    return true;
}
} // namespace

TDM::TDM(const QString& databasePath)
    : m_connectionName(QStringLiteral("brevora-store-%1").arg(g_connectionCounter.fetch_add(1)))
{
    StoreLocation location;
    location.path = databasePath;
    open(location);
}

TDM::TDM(const StoreLocation& location)
    : m_connectionName(QStringLiteral("brevora-store-%1").arg(g_connectionCounter.fetch_add(1)))
{
    open(location);
}

void TDM::open(const StoreLocation& location)
{
    m_shared = location.shared();
    m_shownName = location.shown();
    QString databasePath = location.path;
    if (m_shared) {
        // Journals of this machine's runs stay in the data folder, under a name of the store.
        QString name = QStringLiteral("%1-%2-%3-%4")
                           .arg(location.host, QString::number(location.port), location.database, QSysInfo::machineHostName());
        name.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9._-]")), QStringLiteral("_"));
        databasePath = AppDir() + QStringLiteral("db/pg-") + name;
        m_claimant = QStringLiteral("%1:%2:%3")
                         .arg(QSysInfo::machineHostName())
                         .arg(::getpid())
                         .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
    }
    const QFileInfo folder(QFileInfo(databasePath).absolutePath());
    if (!QDir().mkpath(folder.absoluteFilePath())) {
        fail(folder.exists() ? QStringLiteral("%1 is a file, not a folder.").arg(folder.absoluteFilePath())
                             : QStringLiteral("The folder %1 cannot be created.").arg(folder.absoluteFilePath()));
        return;
    }
    if (m_shared) {
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), m_connectionName);
        if (!m_db.isValid()) {
            fail(QStringLiteral("The PostgreSQL driver of Qt is not installed (Debian: libqt6sql6-psql)."));
            return;
        }
        m_db.setHostName(location.host);
        m_db.setPort(location.port);
        m_db.setUserName(location.user);
        m_db.setDatabaseName(location.database);
        m_db.setConnectOptions(location.options);
        m_isTrue = QStringLiteral("TYPE");
    } else {
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connectionName);
        m_db.setDatabaseName(databasePath);
        m_isTrue = QStringLiteral("(TYPE IN (1, -1) OR upper(trim(TYPE)) IN ('TRUE', 'T', 'Y', 'YES', '1', '-1'))");
    }
    if (!m_db.open()) {
        fail(m_db.lastError().text());
        return;
    }
    if (!createTables())
        return;
    m_hasBeenSent = new QSqlQuery(m_db);
    m_hasBeenSent->prepare(QStringLiteral("SELECT 1 FROM sendlog WHERE MAILADDR = ? AND %1 LIMIT 1").arg(m_isTrue));
    m_insert = new QSqlQuery(m_db);
    m_insert->prepare(QStringLiteral("INSERT INTO sendlog (SENDDATE, MAILADDR, TYPE) VALUES (?, ?, ?)"));
    m_deletePending = new QSqlQuery(m_db);
    m_deletePending->prepare(QStringLiteral("DELETE FROM pending WHERE id = ?"));
    for (size_t k = 0; k < std::size(kChunkSizes); ++k) {
        QString insertChunk = QStringLiteral("INSERT INTO sendlog (SENDDATE, MAILADDR, TYPE) VALUES (?, ?, TRUE)");
        QString deleteChunk = QStringLiteral("DELETE FROM pending WHERE id IN (?");
        for (qsizetype i = 1; i < kChunkSizes[k]; ++i) {
            insertChunk += QStringLiteral(", (?, ?, TRUE)");
            deleteChunk += QStringLiteral(", ?");
        }
        m_insertChunks[k] = new QSqlQuery(m_db);
        m_insertChunks[k]->prepare(insertChunk);
        m_deleteChunks[k] = new QSqlQuery(m_db);
        m_deleteChunks[k]->prepare(deleteChunk + ')');
    }
    m_databasePath = databasePath;
    m_open = true;
    recoverJournals();
    m_sinceRecovery.start();
}

bool TDM::createTables()
{
    // The same tables and columns in both kinds of store. A shared store numbers its rows in a
    // column of its own (rowid) where SQLite has one built in.
    static const char* const sqlite[] = {
        "PRAGMA journal_mode=WAL",
        "PRAGMA synchronous=NORMAL",
        "CREATE TABLE IF NOT EXISTS sendlog (SENDDATE VARCHAR(19), MAILADDR VARCHAR(254), TYPE BOOLEAN)",
        "CREATE INDEX IF NOT EXISTS sendlog_by_address ON sendlog (MAILADDR, TYPE)",
        "CREATE INDEX IF NOT EXISTS sendlog_by_date ON sendlog (SENDDATE)",
        "CREATE TABLE IF NOT EXISTS pending (id INTEGER PRIMARY KEY, entry TEXT NOT NULL)",
        "CREATE TABLE IF NOT EXISTS journal_state (name TEXT PRIMARY KEY, applied INTEGER NOT NULL)",
        "CREATE TABLE IF NOT EXISTS failed (id INTEGER PRIMARY KEY, entry TEXT NOT NULL, code INTEGER, "
        "reason TEXT, at VARCHAR(19))",
        // A refusal's code and reason, beside its send log row: the log keeps its three columns,
        // so that other programs reading or writing it go on working.
        "CREATE TABLE IF NOT EXISTS sendlog_outcome (log_row INTEGER PRIMARY KEY, code INTEGER, reason TEXT)",
        "CREATE TABLE IF NOT EXISTS sent_by_server (server TEXT NOT NULL, at INTEGER NOT NULL)",
        "CREATE TABLE IF NOT EXISTS list_fields (position INTEGER PRIMARY KEY, name TEXT NOT NULL)",
        "CREATE TABLE IF NOT EXISTS suppressed (address TEXT PRIMARY KEY, shown TEXT NOT NULL, added TEXT, reason TEXT)",
        "CREATE INDEX IF NOT EXISTS sent_by_server_at ON sent_by_server (server, at)",
        "CREATE TABLE IF NOT EXISTS store_version (version INTEGER NOT NULL)",
    };
    static const char* const postgresql[] = {
        // Processes that open a new store at the same moment create its tables one after another.
        "SELECT pg_advisory_xact_lock(7306197321)",
        "SET LOCAL client_min_messages = warning", // no notice for each table that exists
        "CREATE TABLE IF NOT EXISTS sendlog (rowid BIGSERIAL PRIMARY KEY, SENDDATE VARCHAR(19), "
        "MAILADDR VARCHAR(254), TYPE BOOLEAN)",
        "CREATE INDEX IF NOT EXISTS sendlog_by_address ON sendlog (MAILADDR, TYPE)",
        // Day patterns are prefixes (LIKE needs the pattern index), History's days are ranges.
        "CREATE INDEX IF NOT EXISTS sendlog_by_date ON sendlog (SENDDATE varchar_pattern_ops)",
        "CREATE INDEX IF NOT EXISTS sendlog_by_date_range ON sendlog (SENDDATE)",
        // claimed_by and lease_until: which run holds the entry, and until when.
        "CREATE TABLE IF NOT EXISTS pending (id BIGSERIAL PRIMARY KEY, entry TEXT NOT NULL, claimed_by TEXT, "
        "lease_until TIMESTAMPTZ)",
        "CREATE TABLE IF NOT EXISTS journal_state (name TEXT PRIMARY KEY, applied BIGINT NOT NULL)",
        "CREATE TABLE IF NOT EXISTS failed (id BIGSERIAL PRIMARY KEY, entry TEXT NOT NULL, code INTEGER, "
        "reason TEXT, at VARCHAR(19))",
        "CREATE TABLE IF NOT EXISTS sendlog_outcome (log_row BIGINT PRIMARY KEY, code INTEGER, reason TEXT)",
        "CREATE TABLE IF NOT EXISTS sent_by_server (server TEXT NOT NULL, at BIGINT NOT NULL)",
        "CREATE TABLE IF NOT EXISTS list_fields (position INTEGER PRIMARY KEY, name TEXT NOT NULL)",
        "CREATE TABLE IF NOT EXISTS suppressed (rowid BIGSERIAL, address TEXT PRIMARY KEY, shown TEXT NOT NULL, "
        "added TEXT, reason TEXT)",
        "CREATE INDEX IF NOT EXISTS sent_by_server_at ON sent_by_server (server, at)",
        "CREATE TABLE IF NOT EXISTS store_version (version INTEGER NOT NULL)",
    };
    if (m_shared && !m_db.transaction())
        return fail(m_db.lastError().text());
    QSqlQuery q(m_db);
    const auto failed = [this, &q] {
        fail(q);
        if (m_shared)
            m_db.rollback();
        return false;
    };
    for (const char* sql : m_shared ? std::span<const char* const>(postgresql) : std::span<const char* const>(sqlite))
        if (!q.exec(QString::fromLatin1(sql)))
            return failed();
    if (!q.exec(QStringLiteral("SELECT max(version) FROM store_version")) || !q.next())
        return failed();
    const int version = q.value(0).isNull() ? 0 : q.value(0).toInt();
    q.finish();
    if (version > kSchemaVersion) {
        if (m_shared)
            m_db.rollback();
        return fail(QStringLiteral("%1 was laid out by a later release of Brevora (layout %2; this one knows %3). "
                                   "Use that release or a later one.")
                        .arg(m_shownName)
                        .arg(version)
                        .arg(kSchemaVersion));
    }
    if (version < kSchemaVersion) {
        // Migrations from earlier layouts go here, one step at a time.
        q.prepare(QStringLiteral("INSERT INTO store_version (version) VALUES (?)"));
        q.addBindValue(kSchemaVersion);
        if (!q.exec())
            return failed();
    }
    if (m_shared && !m_db.commit())
        return fail(m_db.lastError().text());
    return true;
}

TDM::~TDM()
{
    if (m_open && FlushDeliveries() && m_journalFd >= 0) {
        // Everything is applied: the journal and its note go.
        QSqlQuery forget(m_db);
        forget.prepare(QStringLiteral("DELETE FROM journal_state WHERE name = ?"));
        forget.addBindValue(m_journalName);
        forget.exec();
        QFile::remove(QFileInfo(m_databasePath).absolutePath() + '/' + m_journalName);
    }
    if (m_journalFd >= 0)
        ::close(m_journalFd);
    UnlockRun();
    delete m_hasBeenSent;
    delete m_insert;
    delete m_deletePending;
    for (size_t k = 0; k < std::size(kChunkSizes); ++k) {
        delete m_insertChunks[k];
        delete m_deleteChunks[k];
    }
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connectionName);
}

bool TDM::fail(const QSqlQuery& query)
{
    return fail(query.lastError().text());
}

bool TDM::fail(const QString& text)
{
    m_lastError = text.isEmpty() ? QStringLiteral("The send log cannot be written.") : text;
    return false;
}

QString TDM::Timestamp()
{
    // Asked once per delivery; the text changes once a second.
    thread_local qint64 cachedAt = -1;
    thread_local QString cached;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    if (now != cachedAt) {
        cached = QDateTime::fromSecsSinceEpoch(now).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        cachedAt = now;
    }
    return cached;
}

bool TDM::TypeIsTrue(const QVariant& type)
{
    const QString text = type.toString().trimmed().toUpper();
    return text == QLatin1String("1") || text == QLatin1String("-1") || text == QLatin1String("TRUE")
        || text == QLatin1String("T") || text == QLatin1String("Y") || text == QLatin1String("YES");
}

bool TDM::RecordRefusal(qint64 pendingId, const QString& entry, int code, const QString& reason, bool keepPending)
{
    if (!m_open)
        return fail(QStringLiteral("The send log is not open."));
    if (!m_db.transaction())
        return fail(m_db.lastError().text());
    const QString now = Timestamp();
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("INSERT INTO sendlog (SENDDATE, MAILADDR, TYPE) VALUES (?, ?, FALSE)")
              + (m_shared ? QStringLiteral(" RETURNING rowid") : QString()));
    q.addBindValue(now);
    q.addBindValue(entry);
    bool ok = q.exec() && (!m_shared || q.next());
    if (ok) {
        const qint64 row = m_shared ? q.value(0).toLongLong() : q.lastInsertId().toLongLong();
        q.prepare(QStringLiteral("INSERT INTO sendlog_outcome (log_row, code, reason) VALUES (?, ?, ?)"));
        q.addBindValue(row);
        q.addBindValue(code);
        q.addBindValue(reason);
        ok = q.exec();
    }
    if (ok && !keepPending) {
        QSqlQuery move(m_db);
        move.prepare(QStringLiteral("DELETE FROM pending WHERE id = ?"));
        move.addBindValue(pendingId);
        ok = move.exec();
        if (ok) {
            move.prepare(QStringLiteral("INSERT INTO failed (entry, code, reason, at) VALUES (?, ?, ?, ?)"));
            move.addBindValue(entry);
            move.addBindValue(code);
            move.addBindValue(reason);
            move.addBindValue(now);
            ok = move.exec();
        }
        if (!ok)
            q = move;
    }
    if (!ok) {
        fail(q);
        m_db.rollback();
        return false;
    }
    return m_db.commit() || fail(m_db.lastError().text());
}

bool TDM::NoteSentBy(const QString& server, qint64 atMs)
{
    if (!m_open)
        return fail(QStringLiteral("The send log is not open."));
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("INSERT INTO sent_by_server (server, at) VALUES (?, ?)"));
    q.addBindValue(server.toLower());
    q.addBindValue(atMs);
    if (!q.exec())
        return fail(q);
    // Older than a day, a note counts for no limit any more.
    q.prepare(QStringLiteral("DELETE FROM sent_by_server WHERE server = ? AND at < ?"));
    q.addBindValue(server.toLower());
    q.addBindValue(atMs - 2 * 86400000LL);
    q.exec();
    return true;
}

int TDM::CountSentBy(const QString& server, qint64 sinceMs, qint64* earliestMs)
{
    if (earliestMs)
        *earliestMs = 0;
    if (!m_open)
        return 0;
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("SELECT count(*), min(at) FROM sent_by_server WHERE server = ? AND at >= ?"));
    q.addBindValue(server.toLower());
    q.addBindValue(sinceMs);
    if (!q.exec() || !q.next())
        return 0;
    if (earliestMs)
        *earliestMs = q.value(1).toLongLong();
    return q.value(0).toInt();
}

QString TDM::SuppressionKey(const QString& entryOrAddress)
{
    const QString address = entryOrAddress.section(QLatin1Char(','), 0, 0).trimmed();
    const qsizetype at = address.lastIndexOf(QLatin1Char('@'));
    return at < 0 ? address : address.left(at + 1) + address.mid(at + 1).toLower();
}

bool TDM::AddSuppressed(const QStringList& addresses, const QString& reason, int* added)
{
    if (added)
        *added = 0;
    if (!m_open)
        return fail(QStringLiteral("The send log is not open."));
    if (!m_db.transaction())
        return fail(m_db.lastError().text());
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("INSERT INTO suppressed (address, shown, added, reason) VALUES (?, ?, ?, ?) ON CONFLICT DO NOTHING"));
    const QString now = Timestamp();
    for (const QString& a : addresses) {
        const QString shown = a.section(QLatin1Char(','), 0, 0).trimmed();
        if (shown.isEmpty())
            continue;
        q.addBindValue(SuppressionKey(shown));
        q.addBindValue(shown);
        q.addBindValue(now);
        q.addBindValue(reason);
        if (!q.exec()) {
            fail(q);
            m_db.rollback();
            return false;
        }
        if (added)
            *added += q.numRowsAffected() > 0 ? 1 : 0;
    }
    if (!m_db.commit()) {
        fail(m_db.lastError().text());
        m_db.rollback();
        return false;
    }
    return true;
}

bool TDM::RemoveSuppressed(const QString& address, bool* found)
{
    if (!m_open)
        return fail(QStringLiteral("The send log is not open."));
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("DELETE FROM suppressed WHERE address = ?"));
    q.addBindValue(SuppressionKey(address));
    if (!q.exec())
        return fail(q);
    if (found)
        *found = q.numRowsAffected() > 0;
    return true;
}

QList<TDM::SuppressedRow> TDM::LoadSuppressed()
{
    QList<SuppressedRow> rows;
    if (!m_open)
        return rows;
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("SELECT shown, added, reason FROM suppressed ORDER BY rowid"))) {
        fail(q);
        return rows;
    }
    while (q.next())
        rows.append({q.value(0).toString(), q.value(1).toString(), q.value(2).toString()});
    return rows;
}

bool TDM::SaveFieldNames(const QStringList& names)
{
    if (!m_open)
        return fail(QStringLiteral("The send log is not open."));
    if (!m_db.transaction())
        return fail(m_db.lastError().text());
    QSqlQuery q(m_db);
    bool ok = q.exec(QStringLiteral("DELETE FROM list_fields"));
    q.prepare(QStringLiteral("INSERT INTO list_fields (position, name) VALUES (?, ?)"));
    for (qsizetype i = 0; ok && i < names.size(); ++i) {
        q.addBindValue(int(i));
        q.addBindValue(names[i]);
        ok = q.exec();
    }
    if (!ok || !m_db.commit()) {
        fail(q);
        m_db.rollback();
        return false;
    }
    return true;
}

QStringList TDM::LoadFieldNames()
{
    QStringList names;
    if (!m_open)
        return names;
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (q.exec(QStringLiteral("SELECT name FROM list_fields ORDER BY position")))
        while (q.next())
            names.append(q.value(0).toString());
    return names;
}

std::optional<QString> TDM::SuppressionOf(const QString& entry)
{
    if (!m_open)
        return std::nullopt;
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("SELECT reason FROM suppressed WHERE address = ?"));
    q.addBindValue(SuppressionKey(entry));
    if (!q.exec()) {
        fail(q);
        return std::nullopt;
    }
    if (!q.next())
        return std::nullopt;
    return q.value(0).toString();
}

QHash<QString, QString> TDM::SuppressedAmong(const QStringList& entries)
{
    QHash<QString, QString> found;
    if (!m_open || entries.isEmpty())
        return found;
    // A few entries (a run's claim) are asked for by key; against a long list the suppression
    // list is read whole, as it is short next to such lists.
    QHash<QString, QString> reasons;
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    bool read = false;
    if (entries.size() <= kChunkRows) {
        QString text = QStringLiteral("SELECT address, reason FROM suppressed WHERE address IN (?");
        for (qsizetype k = 1; k < entries.size(); ++k)
            text += QStringLiteral(", ?");
        q.prepare(text + ')');
        for (qsizetype k = 0; k < entries.size(); ++k)
            q.bindValue(int(k), SuppressionKey(entries[k]));
        read = q.exec();
    } else {
        read = q.exec(QStringLiteral("SELECT address, reason FROM suppressed"));
    }
    if (!read) {
        fail(q);
        return found;
    }
    while (q.next())
        reasons.insert(q.value(0).toString(), q.value(1).toString());
    if (reasons.isEmpty())
        return found;
    for (const QString& e : entries)
        if (const auto it = reasons.constFind(SuppressionKey(e)); it != reasons.constEnd())
            found.insert(e, *it);
    return found;
}

QList<TDM::FailedRow> TDM::LoadFailed()
{
    QList<FailedRow> rows;
    if (!m_open)
        return rows;
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("SELECT id, entry, code, reason, at FROM failed ORDER BY id"))) {
        fail(q);
        return rows;
    }
    while (q.next())
        rows.append({q.value(0).toLongLong(), q.value(1).toString(), q.value(2).toInt(), q.value(3).toString(),
                     q.value(4).toString()});
    return rows;
}

bool TDM::RetryFailed()
{
    if (!m_open)
        return fail(QStringLiteral("The send log is not open."));
    if (!m_db.transaction())
        return fail(m_db.lastError().text());
    QSqlQuery q(m_db);
    const bool ok = q.exec(QStringLiteral("INSERT INTO pending (entry) SELECT entry FROM failed ORDER BY id"))
        && q.exec(QStringLiteral("DELETE FROM failed"));
    if (!ok) {
        fail(q);
        m_db.rollback();
        return false;
    }
    return m_db.commit() || fail(m_db.lastError().text());
}

bool TDM::AddSendRecord(const QString& address, bool ok)
{
    if (!m_open)
        return fail(QStringLiteral("The send log is not open."));
    m_insert->bindValue(0, Timestamp());
    m_insert->bindValue(1, address);
    m_insert->bindValue(2, ok);
    return m_insert->exec() || fail(*m_insert);
}

QSqlQuery TDM::QueryByDate(const QString& pattern)
{
    QSqlQuery query(m_db);
    if (!m_open)
        return query;
    FlushDeliveries();
    query.setForwardOnly(false);
    QString prefix;
    // A day pattern ("2024-05-01%") is answered from the date index; LIKE cannot use it.
    if (!m_shared && isPrefixPattern(pattern, &prefix)) {
        query.prepare(QStringLiteral("SELECT SENDDATE, MAILADDR, TYPE, code, reason FROM sendlog LEFT JOIN sendlog_outcome ON log_row = sendlog.rowid WHERE SENDDATE GLOB ? ORDER BY sendlog.rowid"));
        query.addBindValue(prefix + '*');
    } else {
        query.prepare(QStringLiteral("SELECT SENDDATE, MAILADDR, TYPE, code, reason FROM sendlog LEFT JOIN sendlog_outcome ON log_row = sendlog.rowid WHERE SENDDATE LIKE ? ORDER BY sendlog.rowid"));
        query.addBindValue(pattern);
    }
    if (!query.exec())
        return QSqlQuery(m_db);
    return query;
}

QList<TDM::DayCount> TDM::CountByDay(const QDate& first, const QDate& last)
{
    QList<DayCount> days;
    if (!m_open || !first.isValid() || !last.isValid() || first > last)
        return days;
    FlushDeliveries();
    QSqlQuery q(m_db);
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
        (TypeIsTrue(q.value(1)) ? days[at].delivered : days[at].failed) += q.value(2).toInt();
    }
    return days;
}

bool TDM::HasBeenSent(const QString& address)
{
    if (!m_open)
        return false;
    if (m_unapplied.contains(address) || m_blockedEntries.contains(address))
        return true;
    m_hasBeenSent->bindValue(0, address);
    if (!m_hasBeenSent->exec())
        return false;
    const bool found = m_hasBeenSent->next();
    m_hasBeenSent->finish();
    return found;
}

QList<TDM::PendingRow> TDM::LoadPending(bool* ok)
{
    QList<PendingRow> rows;
    if (ok)
        *ok = false;
    if (!m_open) {
        fail(QStringLiteral("The send log is not open."));
        return rows;
    }
    FlushDeliveries();
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("SELECT id, entry FROM pending ORDER BY id"))) {
        fail(q);
        return rows;
    }
    // Deliveries still in a journal (this process's, when a batch could not be applied, or one
    // left behind) are no longer pending, whatever the table says.
    QSet<qint64> journalled = m_blockedIds;
    for (const Delivery& d : m_unappliedRows)
        journalled.insert(d.pendingId);
    while (q.next()) {
        const qint64 id = q.value(0).toLongLong();
        if (!journalled.contains(id))
            rows.append({id, q.value(1).toString()});
    }
    if (ok)
        *ok = true;
    return rows;
}

int TDM::CountPending()
{
    if (!m_open)
        return -1;
    QSqlQuery q(m_db);
    if (!q.exec(QStringLiteral("SELECT count(*) FROM pending")) || !q.next()) {
        fail(q);
        return -1;
    }
    return qMax(0, q.value(0).toInt() - int(m_unappliedRows.size()));
}

bool TDM::LockRun()
{
    if (!m_open)
        return fail(QStringLiteral("The send log is not open."));
    // Journals that could not be applied before may be applied now.
    if (!m_unappliedReason.isEmpty())
        recoverJournals();
    if (!m_unappliedReason.isEmpty())
        return fail(m_unappliedReason);
    if (m_shared)
        return true; // runs share the list through their claims
    if (m_runLockFd >= 0)
        return true;
    const QByteArray path = QFile::encodeName(m_databasePath + QStringLiteral(".run-lock"));
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return fail(QStringLiteral("Cannot open %1: %2").arg(QFile::decodeName(path), QString::fromLocal8Bit(std::strerror(errno))));
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return fail(QStringLiteral("Another run is using this list (%1). Wait until it ends, or stop it, then start again.")
                        .arg(m_shownName));
    }
    m_runLockFd = fd;
    return true;
}

void TDM::UnlockRun()
{
    if (m_shared && m_open) {
        // Delivered entries leave the list first: a claim given back must never be of one.
        if (FlushDeliveries()) {
            QSqlQuery q(m_db);
            q.prepare(QStringLiteral("UPDATE pending SET claimed_by = NULL, lease_until = NULL WHERE claimed_by = ?"));
            q.addBindValue(m_claimant);
            q.exec();
        }
    }
    if (m_runLockFd >= 0)
        ::close(m_runLockFd);
    m_runLockFd = -1;
}

QList<TDM::PendingRow> TDM::ClaimPending(int count, bool* ok)
{
    QList<PendingRow> rows;
    if (ok)
        *ok = false;
    if (!m_open || !m_shared) {
        fail(QStringLiteral("Only a shared store hands out claims."));
        return rows;
    }
    // A run of this machine that died left its journal: its deliveries reach the log before
    // their claims can run out and their entries go to another run. Looked for once a second;
    // a lease lasts far longer.
    if (m_sinceRecovery.elapsed() >= 1000) {
        recoverJournals();
        m_sinceRecovery.start();
    }
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("UPDATE pending SET claimed_by = ?, lease_until = now() + interval '%1 seconds' "
                             "WHERE id IN (SELECT id FROM pending WHERE lease_until IS NULL OR lease_until < now() "
                             "ORDER BY id LIMIT ? FOR UPDATE SKIP LOCKED) RETURNING id, entry")
                  .arg(m_leaseSeconds));
    q.addBindValue(m_claimant);
    q.addBindValue(count);
    const bool claimed = execClaimStatement(q, [&rows, this](const QSqlQuery& row) {
        const qint64 id = row.value(0).toLongLong();
        if (!m_blockedIds.contains(id))
            rows.append({id, row.value(1).toString()});
    });
    if (!claimed) {
        rows.clear();
        return rows;
    }
    std::sort(rows.begin(), rows.end(), [](const PendingRow& a, const PendingRow& b) { return a.id < b.id; });
    if (ok)
        *ok = true;
    return rows;
}

bool TDM::RenewClaims(QSet<qint64>* held)
{
    held->clear();
    if (!m_open || !m_shared)
        return fail(QStringLiteral("Only a shared store hands out claims."));
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("UPDATE pending SET lease_until = now() + interval '%1 seconds' WHERE claimed_by = ? RETURNING id")
                  .arg(m_leaseSeconds));
    q.addBindValue(m_claimant);
    if (!execClaimStatement(q, [held](const QSqlQuery& row) { held->insert(row.value(0).toLongLong()); })) {
        held->clear();
        return false;
    }
    return true;
}

bool TDM::execClaimStatement(QSqlQuery& statement, const std::function<void(const QSqlQuery&)>& eachRow)
{
    // A claim need not wait for the server's disk: should the server crash and lose it, the
    // entry is merely unclaimed again. The deliveries are written durably.
    if (!m_db.transaction())
        return fail(m_db.lastError().text());
    QSqlQuery(m_db).exec(QStringLiteral("SET LOCAL synchronous_commit = off"));
    if (!statement.exec()) {
        fail(statement);
        m_db.rollback();
        return false;
    }
    while (statement.next())
        eachRow(statement);
    statement.finish();
    if (!m_db.commit()) {
        fail(m_db.lastError().text());
        m_db.rollback();
        return false;
    }
    return true;
}

bool TDM::LockIntake()
{
    if (!m_open || !m_shared)
        return m_open || fail(QStringLiteral("The send log is not open."));
    QSqlQuery q(m_db);
    return q.exec(QStringLiteral("SELECT pg_advisory_lock(7306197322)")) || fail(q);
}

void TDM::UnlockIntake()
{
    if (m_open && m_shared)
        QSqlQuery(m_db).exec(QStringLiteral("SELECT pg_advisory_unlock(7306197322)"));
}

int TDM::ClaimedByOthers()
{
    if (!m_open || !m_shared)
        return 0;
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("SELECT count(*) FROM pending WHERE lease_until >= now() AND claimed_by <> ?"));
    q.addBindValue(m_claimant);
    if (!q.exec() || !q.next()) {
        fail(q);
        return 0;
    }
    return q.value(0).toInt();
}

bool TDM::AppendPending(const QStringList& entries, QList<qint64>* ids)
{
    if (!m_open)
        return fail(QStringLiteral("The send log is not open."));
    if (!m_db.transaction())
        return fail(m_db.lastError().text());
    // Many rows to a statement. Inside the transaction nothing else writes, so the rows of one
    // statement get consecutive ids ending at the last one inserted.
    QSqlQuery chunk(m_db);
    QSqlQuery single(m_db);
    // Other processes may add rows to a shared store at the same time: there the statement says
    // which ids its rows got.
    const QString returning = m_shared ? QStringLiteral(" RETURNING id") : QString();
    QString chunkText = QStringLiteral("INSERT INTO pending (entry) VALUES (?)");
    for (qsizetype i = 1; i < kChunkRows; ++i)
        chunkText += QStringLiteral(", (?)");
    chunkText += returning;
    QList<qint64> added;
    added.reserve(entries.size());
    for (qsizetype at = 0; at < entries.size();) {
        const qsizetype count = entries.size() - at >= kChunkRows ? kChunkRows : 1;
        QSqlQuery& q = count == kChunkRows ? chunk : single;
        if (q.lastQuery().isEmpty())
            q.prepare(count == kChunkRows ? chunkText : QStringLiteral("INSERT INTO pending (entry) VALUES (?)") + returning);
        for (qsizetype k = 0; k < count; ++k)
            q.bindValue(int(k), entries[at + k]);
        if (!q.exec()) {
            fail(q);
            m_db.rollback();
            return false;
        }
        if (m_shared) {
            // A statement's rows take their ids in the order of its values.
            QList<qint64> ids;
            while (q.next())
                ids.append(q.value(0).toLongLong());
            std::sort(ids.begin(), ids.end());
            added += ids;
        } else {
            const qint64 last = q.lastInsertId().toLongLong();
            for (qsizetype k = count - 1; k >= 0; --k)
                added.append(last - k);
        }
        at += count;
    }
    if (!m_db.commit())
        return fail(m_db.lastError().text());
    if (ids)
        *ids = added;
    return true;
}

QSet<QString> TDM::SentAmong(const QStringList& entries)
{
    QSet<QString> sent;
    if (!m_open)
        return sent;
    QSet<QString> wanted;
    wanted.reserve(entries.size());
    for (const QString& e : entries)
        wanted.insert(e);
    for (const QSet<QString>* journalled : {&m_unapplied, &m_blockedEntries})
        for (const QString& e : *journalled)
            if (wanted.contains(e))
                sent.insert(e);
    const QString& isTrue = m_isTrue;
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    // A log not much longer than the list is read whole, faster than asking for each entry.
    if (q.exec(QStringLiteral("SELECT count(*) FROM sendlog")) && q.next() && q.value(0).toLongLong() <= 4 * wanted.size()) {
        if (q.exec(QStringLiteral("SELECT MAILADDR FROM sendlog WHERE ") + isTrue)) {
            while (q.next()) {
                const QString address = q.value(0).toString();
                if (wanted.contains(address))
                    sent.insert(address);
            }
            return sent;
        }
    }
    // Asked a chunk at a time: one statement per entry costs far more than the look-up itself.
    constexpr qsizetype kAsk = 500;
    const QStringList unique(wanted.cbegin(), wanted.cend());
    for (qsizetype at = 0; at < unique.size(); at += kAsk) {
        const qsizetype count = qMin(kAsk, unique.size() - at);
        QString text = QStringLiteral("SELECT DISTINCT MAILADDR FROM sendlog WHERE MAILADDR IN (?");
        for (qsizetype k = 1; k < count; ++k)
            text += QStringLiteral(", ?");
        text += QStringLiteral(") AND ") + isTrue;
        if (q.lastQuery() != text)
            q.prepare(text);
        for (qsizetype k = 0; k < count; ++k)
            q.bindValue(int(k), unique[at + k]);
        if (!q.exec())
            continue; // a failed look-up answers "not sent", as HasBeenSent does
        while (q.next())
            sent.insert(q.value(0).toString());
    }
    return sent;
}

bool TDM::ChangedByOthers()
{
    if (!m_open)
        return true;
    QSqlQuery q(m_db);
    if (m_shared) {
        // No change counter is shared between connections here: the lists' sizes and their
        // newest rows tell every change a run or a window makes.
        if (!q.exec(QStringLiteral("SELECT (SELECT count(*) FROM pending), (SELECT coalesce(max(id), 0) FROM pending), "
                                   "(SELECT coalesce(max(rowid), 0) FROM sendlog), (SELECT count(*) FROM failed), "
                                   "(SELECT coalesce(max(id), 0) FROM failed)"))
            || !q.next())
            return true;
        QString signature;
        for (int i = 0; i < 5; ++i)
            signature += q.value(i).toString() + ' ';
        return std::exchange(m_signature, signature) != signature;
    }
    if (!q.exec(QStringLiteral("PRAGMA data_version")) || !q.next())
        return true;
    const qint64 version = q.value(0).toLongLong();
    const bool changed = version != m_dataVersion;
    m_dataVersion = version;
    return changed;
}

bool TDM::RemovePending(const QList<qint64>& ids)
{
    if (!m_open)
        return fail(QStringLiteral("The send log is not open."));
    if (!m_db.transaction())
        return fail(m_db.lastError().text());
    for (qint64 id : ids) {
        m_deletePending->bindValue(0, id);
        if (!m_deletePending->exec()) {
            fail(*m_deletePending);
            m_db.rollback();
            return false;
        }
    }
    return m_db.commit() || fail(m_db.lastError().text());
}

QByteArray TDM::JournalLine(qint64 pendingId, const QString& timestamp, const QString& entry)
{
    return QByteArray::number(pendingId) + '\t' + escapeField(timestamp) + '\t' + escapeField(entry) + '\n';
}

bool TDM::ParseJournalLine(const QByteArray& line, qint64* pendingId, QString* timestamp, QString* entry)
{
    const qsizetype first = line.indexOf('\t');
    const qsizetype second = first < 0 ? -1 : line.indexOf('\t', first + 1);
    if (second < 0)
        return false;
    bool ok = false;
    *pendingId = line.left(first).toLongLong(&ok);
    *timestamp = unescapeField(line.mid(first + 1, second - first - 1));
    *entry = unescapeField(line.mid(second + 1));
    return ok;
}

bool TDM::openJournal()
{
    const QString folder = QFileInfo(m_databasePath).absolutePath();
    const QString unique = QStringLiteral("%1-%2-%3")
                               .arg(::getpid())
                               .arg(QDateTime::currentMSecsSinceEpoch())
                               .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
    m_journalName = journalPrefix(m_databasePath) + unique;
    // Made under another name and locked before it gets its real one, so that no other process
    // ever finds it unlocked and takes it for the journal of a process that ended.
    const QByteArray temporary = QFile::encodeName(folder + QStringLiteral("/.journal-") + unique);
    const QByteArray path = QFile::encodeName(folder + '/' + m_journalName);
    m_journalFd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0644);
    if (m_journalFd < 0 || ::flock(m_journalFd, LOCK_EX | LOCK_NB) != 0
        || ::rename(temporary.constData(), path.constData()) != 0) {
        const int error = errno;
        if (m_journalFd >= 0) {
            ::close(m_journalFd);
            ::unlink(temporary.constData());
        }
        m_journalFd = -1;
        return fail(QStringLiteral("Cannot open the delivery journal: %1").arg(QString::fromLocal8Bit(std::strerror(error))));
    }
    m_journalBytes = 0;
    m_journalReserved = 0;
    return true;
}

void TDM::abandonJournal()
{
    // Its lines are applied, and the note says how far; the file is left for the next opening
    // of the store to remove. New deliveries go to a fresh journal.
    ::close(m_journalFd);
    m_journalFd = -1;
    m_journalBytes = 0;
    m_journalReserved = 0;
}

bool TDM::ReserveDelivery(const QString& entry)
{
    if (!m_open)
        return fail(QStringLiteral("The send log is not open."));
    if (m_journalFd < 0 && !openJournal())
        return false;
    // The longest line this entry can give: the id, a timestamp and the entry, each UTF-16 unit
    // at most three UTF-8 bytes, each of them escaped in two.
    const qint64 need = m_journalBytes + 64 + 6 * entry.size();
    if (need <= m_journalReserved)
        return true;
    // Room for many deliveries at once, or failing that for this one.
    for (const qint64 size : {need + kJournalReserve, need}) {
        if (::fallocate(m_journalFd, FALLOC_FL_KEEP_SIZE, 0, size) == 0) {
            m_journalReserved = size;
            return true;
        }
        if (errno == EOPNOTSUPP || errno == ENOSYS) {
            m_journalReserved = 0; // a file system that cannot set space aside: writes will tell
            return true;
        }
        if (errno != ENOSPC)
            break;
    }
    return fail(QStringLiteral("Cannot make room for the delivery journal in %1: %2")
                    .arg(QDir::toNativeSeparators(QFileInfo(m_databasePath).absolutePath()),
                         QString::fromLocal8Bit(std::strerror(errno))));
}

bool TDM::RecordDelivery(qint64 pendingId, const QString& entry)
{
    if (!m_open)
        return fail(QStringLiteral("The send log is not open."));
    if (m_journalFd < 0 && !openJournal())
        return false;
    const QString timestamp = Timestamp();
    const QByteArray line = JournalLine(pendingId, timestamp, entry);
    const ssize_t written = ::write(m_journalFd, line.constData(), size_t(line.size()));
    if (written != line.size()) {
        const int error = written < 0 ? errno : ENOSPC;
        m_journalReserved = 0;
        if (written > 0 && ::ftruncate(m_journalFd, m_journalBytes) != 0) {
            // A torn line stays incomplete and is never applied; nothing more may follow it. The
            // journal's lines wait for the next opening of the store.
            ::close(m_journalFd);
            m_journalFd = -1;
            m_unappliedRows.clear();
        }
        return fail(QStringLiteral("Cannot write the delivery journal: %1").arg(QString::fromLocal8Bit(std::strerror(error))));
    }
    m_journalBytes += written;
    if (m_unappliedRows.isEmpty())
        m_oldestUnapplied.start();
    m_unapplied.insert(entry);
    m_unappliedRows.append({pendingId, timestamp, entry});
    if (m_unappliedRows.size() >= 4 * batchDeliveries() || m_oldestUnapplied.elapsed() >= 4 * batchAgeMs())
        return FlushDeliveries();
    return true;
}

int TDM::batchDeliveries() const
{
    return m_shared ? kSharedBatchDeliveries : kBatchDeliveries;
}

qint64 TDM::batchAgeMs() const
{
    return m_shared ? kSharedBatchAgeMs : kBatchAgeMs;
}

bool TDM::FlushDueDeliveries()
{
    if (m_unappliedRows.size() >= batchDeliveries() || (!m_unappliedRows.isEmpty() && m_oldestUnapplied.elapsed() >= batchAgeMs()))
        return FlushDeliveries();
    return true;
}

bool TDM::FlushDeliveries()
{
    if (m_unappliedRows.isEmpty() || m_journalFd < 0)
        return true;
    // What this process's journal holds beyond the applied part of its note is unapplied. It is
    // emptied after every batch; on a shared store, whose batches are small and frequent, once
    // it has grown (the note in the batch's transaction says how far it was applied).
    m_vanished = 0;
    if (!applyDeliveries(m_unappliedRows, m_journalName, m_journalBytes))
        return false;
    const int vanished = std::exchange(m_vanished, 0);
    m_unapplied.clear();
    m_unappliedRows.clear();
    const bool keepGrowing = m_shared && m_journalBytes < kSharedJournalBytes;
    if (!keepGrowing) {
        if (::ftruncate(m_journalFd, 0) != 0) {
            abandonJournal();
        } else {
            m_journalBytes = 0;
            m_journalReserved = 0; // truncating gives the space set aside back
            QSqlQuery reset(m_db);
            reset.prepare(QStringLiteral("UPDATE journal_state SET applied = 0 WHERE name = ?"));
            reset.addBindValue(m_journalName);
            if (!reset.exec())
                abandonJournal(); // the note would skip the next lines of this file after a crash
        }
    }
    if (vanished > 0)
        return fail(QStringLiteral("%1 delivered entries were no longer in the pending list of %2: another program "
                                   "changed the list during the run.")
                        .arg(vanished)
                        .arg(m_shownName));
    return true;
}

bool TDM::applyChunk(const Delivery* rows, size_t sizeIndex)
{
    const qsizetype count = kChunkSizes[sizeIndex];
    QSqlQuery* insert = m_insertChunks[sizeIndex];
    QSqlQuery* remove = m_deleteChunks[sizeIndex];
    for (qsizetype i = 0; i < count; ++i) {
        remove->bindValue(int(i), rows[i].pendingId);
        insert->bindValue(int(2 * i), rows[i].timestamp);
        insert->bindValue(int(2 * i + 1), rows[i].entry);
    }
    if (!remove->exec())
        return fail(*remove);
    // A delivered entry whose pending row another program removed meanwhile: it is logged all
    // the same, and the run hears of it.
    if (!m_shared) // on a shared store another run may have taken over the entry: it was delivered here
        m_vanished += int(count) - qMax(0, remove->numRowsAffected());
    return insert->exec() || fail(*insert);
}

bool TDM::applyDeliveries(const QList<Delivery>& rows, const QString& journalName, qint64 appliedTo)
{
    if (!m_db.transaction())
        return fail(m_db.lastError().text());
    for (qsizetype at = 0; at < rows.size();) {
        size_t k = 0;
        while (kChunkSizes[k] > rows.size() - at)
            ++k;
        if (!applyChunk(rows.constData() + at, k)) {
            m_db.rollback();
            return false;
        }
        at += kChunkSizes[k];
    }
    QSqlQuery note(m_db);
    note.prepare(QStringLiteral("INSERT INTO journal_state (name, applied) VALUES (?, ?) "
                                "ON CONFLICT (name) DO UPDATE SET applied = excluded.applied"));
    note.addBindValue(journalName);
    note.addBindValue(appliedTo);
    if (!note.exec()) {
        const QString error = note.lastError().text();
        m_db.rollback();
        return fail(error);
    }
    return m_db.commit() || fail(m_db.lastError().text());
}

void TDM::recoverJournals()
{
    m_blockedIds.clear();
    m_blockedEntries.clear();
    m_unappliedReason.clear();
    int waiting = 0;
    QStringList waitingFiles;
    QString cause;
    const QDir folder = QFileInfo(m_databasePath).absoluteDir();
    const QStringList names = folder.entryList({journalPrefix(m_databasePath) + '*'}, QDir::Files);
    for (const QString& name : names) {
        const QByteArray path = QFile::encodeName(folder.filePath(name));
        const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        // A journal whose owner still holds its lock is that process's business.
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            continue;
        }
        QFile file;
        QByteArray data;
        if (file.open(fd, QIODevice::ReadOnly))
            data = file.readAll();
        file.close();
        QSqlQuery state(m_db);
        state.prepare(QStringLiteral("SELECT applied FROM journal_state WHERE name = ?"));
        state.addBindValue(name);
        qint64 from = state.exec() && state.next() ? state.value(0).toLongLong() : 0;
        state.finish();
        // A journal shorter than its note was emptied after its lines were applied.
        if (from > data.size())
            from = 0;
        QList<Delivery> rows;
        qint64 end = from;
        for (qsizetype lf = data.indexOf('\n', end); lf >= 0; lf = data.indexOf('\n', end)) {
            Delivery row;
            if (ParseJournalLine(data.mid(end, lf - end), &row.pendingId, &row.timestamp, &row.entry))
                rows.append(row);
            end = lf + 1;
        }
        const bool applied = applyDeliveries(rows, name, end);
        ::close(fd);
        if (!applied) {
            // Their entries were delivered: until they reach the send log they count as sent
            // and are not pending, and no run starts.
            for (const Delivery& row : rows) {
                m_blockedIds.insert(row.pendingId);
                m_blockedEntries.insert(row.entry);
            }
            waiting += int(rows.size());
            waitingFiles.append(QDir::toNativeSeparators(folder.filePath(name)));
            cause = m_lastError;
            continue;
        }
        QFile::remove(folder.filePath(name));
    }
    if (waiting > 0)
        m_unappliedReason = QStringLiteral("%1 deliveries recorded in %2 could not be applied to the send log: %3")
                                .arg(waiting)
                                .arg(waitingFiles.join(QStringLiteral(", ")), cause);
    // Notes of journals that are gone.
    QSqlQuery stale(m_db);
    QStringList gone;
    if (stale.exec(QStringLiteral("SELECT name FROM journal_state")))
        while (stale.next())
            if (const QString name = stale.value(0).toString();
                name.startsWith(journalPrefix(m_databasePath)) && !folder.exists(name))
                gone.append(stale.value(0).toString());
    stale.finish();
    for (const QString& name : gone) {
        QSqlQuery forget(m_db);
        forget.prepare(QStringLiteral("DELETE FROM journal_state WHERE name = ?"));
        forget.addBindValue(name);
        forget.exec();
    }
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
        if (!QFile::rename(from.filePath(name), destination) && !(QFile::copy(from.filePath(name), destination)
                                                                 && QFile::remove(from.filePath(name))))
            throw BrevoraError(ErrorKind::Store, QStringLiteral("Cannot move %1 to %2.").arg(from.filePath(name), destination));
    }
    return QStringLiteral("The send log and the pending list were moved from %1 to %2.")
        .arg(QDir::toNativeSeparators(from.absolutePath()), QDir::toNativeSeparators(target.absolutePath()));
}
