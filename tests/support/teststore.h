#pragma once

#include "core/error.h"
#include "core/sendlog/sendlogstore.h"
#include "core/sendlog/storeconnection.h"
#include "core/sendlog/storelocation.h"
#include "core/settings/settingsfile.h"

#include <QCoreApplication>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QVariant>
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>

// A send log row as another program writes it, at the current time.
inline QString LogRowStatement(const QString& address, bool delivered)
{
    QString quoted = address;
    quoted.replace(QLatin1Char('\''), QStringLiteral("''"));
    return QStringLiteral("INSERT INTO sendlog (SENDDATE, MAILADDR, TYPE) VALUES ('%1', '%2', %3)")
        .arg(SendLogTimestamp(), quoted, delivered ? QStringLiteral("TRUE") : QStringLiteral("FALSE"));
}

// Why the store at the location cannot be opened; empty when it opens.
inline QString OpenFailure(const StoreLocation& location)
{
    try {
        SendLogStore store(location);
        return {};
    } catch (const BrevoraError& e) {
        return e.message();
    }
}

// The addresses of the send log's rows, in order.
inline QStringList LoggedAddresses(const QList<SendLogStore::LogRow>& rows)
{
    QStringList addresses;
    for (const SendLogStore::LogRow& row : rows)
        addresses.append(row.address);
    return addresses;
}

// The PostgreSQL cluster that the test command starts for this build folder
// (tests/support/pgcluster.sh, a CTest fixture): its URL, with PGPASSWORD set for libpq. Empty,
// with *why, when it is not running.
inline QString ClusterUrl(QString* why = nullptr)
{
    const QString state = QStringLiteral(BREVORA_TEST_PGCLUSTER);
    QFile url(state + QStringLiteral("/url"));
    QFile password(state + QStringLiteral("/password"));
    if (!url.open(QIODevice::ReadOnly) || !password.open(QIODevice::ReadOnly)) {
        if (why)
            *why = QStringLiteral("no PostgreSQL cluster in %1: run the tests with ctest (it starts one) or scripts/test.sh")
                       .arg(state);
        return {};
    }
    qputenv("PGPASSWORD", password.readAll().trimmed());
    return QString::fromUtf8(url.readAll().trimmed());
}

// Runs statements on a database of the cluster through a connection of its own, as another
// program (or another Brevora) would; the error text, empty on success.
inline QString ExecOnCluster(const QString& url, const QStringList& statements)
{
    static std::atomic<int> counter{0};
    const QString name = QStringLiteral("cluster-admin-%1").arg(counter.fetch_add(1));
    QString error;
    {
        const StoreLocation at = ParseStoreUrl(url);
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
        db.setHostName(at.host);
        db.setPort(at.port);
        db.setUserName(at.user);
        db.setDatabaseName(at.database);
        if (!db.open()) {
            error = db.lastError().text();
        } else {
            QSqlQuery q(db);
            for (const QString& sql : statements)
                if (!q.exec(sql)) {
                    error = q.lastError().text() + ' ';
                    break;
                }
        }
    }
    QSqlDatabase::removeDatabase(name);
    return error;
}

// A new, empty database in the cluster for one test, dropped at its end.
class FreshPgDatabase
{
public:
    FreshPgDatabase()
    {
        static std::atomic<int> counter{0};
        const QString base = ClusterUrl(&m_error);
        if (base.isEmpty())
            return;
        m_name = QStringLiteral("t%1_%2").arg(::getpid()).arg(counter.fetch_add(1));
        m_admin = base;
        m_error = ExecOnCluster(m_admin, {QStringLiteral("CREATE DATABASE ") + m_name});
        if (m_error.isEmpty())
            m_url = base.left(base.lastIndexOf('/') + 1) + m_name;
    }
    ~FreshPgDatabase()
    {
        if (!m_url.isEmpty())
            ExecOnCluster(m_admin, {QStringLiteral("DROP DATABASE %1 WITH (FORCE)").arg(m_name)});
    }
    FreshPgDatabase(const FreshPgDatabase&) = delete;
    FreshPgDatabase& operator=(const FreshPgDatabase&) = delete;
    const QString& url() const { return m_url; }
    const QString& error() const { return m_error; }

private:
    QString m_admin, m_name, m_url, m_error;
};

// A store for a test, of either kind: SQLite in a temporary data folder, or PostgreSQL in a fresh
// database of the cluster (its journals in the temporary data folder).
class TestStore
{
public:
    explicit TestStore(StoreLocation::Kind kind)
    {
        SetAppDir(m_data.path());
        if (kind == StoreLocation::Kind::SQLite) {
            m_location.path = m_data.path() + QStringLiteral("/db/sendlog.db");
            return;
        }
        m_pg.emplace();
        if (!m_pg->url().isEmpty())
            m_location = ParseStoreUrl(m_pg->url());
    }
    // Empty when the store can be used; otherwise why not.
    QString problem() const { return m_pg && m_pg->url().isEmpty() ? m_pg->error() : QString(); }
    const StoreLocation& location() const { return m_location; }
    // The URL a Brevora process is given (--store), or empty for the file of its data folder.
    QString url() const { return m_pg ? m_pg->url() : QString(); }
    QString dataDir() const { return m_data.path(); }
    std::unique_ptr<SendLogStore> open() const { return std::make_unique<SendLogStore>(m_location); }
    // A statement through a connection of another program; the error text, empty on success.
    QString exec(const QString& sql) const
    {
        if (m_pg)
            return ExecOnCluster(m_pg->url(), {sql});
        QString error;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("another-program"));
            db.setDatabaseName(m_location.path);
            QSqlQuery q(db);
            if (!db.open())
                error = db.lastError().text();
            else if (!q.exec(sql))
                error = q.lastError().text() + ' ';
        }
        QSqlDatabase::removeDatabase(QStringLiteral("another-program"));
        return error;
    }

private:
    QTemporaryDir m_data;
    std::optional<FreshPgDatabase> m_pg;
    StoreLocation m_location;
};

inline std::string StoreKindName(StoreLocation::Kind kind)
{
    return kind == StoreLocation::Kind::SQLite ? "SQLite" : "PostgreSQL";
}
