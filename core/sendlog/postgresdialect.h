#pragma once

#include "core/sendlog/sqldialect.h"

// The store in a PostgreSQL database that several processes, on one machine or many, share: runs
// claim entries of the list instead of locking it.
class PostgresDialect : public SqlDialect
{
public:
    explicit PostgresDialect(const StoreLocation& location);

    void configure(QSqlDatabase& db) const override;
    QString driver() const override;
    QString missingDriver() const override;
    QStringList connectionSettings() const override;
    QStringList schema() const override;
    QString deliveredCondition() const override;
    QString returningId(const QString& column) const override;
    QList<qint64> insertedIds(QSqlQuery& insert, qsizetype count) const override;
    void prepareDayQuery(QSqlQuery& query, const QString& selectWhere, const QString& orderBy,
                         const QString& pattern) const override;
    bool changedByOthers(QSqlDatabase& db) override;
    QString journalBase() const override;
    std::unique_ptr<Claims> makeClaims(StoreConnection& connection) const override;

private:
    StoreLocation m_location;
    QString m_signature; // what changedByOthers compares
};
