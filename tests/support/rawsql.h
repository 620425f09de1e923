#pragma once

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>

// Runs one statement on a store file through a connection of its own, as another program would
// (to break or change the store under the program); the error text, empty on success.
inline QString execAsAnotherProgram(const QString& databasePath, const QString& sql)
{
    QString error;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "another-program");
        db.setDatabaseName(databasePath);
        if (!db.open()) {
            error = db.lastError().text();
        } else {
            QSqlQuery q(db);
            if (!q.exec(sql))
                error = q.lastError().text() + QStringLiteral(" ");
        }
    }
    QSqlDatabase::removeDatabase("another-program");
    return error;
}
