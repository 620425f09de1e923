#include "core/settings/entrykeys.h"

#include "core/error.h"
#include "core/settings/settingsfile.h"
#include "core/text/codepage.h"
#include "core/text/textutil.h"

#include <QHash>
#include <QSet>

namespace {

QByteArray namesSection(const QString& section)
{
    return EntryKeys::fixed(section) + " names";
}

bool holdsAsKey(const QByteArray& bytes)
{
    const QByteArray t = bytes.trimmed();
    return !t.contains('=') && !t.startsWith('[') && !t.startsWith(';');
}

// Keys compare without regard to ASCII case, as the file's own look-ups do.
QSet<QByteArray> keySet(const QList<QByteArray>& keys)
{
    QSet<QByteArray> set;
    for (const QByteArray& k : keys)
        set.insert(k.toLower());
    return set;
}

// The names section read once: stand-in key -> name.
QList<std::pair<QByteArray, QByteArray>> standIns(const IniFile& file, const QString& section)
{
    return file.readSection(namesSection(section));
}

// The key to store a name under: its existing one, else the name itself where the syntax allows
// and it is free, else a stand-in recorded in the names section.
QByteArray keyToStore(const QString& section, const QString& name)
{
    if (const auto existing = EntryKeys::stored(section, name))
        return *existing;
    const QByteArray bytes = CodePage::encode(name.trimmed());
    if (bytes.isEmpty() || bytes.contains('\r') || bytes.contains('\n'))
        IniFile::checkKey(bytes, name);
    const IniFile file = EntryKeys::file();
    QSet<QByteArray> taken = keySet(file.listKeys(EntryKeys::fixed(section)));
    for (const auto& [key, value] : standIns(file, section))
        taken.insert(key.toLower());
    if (holdsAsKey(bytes) && !taken.contains(bytes.toLower()))
        return bytes;
    QByteArray standIn = bytes;
    standIn.replace('%', "%25").replace('=', "%3D");
    if (standIn.startsWith('['))
        standIn = "%5B" + standIn.mid(1);
    else if (standIn.startsWith(';'))
        standIn = "%3B" + standIn.mid(1);
    QByteArray key = standIn;
    for (int n = 2; taken.contains(key.toLower()); ++n)
        key = standIn + " ~" + QByteArray::number(n);
    // Quoted, so that quotes around the name itself are kept.
    file.writeValue(namesSection(section), key, '"' + bytes + '"');
    return key;
}

} // namespace

namespace EntryKeys {

IniFile file()
{
    return IniFile(IniPath());
}

QByteArray fixed(const QString& name)
{
    return CodePage::encodeAs("GBK", name);
}

QStringList list(const QString& section)
{
    const IniFile f = file();
    QHash<QByteArray, QByteArray> names;
    for (const auto& [key, value] : standIns(f, section))
        names.insert(key.toLower(), value);
    QStringList result;
    for (const QByteArray& key : f.listKeys(fixed(section)))
        result.append(CodePage::decode(names.value(key.toLower(), key)));
    return result;
}

std::optional<QByteArray> stored(const QString& section, const QString& name)
{
    QByteArray bytes;
    try {
        bytes = CodePage::encode(name.trimmed());
    } catch (const BrevoraError&) {
        return std::nullopt;
    }
    const IniFile f = file();
    bool standsInForAnother = false;
    for (const auto& [key, value] : standIns(f, section)) {
        if (value == bytes)
            return key;
        standsInForAnother = standsInForAnother || key.compare(bytes, Qt::CaseInsensitive) == 0;
    }
    if (!holdsAsKey(bytes) || standsInForAnother)
        return std::nullopt;
    for (const QByteArray& key : f.listKeys(fixed(section)))
        if (key.compare(bytes, Qt::CaseInsensitive) == 0)
            return key;
    return std::nullopt;
}

QString lookup(const QString& section, const QString& name)
{
    const auto key = stored(section, name);
    return key ? CodePage::decode(file().readValue(fixed(section), *key)) : QString();
}

void store(const QString& section, const std::optional<QString>& oldName, const QString& name, const QByteArray& value)
{
    if (oldName && *oldName != name)
        remove(section, *oldName);
    QByteArray key = keyToStore(section, name);
    // A change of letter case only is written as the name now has it.
    if (const QByteArray bytes = CodePage::encode(name.trimmed()); holdsAsKey(bytes) && key.compare(bytes, Qt::CaseInsensitive) == 0)
        key = bytes;
    file().writeValue(fixed(section), key, value);
}

void remove(const QString& section, const QString& name)
{
    if (const auto key = stored(section, name)) {
        file().deleteKey(fixed(section), *key);
        file().deleteKey(namesSection(section), *key);
    }
}

void checkName(const QString& name)
{
    const QByteArray bytes = CodePage::encode(name.trimmed());
    if (bytes.isEmpty())
        IniFile::checkKey(bytes, name);
    if (bytes.contains('\r') || bytes.contains('\n'))
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("The name \"%1\" cannot be stored: it holds a line break.").arg(PrintableText(name, true)));
}

QByteArray ofContent(const QString& title)
{
    return stored(SettingsKeys::ContentSection, title).value_or(CodePage::encode(title.trimmed()));
}

QByteArray ofServer(const QString& server)
{
    return stored(SettingsKeys::ServerSection, server).value_or(CodePage::encode(server.trimmed())).toLower();
}

QByteArray writable(const QByteArray& key, const QString& name)
{
    IniFile::checkKey(key, name);
    return key;
}

} // namespace EntryKeys
