#include "core/sendlog/storeconnection.h"

#include "core/mail/addresskey.h"

#include <QSet>

#include "core/error.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QVariant>
#include <atomic>

namespace {
std::atomic<int> g_connectionCounter{0};
} // namespace

StoreConnection::StoreConnection(std::unique_ptr<SqlDialect> dialect, const QString& shownName)
    : m_dialect(std::move(dialect))
    , m_connectionName(QStringLiteral("brevora-store-%1").arg(g_connectionCounter.fetch_add(1)))
    , m_shownName(shownName)
{
    const QFileInfo folder(QFileInfo(m_dialect->journalBase()).absolutePath());
    if (!QDir().mkpath(folder.absoluteFilePath()))
        throw BrevoraError(ErrorKind::Store,
                           folder.exists() ? QStringLiteral("%1 is a file, not a folder.").arg(folder.absoluteFilePath())
                                           : QStringLiteral("The folder %1 cannot be created.").arg(folder.absoluteFilePath()));
    // The store and the journals say who was mailed: the folder is the user's alone.
    QFile::setPermissions(folder.absoluteFilePath(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    m_db = QSqlDatabase::addDatabase(m_dialect->driver(), m_connectionName);
    try {
        if (!m_db.isValid())
            throw BrevoraError(ErrorKind::Store, m_dialect->missingDriver());
        m_dialect->configure(m_db);
        if (!m_db.open())
            throw BrevoraError(ErrorKind::Store, m_db.lastError().text());
        createTables();
        m_dialect->restrictFiles();
    } catch (...) {
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_connectionName);
        throw;
    }
}

StoreConnection::~StoreConnection()
{
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connectionName);
}

void StoreConnection::createTables()
{
    QSqlQuery q(m_db);
    for (const QString& sql : m_dialect->connectionSettings())
        if (!q.exec(sql))
            throw BrevoraError(ErrorKind::Store, q.lastError().text());
    int version = 0;
    const bool created = transaction([&] {
        for (const QString& sql : m_dialect->schema())
            if (!q.exec(sql))
                return fail(q);
        if (!q.exec(QStringLiteral("SELECT max(version) FROM store_version")) || !q.next())
            return fail(q);
        version = q.value(0).isNull() ? 0 : q.value(0).toInt();
        q.finish();
        if (version > kSchemaVersion)
            return fail(QStringLiteral("%1 was laid out by a later release of Brevora (layout %2; this one knows %3). "
                                       "Use that release or a later one.")
                            .arg(m_shownName)
                            .arg(version)
                            .arg(kSchemaVersion));
        if (version == kSchemaVersion)
            return true;
        // Migrations from earlier layouts go here, one step at a time.
        if (version == 1 && !rekeySuppressed())
            return false;
        q.prepare(QStringLiteral("INSERT INTO store_version (version) VALUES (?)"));
        q.addBindValue(kSchemaVersion);
        return q.exec() || fail(q);
    });
    if (!created)
        throw BrevoraError(ErrorKind::Store, m_lastError);
}

bool StoreConnection::rekeySuppressed()
{
    // Layout 1 kept the local part's case in the key; every address is now compared by one key.
    QSqlQuery read(m_db);
    if (!read.exec(QStringLiteral("SELECT address FROM suppressed")))
        return fail(read);
    QStringList keys;
    while (read.next())
        keys.append(read.value(0).toString());
    QSet<QString> seen;
    for (const QString& key : keys)
        if (key == AddressKey(key))
            seen.insert(key);
    QSqlQuery change(m_db);
    for (const QString& key : keys) {
        const QString now = AddressKey(key);
        if (now == key)
            continue;
        change.prepare(seen.contains(now) ? QStringLiteral("DELETE FROM suppressed WHERE address = ?")
                                          : QStringLiteral("UPDATE suppressed SET address = ? WHERE address = ?"));
        if (!seen.contains(now))
            change.addBindValue(now);
        change.addBindValue(key);
        if (!change.exec())
            return fail(change);
        seen.insert(now);
    }
    return true;
}

bool StoreConnection::fail(const QString& text)
{
    m_lastError = text.isEmpty() ? QStringLiteral("The send log cannot be written.") : text;
    return false;
}

bool StoreConnection::fail(const QSqlQuery& query)
{
    QString text = query.lastError().text();
    // SQLite's own words name neither the file nor the cause a user can act on.
    if (text.contains(QLatin1String("readonly"), Qt::CaseInsensitive))
        text += QStringLiteral(" (%1 or its folder cannot be written: check their permissions and that the disk is not "
                               "read-only)").arg(m_shownName);
    return fail(text);
}

bool StoreConnection::transaction(const std::function<bool()>& work)
{
    if (!m_db.transaction())
        return fail(m_db.lastError().text());
    if (!work()) {
        m_db.rollback();
        return false;
    }
    if (!m_db.commit()) {
        fail(m_db.lastError().text());
        m_db.rollback();
        return false;
    }
    return true;
}

QString SendLogTimestamp()
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
