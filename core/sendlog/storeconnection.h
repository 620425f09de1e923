#pragma once

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <functional>
#include <memory>

#include "core/sendlog/sqldialect.h"

// The open connection of a store, shared by its parts (the lists, the journal, the claims, the
// suppression list): the database, the SQL of its kind, and the last failure's text, which every
// part sets the same way.
class StoreConnection
{
public:
    // The layout of the tables, kept in store_version; a store of a later layout is not opened.
    static constexpr int kSchemaVersion = 2;

    // Opens the connection and creates what is missing; throws a store error.
    StoreConnection(std::unique_ptr<SqlDialect> dialect, const QString& shownName);
    ~StoreConnection();
    StoreConnection(const StoreConnection&) = delete;
    StoreConnection& operator=(const StoreConnection&) = delete;

    QSqlDatabase& db() { return m_db; }
    SqlDialect& dialect() { return *m_dialect; }
    const QString& shownName() const { return m_shownName; }
    const QString& lastError() const { return m_lastError; }

    // Notes the failure and answers false.
    bool fail(const QString& text);
    bool fail(const QSqlQuery& query);
    // Runs the work in one transaction: committed when it answers true, rolled back (its error
    // kept) when it answers false.
    bool transaction(const std::function<bool()>& work);

private:
    void createTables();
    bool rekeySuppressed();

    std::unique_ptr<SqlDialect> m_dialect;
    QString m_connectionName;
    QSqlDatabase m_db;
    QString m_shownName;
    QString m_lastError;
};

// Local time in the send log's SENDDATE format.
QString SendLogTimestamp();
