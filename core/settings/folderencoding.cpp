#include "core/settings/folderencoding.h"

#include "core/error.h"
#include "core/settings/entrykeys.h"
#include "core/settings/inifile.h"
#include "core/settings/settingsfile.h"
#include "core/text/codepage.h"
#include "core/text/textutil.h"

#include <QFile>
#include <QHash>
#include <QSaveFile>

namespace {

const QByteArray kSection("Text");
const QByteArray kKey("Code page");

bool localeIsUtf8()
{
    for (const char* var : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const QByteArray value = qgetenv(var).toLower();
        if (!value.isEmpty())
            return value.contains("utf-8") || value.contains("utf8");
    }
    return false;
}

// Text in one code page made bytes of another; throws naming what the new one cannot hold or
// what the old one does not define.
QByteArray convert(const QByteArray& bytes, const QByteArray& from, const QByteArray& to, const QString& where)
{
    const QString text = CodePage::decodeAs(from, bytes);
    if (text.contains(QChar(0xFFFD)) && !bytes.contains("\xEF\xBF\xBD"))
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("%1 holds bytes that the code page %2 does not define; nothing was changed.")
                                                 .arg(where, QString::fromLatin1(from)));
    try {
        return CodePage::encodeAs(to, text);
    } catch (const BrevoraError& e) {
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("%1: %2 Nothing was changed.").arg(where, e.message()));
    }
}

// The settings file in another code page, line by line. The file's own fixed names stay the GBK
// bytes they always are; a server's scrambled password is unscrambled, converted and scrambled again.
QByteArray convertSettings(const QByteArray& data, const QByteArray& from, const QByteArray& to)
{
    QList<QByteArray> fixedSections;
    for (const QString& name : {SettingsKeys::BasicSection, SettingsKeys::ServerSection, SettingsKeys::SenderSection,
                                SettingsKeys::ContentSection}) {
        fixedSections.append(EntryKeys::fixed(name));
        fixedSections.append(EntryKeys::fixed(name) + " names");
    }
    const QByteArray basic = EntryKeys::fixed(SettingsKeys::BasicSection);
    const QByteArray servers = EntryKeys::fixed(SettingsKeys::ServerSection);
    QByteArray section;
    QByteArray out;
    const QList<QByteArray> lines = data.split('\n');
    for (qsizetype n = 0; n < lines.size(); ++n) {
        QByteArray line = lines[n];
        const bool cr = line.endsWith('\r');
        if (cr)
            line.chop(1);
        const QString where = QStringLiteral("Line %1 of %2").arg(n + 1).arg(IniPath());
        const QByteArray t = line.trimmed();
        QByteArray converted;
        if (t.startsWith('[') && t.indexOf(']') > 0) {
            section = t.mid(1, t.indexOf(']') - 1).trimmed();
            converted = fixedSections.contains(section) ? line : convert(line, from, to, where);
        } else if (const qsizetype eq = line.indexOf('='); eq > 0 && !t.startsWith(';')) {
            const QByteArray key = section == basic ? line.left(eq) : convert(line.left(eq), from, to, where);
            QByteArray value = line.mid(eq + 1);
            if (section == servers) {
                QList<QByteArray> fields = value.split(',');
                for (qsizetype i = 0; i < fields.size(); ++i)
                    fields[i] = i == 3 ? EncodePassword(convert(DecodePassword(fields[i].trimmed()), from, to, where))
                                       : convert(fields[i], from, to, where);
                value = fields.join(',');
            } else {
                value = convert(value, from, to, where);
            }
            converted = key + '=' + value;
        } else {
            converted = convert(line, from, to, where);
        }
        out += converted + (cr ? "\r" : "") + (n + 1 < lines.size() ? "\n" : "");
    }
    return out;
}

} // namespace

namespace FolderEncoding {

QList<QByteArray> choices()
{
    return {"UTF-8", "CP1252", "GBK", "BIG5", "CP932", "CP949"};
}

QByteArray recorded()
{
    return IniFile(IniPath()).readValue(kSection, kKey).trimmed().toUpper();
}

void apply(bool folderIsNew)
{
    if (!qEnvironmentVariableIsEmpty("BREVORA_CODEPAGE"))
        return;
    QByteArray codePage = recorded();
    if (codePage.isEmpty() && folderIsNew && localeIsUtf8()) {
        codePage = "UTF-8";
        IniFile(IniPath()).writeValue(kSection, kKey, codePage);
    }
    if (!codePage.isEmpty())
        CodePage::setName(codePage);
}

void change(const QByteArray& codePage)
{
    const QByteArray from = CodePage::name();
    const QByteArray to = codePage.trimmed().toUpper();
    if (!choices().contains(to))
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("The code page %1 is not one of %2.")
                                                 .arg(QString::fromLatin1(to), QString::fromLatin1(choices().join(", "))));
    if (to == from) {
        IniFile(IniPath()).writeValue(kSection, kKey, to);
        return;
    }
    // Everything is converted in memory first: a text the new code page cannot hold changes nothing.
    QHash<QString, QByteArray> bodies;
    for (const QString& title : ListContents()) {
        const QString name = LookupContent(title).trimmed();
        if (!name.isEmpty() && QFile::exists(AppDir() + name))
            bodies.insert(name, convert(ReadFileBytes(AppDir() + name), from, to, QStringLiteral("The text of \"%1\"").arg(title)));
    }
    const QByteArray settings = QFile::exists(IniPath()) ? convertSettings(ReadFileBytes(IniPath()), from, to) : QByteArray();
    for (auto it = bodies.cbegin(); it != bodies.cend(); ++it)
        WriteFileBytes(AppDir() + it.key(), it.value());
    if (!settings.isEmpty()) {
        // The file holds passwords: the user's alone, as every write of it leaves it.
        QSaveFile file(IniPath());
        if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)
            || file.write(settings) != settings.size() || !file.commit())
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("Unable to write to %1").arg(IniPath()));
    }
    IniFile(IniPath()).writeValue(kSection, kKey, to);
    CodePage::setName(to);
}

} // namespace FolderEncoding
