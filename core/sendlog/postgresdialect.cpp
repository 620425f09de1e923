#include "core/sendlog/postgresdialect.h"

#include "core/sendlog/claims.h"
#include "core/settings/settingsfile.h"

#include <QRegularExpression>
#include <QSysInfo>
#include <QVariant>
#include <algorithm>
#include <utility>

PostgresDialect::PostgresDialect(const StoreLocation& location)
    : m_location(location)
{
}

void PostgresDialect::configure(QSqlDatabase& db) const
{
    db.setHostName(m_location.host);
    db.setPort(m_location.port);
    db.setUserName(m_location.user);
    db.setDatabaseName(m_location.database);
    db.setConnectOptions(m_location.options);
}

QString PostgresDialect::driver() const
{
    return QStringLiteral("QPSQL");
}

QString PostgresDialect::missingDriver() const
{
    return QStringLiteral("The PostgreSQL driver of Qt is not installed (Debian: libqt6sql6-psql).");
}

QStringList PostgresDialect::connectionSettings() const
{
    return {};
}

QStringList PostgresDialect::schema() const
{
    // The tables and columns of the SQLite store; rows are numbered in a column of their own
    // (rowid) where SQLite has one built in.
    return {
        // Processes that open a new store at the same moment create its tables one after another.
        QStringLiteral("SELECT pg_advisory_xact_lock(7306197321)"),
        QStringLiteral("SET LOCAL client_min_messages = warning"), // no notice for each table that exists
        QStringLiteral("CREATE TABLE IF NOT EXISTS sendlog (rowid BIGSERIAL PRIMARY KEY, SENDDATE VARCHAR(19), "
                       "MAILADDR VARCHAR(254), TYPE BOOLEAN)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS sendlog_by_address ON sendlog (MAILADDR, TYPE)"),
        // Day patterns are prefixes (LIKE needs the pattern index), History's days are ranges.
        QStringLiteral("CREATE INDEX IF NOT EXISTS sendlog_by_date ON sendlog (SENDDATE varchar_pattern_ops)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS sendlog_by_date_range ON sendlog (SENDDATE)"),
        // claimed_by and lease_until: which run holds the entry, and until when.
        QStringLiteral("CREATE TABLE IF NOT EXISTS pending (id BIGSERIAL PRIMARY KEY, entry TEXT NOT NULL, claimed_by TEXT, "
                       "lease_until TIMESTAMPTZ)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS journal_state (name TEXT PRIMARY KEY, applied BIGINT NOT NULL)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS failed (id BIGSERIAL PRIMARY KEY, entry TEXT NOT NULL, code INTEGER, "
                       "reason TEXT, at VARCHAR(19))"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS sendlog_outcome (log_row BIGINT PRIMARY KEY, code INTEGER, reason TEXT)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS sent_by_server (server TEXT NOT NULL, at BIGINT NOT NULL)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS list_fields (position INTEGER PRIMARY KEY, name TEXT NOT NULL)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS suppressed (rowid BIGSERIAL, address TEXT PRIMARY KEY, shown TEXT NOT NULL, "
                       "added TEXT, reason TEXT)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS sent_by_server_at ON sent_by_server (server, at)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS store_version (version INTEGER NOT NULL)"),
        // The addresses delivered to, by key, and how far the send log has been read for them (its
        // rows keep their three columns; other programs' rows are read for keys afterwards).
        QStringLiteral("CREATE TABLE IF NOT EXISTS delivered_address (address TEXT PRIMARY KEY)"),
        QStringLiteral("CREATE TABLE IF NOT EXISTS delivered_read (last_row BIGINT NOT NULL)"),
        // Pending entries whose message was written by a process that ended before its reply.
        QStringLiteral("CREATE TABLE IF NOT EXISTS uncertain (id BIGINT PRIMARY KEY)"),
        // Runs that may hear of bounces: when each began, from which sender, how many it sent, and
        // why its brake stopped every run of the list (empty while it has not).
        QStringLiteral("CREATE TABLE IF NOT EXISTS runs (id BIGSERIAL PRIMARY KEY, started TEXT NOT NULL, sender TEXT NOT NULL, "
                       "sent BIGINT NOT NULL DEFAULT 0, brake TEXT, braked TEXT)"),
        // The secret the return-path tags are signed with, made once per store.
        QStringLiteral("CREATE TABLE IF NOT EXISTS bounce_key (id INTEGER PRIMARY KEY, secret TEXT NOT NULL)"),
        // What bounce and complaint messages said, once per message and address.
        QStringLiteral("CREATE TABLE IF NOT EXISTS bounces (message TEXT NOT NULL, address TEXT NOT NULL, shown TEXT NOT NULL, "
                       "class TEXT NOT NULL, status TEXT, reason TEXT, run BIGINT, received TEXT NOT NULL, "
                       "PRIMARY KEY (message, address))"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS bounces_by_address ON bounces (address, class, received)"),
        QStringLiteral("CREATE INDEX IF NOT EXISTS bounces_by_run ON bounces (run, class)"),
    };
}

QString PostgresDialect::deliveredCondition() const
{
    return QStringLiteral("TYPE");
}

QString PostgresDialect::returningId(const QString& column) const
{
    // Other processes insert at the same time: only the statement knows its rows' ids.
    return QStringLiteral(" RETURNING ") + column;
}

QList<qint64> PostgresDialect::insertedIds(QSqlQuery& insert, qsizetype) const
{
    // A statement's rows take their ids in the order of its values.
    QList<qint64> ids;
    while (insert.next())
        ids.append(insert.value(0).toLongLong());
    std::sort(ids.begin(), ids.end());
    return ids;
}

void PostgresDialect::prepareDayQuery(QSqlQuery& query, const QString& selectWhere, const QString& orderBy,
                                      const QString& pattern) const
{
    query.prepare(selectWhere + QStringLiteral("SENDDATE LIKE ? ") + orderBy);
    query.addBindValue(pattern);
}

bool PostgresDialect::changedByOthers(QSqlDatabase& db)
{
    // No change counter is shared between connections here: the lists' sizes and their newest
    // rows tell every change a run or a window makes.
    QSqlQuery q(db);
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

QString PostgresDialect::journalBase() const
{
    // Journals of this machine's runs stay in the data folder, under a name of the store.
    QString name = QStringLiteral("%1-%2-%3-%4")
                       .arg(m_location.host, QString::number(m_location.port), m_location.database,
                            QSysInfo::machineHostName());
    name.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9._-]")), QStringLiteral("_"));
    return AppDir() + QStringLiteral("db/pg-") + name;
}

std::unique_ptr<Claims> PostgresDialect::makeClaims(StoreConnection& connection) const
{
    return std::make_unique<Claims>(connection);
}
