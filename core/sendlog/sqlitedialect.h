#pragma once

#include "core/sendlog/sqldialect.h"

// The store in one SQLite file of the data folder, for one machine; a run holds the whole list.
class SqliteDialect : public SqlDialect
{
public:
    explicit SqliteDialect(const QString& databasePath);

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
    QString journalBase() const override { return m_databasePath; }
    void restrictFiles() const override;
    std::unique_ptr<Claims> makeClaims(StoreConnection& connection) const override;

private:
    QString m_databasePath;
    qint64 m_dataVersion = -1;
};
