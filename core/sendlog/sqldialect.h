#pragma once

#include <QList>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <memory>

#include "core/sendlog/storelocation.h"

class StoreConnection;
class Claims;

// What the two kinds of store (an SQLite file, a shared PostgreSQL database) do differently. The
// SQL that differs between them lives in the two implementations; the rest of the store's SQL is
// common to both.
class SqlDialect
{
public:
    // The dialect of the location's kind of store.
    static std::unique_ptr<SqlDialect> forLocation(const StoreLocation& location);
    virtual ~SqlDialect() = default;

    // Points the (not yet open) connection at the store.
    virtual void configure(QSqlDatabase& db) const = 0;
    // The Qt SQL driver's name, and what to say when it is missing.
    virtual QString driver() const = 0;
    virtual QString missingDriver() const = 0;
    // Settings of the connection, made before anything else and outside a transaction.
    virtual QStringList connectionSettings() const = 0;
    // The statements that create what is missing, run in one transaction.
    virtual QStringList schema() const = 0;
    // SQL that is true for a delivered row's TYPE.
    virtual QString deliveredCondition() const = 0;
    // Added to an INSERT whose callers need the new rows' ids; empty where the driver tells.
    virtual QString returningId(const QString& column) const = 0;
    // The ids, in order, of the `count` rows the INSERT just executed made.
    virtual QList<qint64> insertedIds(QSqlQuery& insert, qsizetype count) const = 0;
    // Prepares `select` (which ends in a WHERE clause over SENDDATE, with "?" for its value) for
    // the rows whose SENDDATE matches the LIKE pattern, binding the pattern.
    virtual void prepareDayQuery(QSqlQuery& query, const QString& selectWhere, const QString& orderBy,
                                 const QString& pattern) const = 0;
    // Whether another connection changed the store since the last time this was asked.
    virtual bool changedByOthers(QSqlDatabase& db) = 0;
    // The folder and file name stem of this machine's delivery journals.
    virtual QString journalBase() const = 0;
    // Makes the store's own files (if it has any) the user's alone, once it is open.
    virtual void restrictFiles() const {}
    // Claims, where runs share the list; nullptr where a run holds the whole list.
    virtual std::unique_ptr<Claims> makeClaims(StoreConnection& connection) const = 0;
};
