#include "core/sendlog/storelocation.h"

#include "core/error.h"
#include "core/settings/settingsfile.h"
#include "core/text/textutil.h"

#include <QDir>
#include <QRegularExpression>
#include <QUrl>
#include <algorithm>
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

namespace {

// The URL as an error may show it: a password in it is never repeated.
QString withoutPassword(const QString& text)
{
    static const QRegularExpression password(QStringLiteral("^([A-Za-z][A-Za-z0-9+.-]*://[^/@:]*):[^/@]*@"));
    return QString(text).replace(password, QStringLiteral("\\1:***@"));
}

bool hasControlCharacter(const QString& text)
{
    return std::any_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
}

// A libpq connection value in single quotes, so that nothing in it is read as another keyword.
QString quotedValue(const QString& value)
{
    return u'\'' + QString(value).replace(u'\\', QStringLiteral("\\\\")).replace(u'\'', QStringLiteral("\\'")) + u'\'';
}

} // namespace

StoreLocation ParseStoreUrl(const QString& text)
{
    const auto refuse = [&text](const QString& why) {
        return BrevoraError(ErrorKind::Usage,
                            QStringLiteral("The store \"%1\" cannot be used: %2").arg(PrintableText(withoutPassword(text), true), why));
    };
    // A TAB or line break (written as it is or %-encoded) would pass another keyword to libpq
    // behind the one the URL shows.
    if (hasControlCharacter(text.trimmed()) || hasControlCharacter(QUrl::fromPercentEncoding(text.trimmed().toUtf8())))
        throw refuse(QStringLiteral("it holds a control character (a TAB or a line break)."));
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
    bool timeoutGiven = false;
    const QUrlQuery query(url);
    for (const auto& [key, value] : query.queryItems(QUrl::FullyDecoded)) {
        if (!allowedKeywords().contains(key))
            throw refuse(QStringLiteral("\"%1\" is not a connection option Brevora passes on.").arg(key));
        // The driver reads ";" as the end of an option wherever it stands.
        if (value.contains(';'))
            throw refuse(QStringLiteral("the value of \"%1\" has a character that is not allowed there.").arg(key));
        timeoutGiven = timeoutGiven || key == QLatin1String("connect_timeout");
        options.append(key + '=' + quotedValue(value));
    }
    // A server that takes the connection and never answers fails the run in time, not minutes later.
    if (!timeoutGiven)
        options.append(QStringLiteral("connect_timeout=") + quotedValue(QString::number(StoreLocation::kDefaultConnectTimeout)));
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
