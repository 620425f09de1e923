#include "sendlog/dmunit.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSqlError>
#include <QVariant>
#include <atomic>

TDM* DM = nullptr;

namespace {
std::atomic<int> g_connectionCounter{0};

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
    QDir().mkpath(QFileInfo(databasePath).absolutePath());
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connectionName);
    m_db.setDatabaseName(databasePath);
    if (!m_db.open()) {
        fail(m_db.lastError().text());
        return;
    }
    QSqlQuery q(m_db);
    const char* statements[] = {
        "PRAGMA journal_mode=WAL",
        "PRAGMA synchronous=NORMAL",
        "CREATE TABLE IF NOT EXISTS sendlog (SENDDATE VARCHAR(19), MAILADDR VARCHAR(254), TYPE BOOLEAN)",
        "CREATE INDEX IF NOT EXISTS sendlog_by_address ON sendlog (MAILADDR, TYPE)",
        "CREATE INDEX IF NOT EXISTS sendlog_by_date ON sendlog (SENDDATE)",
        "CREATE TABLE IF NOT EXISTS pending (id INTEGER PRIMARY KEY, entry TEXT NOT NULL)",
    };
    for (const char* sql : statements)
        if (!q.exec(QString::fromLatin1(sql))) {
            fail(q);
            return;
        }
    m_hasBeenSent = new QSqlQuery(m_db);
    m_hasBeenSent->prepare(QStringLiteral("SELECT 1 FROM sendlog WHERE MAILADDR = ? AND TYPE = 1 LIMIT 1"));
    m_insert = new QSqlQuery(m_db);
    m_insert->prepare(QStringLiteral("INSERT INTO sendlog VALUES (?, ?, ?)"));
    m_deletePending = new QSqlQuery(m_db);
    m_deletePending->prepare(QStringLiteral("DELETE FROM pending WHERE id = ?"));
    m_open = true;
}

TDM::~TDM()
{
    delete m_hasBeenSent;
    delete m_insert;
    delete m_deletePending;
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
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

bool TDM::AddSendRecord(const QString& address, bool ok)
{
    if (!m_open)
        return fail(QStringLiteral("The send log is not open."));
    m_insert->bindValue(0, Timestamp());
    m_insert->bindValue(1, address);
    m_insert->bindValue(2, ok ? 1 : 0);
    return m_insert->exec() || fail(*m_insert);
}

QSqlQuery TDM::QueryByDate(const QString& pattern) const
{
    QSqlQuery query(m_db);
    if (!m_open)
        return query;
    query.setForwardOnly(false);
    QString prefix;
    // A day pattern ("2024-05-01%") is answered from the date index; LIKE cannot use it.
    if (isPrefixPattern(pattern, &prefix)) {
        query.prepare(QStringLiteral("SELECT SENDDATE, MAILADDR, TYPE FROM sendlog WHERE SENDDATE GLOB ? ORDER BY rowid"));
        query.addBindValue(prefix + '*');
    } else {
        query.prepare(QStringLiteral("SELECT SENDDATE, MAILADDR, TYPE FROM sendlog WHERE SENDDATE LIKE ? ORDER BY rowid"));
        query.addBindValue(pattern);
    }
    if (!query.exec())
        return QSqlQuery(m_db);
    return query;
}

bool TDM::HasBeenSent(const QString& address)
{
    if (!m_open)
        return false;
    m_hasBeenSent->bindValue(0, address);
    if (!m_hasBeenSent->exec())
        return false;
    const bool found = m_hasBeenSent->next();
    m_hasBeenSent->finish();
    return found;
}

QList<TDM::PendingRow> TDM::LoadPending()
{
    QList<PendingRow> rows;
    if (!m_open)
        return rows;
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("SELECT id, entry FROM pending ORDER BY id"))) {
        fail(q);
        return rows;
    }
    while (q.next())
        rows.append({q.value(0).toLongLong(), q.value(1).toString()});
    return rows;
}

bool TDM::AppendPending(const QStringList& entries, QList<qint64>* ids)
{
    if (!m_open)
        return fail(QStringLiteral("The send log is not open."));
    if (!m_db.transaction())
        return fail(m_db.lastError().text());
    QSqlQuery q(m_db);
    q.prepare(QStringLiteral("INSERT INTO pending (entry) VALUES (?)"));
    QList<qint64> added;
    added.reserve(entries.size());
    for (const QString& entry : entries) {
        q.bindValue(0, entry);
        if (!q.exec()) {
            fail(q);
            m_db.rollback();
            return false;
        }
        added.append(q.lastInsertId().toLongLong());
    }
    if (!m_db.commit())
        return fail(m_db.lastError().text());
    if (ids)
        *ids = added;
    return true;
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

bool TDM::RecordDelivery(qint64 pendingId, const QString& entry)
{
    if (!m_open)
        return fail(QStringLiteral("The send log is not open."));
    if (!m_db.transaction())
        return fail(m_db.lastError().text());
    m_deletePending->bindValue(0, pendingId);
    m_insert->bindValue(0, Timestamp());
    m_insert->bindValue(1, entry);
    m_insert->bindValue(2, 1);
    if (!m_deletePending->exec() || !m_insert->exec()) {
        const QString error = m_deletePending->lastError().isValid() ? m_deletePending->lastError().text()
                                                                      : m_insert->lastError().text();
        m_db.rollback();
        return fail(error);
    }
    return m_db.commit() || fail(m_db.lastError().text());
}
