#include "core/sendlog/storelocation.h"

#include "core/error.h"
#include "core/settings/settingsfile.h"

#include <QDir>
#include <QUrl>
#include <QUrlQuery>

namespace {
QString g_storeOption; // from --store

// libpq keywords a URL's query may carry; anything else is a mistake better told than ignored.
const QStringList& allowedKeywords()
{
    static const QStringList keywords{
        QStringLiteral("sslmode"),          QStringLiteral("sslrootcert"),  QStringLiteral("sslcert"),
        QStringLiteral("sslkey"),           QStringLiteral("connect_timeout"), QStringLiteral("application_name"),
        QStringLiteral("target_session_attrs"), QStringLiteral("passfile"),   QStringLiteral("keepalives"),
        QStringLiteral("keepalives_idle"),  QStringLiteral("gssencmode"),   QStringLiteral("channel_binding"),
    };
    return keywords;
}
} // namespace

QString StoreLocation::shown() const
{
    if (kind == Kind::SQLite)
        return QDir::toNativeSeparators(path);
    QString text = QStringLiteral("postgresql://");
    if (!user.isEmpty())
        text += user + '@';
    text += host.contains(':') ? '[' + host + ']' : host;
    text += QStringLiteral(":%1/%2").arg(port).arg(database);
    return text;
}

StoreLocation ParseStoreUrl(const QString& text)
{
    const auto refuse = [&text](const QString& why) {
        return BrevoraError(ErrorKind::Usage, QStringLiteral("The store \"%1\" cannot be used: %2").arg(text, why));
    };
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    if (!url.isValid())
        throw refuse(QStringLiteral("it is not a URL (%1).").arg(url.errorString()));
    if (url.scheme() != QLatin1String("postgresql") && url.scheme() != QLatin1String("postgres"))
        throw refuse(QStringLiteral("give a URL of the form postgresql://user@host:port/dbname."));
    if (!url.password().isEmpty())
        throw refuse(QStringLiteral("a password is never kept with the store; put it in ~/.pgpass or PGPASSWORD."));
    StoreLocation location;
    location.kind = StoreLocation::Kind::PostgreSQL;
    location.host = url.host();
    location.port = url.port(5432);
    location.user = url.userName();
    location.database = url.path().mid(1);
    if (location.database.isEmpty() || location.database.contains('/'))
        throw refuse(QStringLiteral("it names no database (postgresql://user@host:port/dbname)."));
    QStringList options;
    const QUrlQuery query(url);
    for (const auto& [key, value] : query.queryItems(QUrl::FullyDecoded)) {
        if (!allowedKeywords().contains(key))
            throw refuse(QStringLiteral("\"%1\" is not a connection option Brevora passes on.").arg(key));
        if (value.contains(';') || value.contains('\'') || value.contains(' '))
            throw refuse(QStringLiteral("the value of \"%1\" has a character that is not allowed there.").arg(key));
        options.append(key + '=' + value);
    }
    location.options = options.join(';');
    return location;
}

StoreLocation ChosenStore()
{
    QString url = g_storeOption;
    if (url.isEmpty())
        url = qEnvironmentVariable("BREVORA_STORE").trimmed();
    if (url.isEmpty())
        url = ReadStoreUrl();
    if (!url.isEmpty())
        return ParseStoreUrl(url);
    StoreLocation location;
    location.path = AppDir() + QStringLiteral("db/sendlog.db");
    return location;
}

void ApplyStoreOption(QStringList& args)
{
    const qsizetype at = args.indexOf(QStringLiteral("--store"));
    if (at < 0)
        return;
    if (at + 1 >= args.size() || args[at + 1].startsWith(QLatin1String("--")))
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("The option --store needs a value: postgresql://user@host:port/dbname."));
    ParseStoreUrl(args[at + 1]);
    g_storeOption = args[at + 1].trimmed();
    args.remove(at, 2);
}
