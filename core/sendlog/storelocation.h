#pragma once

#include <QString>
#include <QStringList>

// Where the send log and the lists are kept: the SQLite file in the data folder (the default),
// or a PostgreSQL database that several Brevora processes, on one machine or many, share.
struct StoreLocation
{
    static constexpr int kDefaultConnectTimeout = 10; // seconds, unless the URL sets connect_timeout
    enum class Kind { SQLite, PostgreSQL };
    Kind kind = Kind::SQLite;
    QString path; // SQLite: the database file
    // PostgreSQL: what libpq is given. No password: libpq takes it from PGPASSWORD or ~/.pgpass.
    QString host;
    int port = 5432;
    QString user;
    QString database;
    // Further libpq keywords from the URL's query, each value quoted ("sslmode='require';...").
    QString options;

    bool shared() const { return kind == Kind::PostgreSQL; }
    // The location as the user names it, for messages (never with a password).
    QString shown() const;
};

// Reads "postgresql://user@host:port/dbname" (also "postgres://", and libpq keywords as a query
// such as "?sslmode=require"). A URL with a password, another scheme or no database name is
// refused with a usage error that says why.
StoreLocation ParseStoreUrl(const QString& url);

// The store this process uses: the URL given with --store, else BREVORA_STORE, else the setting,
// else the SQLite file in the data folder.
StoreLocation ChosenStore();
// Takes "--store URL" out of the arguments and remembers it for ChosenStore; a usage error when
// the value is missing or is not a store URL.
void ApplyStoreOption(QStringList& args);
