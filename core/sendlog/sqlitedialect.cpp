#include "core/sendlog/sqlitedialect.h"

#include "core/sendlog/claims.h"

#include <QFile>
#include <QVariant>

namespace {
// A pattern that is a plain prefix followed by "%" (a day, "2024-05-01%"), and that prefix.
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

SqliteDialect::SqliteDialect(const QString& databasePath)
    : m_databasePath(databasePath)
{
}

void SqliteDialect::configure(QSqlDatabase& db) const
{
    db.setDatabaseName(m_databasePath);
}

QString SqliteDialect::driver() const
{
    return QStringLiteral("QSQLITE");
}

QString SqliteDialect::missingDriver() const
{
    return QStringLiteral("The SQLite driver of Qt is not installed (Debian: libqt6sql6-sqlite).");
}

QStringList SqliteDialect::connectionSettings() const
{
    return {QStringLiteral("PRAGMA journal_mode=WAL"), QStringLiteral("PRAGMA synchronous=NORMAL")};
}

QStringList SqliteDialect::schema() const
{
    return {
        QStringLiteral("CREATE TABLE IF NOT EXISTS sendlog (SENDDATE VARCHAR(19), MAILADDR VARCHAR(254), TYPE BOOLEAN)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS sendlog_by_address ON sendlog (MAILADDR, TYPE)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS sendlog_by_date ON sendlog (SENDDATE)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS pending (id INTEGER PRIMARY KEY, entry TEXT NOT NULL)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS journal_state (name TEXT PRIMARY KEY, applied INTEGER NOT NULL)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS failed (id INTEGER PRIMARY KEY, entry TEXT NOT NULL, code INTEGER, "
                       "reason TEXT, at VARCHAR(19))"),
        // A refusal's code and reason, beside its send log row: the log keeps its three columns,
        // so that other programs reading or writing it go on working.
        QStringLiteral("CREATE TABLE IF NOT EXISTS sendlog_outcome (log_row INTEGER PRIMARY KEY, code INTEGER, reason TEXT)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS sent_by_server (server TEXT NOT NULL, at INTEGER NOT NULL)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS list_fields (position INTEGER PRIMARY KEY, name TEXT NOT NULL)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS suppressed (address TEXT PRIMARY KEY, shown TEXT NOT NULL, added TEXT, "
                       "reason TEXT)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS sent_by_server_at ON sent_by_server (server, at)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS store_version (version INTEGER NOT NULL)"),
        // The addresses delivered to, by key, and how far the send log has been read for them (its
        // rows keep their three columns; other programs' rows are read for keys afterwards).
        QStringLiteral("CREATE TABLE IF NOT EXISTS delivered_address (address TEXT PRIMARY KEY)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS delivered_read (last_row INTEGER NOT NULL)"),
        // Pending entries whose message was written by a process that ended before its reply.
        QStringLiteral("CREATE TABLE IF NOT EXISTS uncertain (id INTEGER PRIMARY KEY)"),
        // Runs that may hear of bounces: when each began, from which sender, how many it sent, and
        // why its brake stopped every run of the list (empty while it has not).
        QStringLiteral("CREATE TABLE IF NOT EXISTS runs (id INTEGER PRIMARY KEY, started TEXT NOT NULL, sender TEXT NOT NULL, "
                       "sent INTEGER NOT NULL DEFAULT 0, brake TEXT, braked TEXT)"),
        // The secret the return-path tags are signed with, made once per store.
        QStringLiteral("CREATE TABLE IF NOT EXISTS bounce_key (id INTEGER PRIMARY KEY, secret TEXT NOT NULL)"),
        // What bounce and complaint messages said, once per message and address.
        QStringLiteral("CREATE TABLE IF NOT EXISTS bounces (message TEXT NOT NULL, address TEXT NOT NULL, shown TEXT NOT NULL, "
                       "class TEXT NOT NULL, status TEXT, reason TEXT, run INTEGER, received TEXT NOT NULL, "
                       "PRIMARY KEY (message, address))"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS bounces_by_address ON bounces (address, class, received)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS bounces_by_run ON bounces (run, class)"),
    };
}

QString SqliteDialect::deliveredCondition() const
{
    // What other programs store for true as well.
    return QStringLiteral("(TYPE IN (1, -1) OR upper(trim(TYPE)) IN ('TRUE', 'T', 'Y', 'YES', '1', '-1'))");
}

QString SqliteDialect::returningId(const QString&) const
{
    return {};
}

QList<qint64> SqliteDialect::insertedIds(QSqlQuery& insert, qsizetype count) const
{
    // Inside the transaction nothing else writes, so the rows of one statement get consecutive
    // ids ending at the last one inserted.
    const qint64 last = insert.lastInsertId().toLongLong();
    QList<qint64> ids;
    ids.reserve(count);
    for (qsizetype k = count - 1; k >= 0; --k)
        ids.append(last - k);
    return ids;
}

void SqliteDialect::prepareDayQuery(QSqlQuery& query, const QString& selectWhere, const QString& orderBy,
                                    const QString& pattern) const
{
    // A day pattern ("2024-05-01%") is answered from the date index; LIKE cannot use it.
    QString prefix;
    if (isPrefixPattern(pattern, &prefix)) {
        query.prepare(selectWhere + QStringLiteral("SENDDATE GLOB ? ") + orderBy);
        query.addBindValue(prefix + '*');
    } else {
        query.prepare(selectWhere + QStringLiteral("SENDDATE LIKE ? ") + orderBy);
        query.addBindValue(pattern);
    }
}

bool SqliteDialect::changedByOthers(QSqlDatabase& db)
{
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("PRAGMA data_version")) || !q.next())
        return true;
    const qint64 version = q.value(0).toLongLong();
    const bool changed = version != m_dataVersion;
    m_dataVersion = version;
    return changed;
}

void SqliteDialect::restrictFiles() const
{
    // SQLite gives its write-ahead log and index the database file's mode.
    for (const char* suffix : {"", "-wal", "-shm"})
        if (const QString file = m_databasePath + QLatin1String(suffix); QFile::exists(file))
            QFile::setPermissions(file, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

std::unique_ptr<Claims> SqliteDialect::makeClaims(StoreConnection&) const
{
    return nullptr;
}
