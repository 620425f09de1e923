#include "core/settings/dkimsettings.h"

#include "core/error.h"
#include "core/settings/entrykeys.h"
#include "core/settings/settingsfile.h"

#include <QDir>
#include <QFileInfo>

#include <QRegularExpression>

namespace {

const QByteArray kSection("DKIM keys");

void checkName(const QString& name, const char* what)
{
    static const QRegularExpression labels(QStringLiteral("^[A-Za-z0-9_]([A-Za-z0-9_-]{0,62})(\\.[A-Za-z0-9_]([A-Za-z0-9_-]{0,62}))*$"));
    if (!labels.match(name).hasMatch())
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("\"%1\" is not a DKIM %2: letters, digits, \"-\" and \"_\" in labels "
                                                            "joined by dots.").arg(name, QLatin1String(what)));
}

} // namespace

QString DkimKeyPath(const DkimEntry& e)
{
    return QFileInfo(e.keyFile).isRelative() ? AppDir() + e.keyFile : e.keyFile;
}

QList<DkimEntry> ReadDkimEntries(const QString& domain)
{
    QList<DkimEntry> out;
    for (const auto& [key, value] : EntryKeys::file().readSection(kSection)) {
        const QString k = QString::fromLatin1(key).trimmed();
        const DkimEntry e{k.section(QLatin1Char(' '), 0, 0).toLower(), k.section(QLatin1Char(' '), 1).trimmed(), QString::fromUtf8(value).trimmed()};
        if (!e.selector.isEmpty() && (domain.isEmpty() || e.domain == domain.trimmed().toLower()))
            out.append(e);
    }
    return out;
}

void WriteDkimEntry(const DkimEntry& e)
{
    checkName(e.domain.trimmed(), "domain");
    checkName(e.selector.trimmed(), "selector");
    const QByteArray value = e.keyFile.toUtf8();
    IniFile::checkValue(value, e.keyFile);
    EntryKeys::file().writeValue(kSection, (e.domain.trimmed().toLower() + QLatin1Char(' ') + e.selector.trimmed()).toLatin1(), value);
}

int RemoveDkimEntries(const QString& domain, const QString& selector)
{
    int removed = 0;
    for (const DkimEntry& e : ReadDkimEntries(domain))
        if (selector.isEmpty() || e.selector == selector.trimmed()) {
            EntryKeys::file().deleteKey(kSection, (e.domain + QLatin1Char(' ') + e.selector).toLatin1());
            ++removed;
        }
    return removed;
}

Dkim::Key GenerateDkimKey(const QString& domain, const QString& selector, Dkim::KeyType type)
{
    const DkimEntry entry{domain.trimmed().toLower(), selector.trimmed(), {}};
    checkName(entry.domain, "domain"); // before a key is made
    checkName(entry.selector, "selector");
    QDir().mkpath(AppDir() + QStringLiteral("dkim"));
    const QString file = QStringLiteral("dkim/%1.%2.%3.pem")
                             .arg(entry.domain, entry.selector, type == Dkim::KeyType::Rsa ? QStringLiteral("rsa") : QStringLiteral("ed25519"));
    const Dkim::Key key = Dkim::GenerateKey(AppDir() + file, entry.domain, entry.selector, type);
    WriteDkimEntry({entry.domain, entry.selector, file});
    return key;
}

Dkim::Key SetDkimKey(const QString& domain, const QString& selector, const QString& file)
{
    const QString path = QFileInfo(file).absoluteFilePath();
    const Dkim::Key key = Dkim::LoadKey(path, domain.trimmed().toLower(), selector.trimmed());
    WriteDkimEntry({domain.trimmed().toLower(), selector.trimmed(), path});
    return key;
}

QString DkimKeyState(const DkimEntry& entry, Dkim::Key* key)
{
    try {
        const Dkim::Key loaded = Dkim::LoadKey(DkimKeyPath(entry), entry.domain, entry.selector);
        if (key)
            *key = loaded;
        return loaded.type == Dkim::KeyType::Rsa ? QStringLiteral("rsa") : QStringLiteral("ed25519");
    } catch (const BrevoraError& error) {
        return QStringLiteral("unusable: ") + error.message();
    }
}
