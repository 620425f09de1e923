#include "core/settings/inifile.h"

#include "core/error.h"

#include <QFile>
#include <QSaveFile>

namespace {

QByteArray sectionName(const QByteArray& line)
{
    const QByteArray t = line.trimmed();
    if (t.size() >= 2 && t.startsWith('[')) {
        const qsizetype close = t.indexOf(']');
        if (close > 0)
            return t.mid(1, close - 1).trimmed();
    }
    return {};
}

bool isSection(const QByteArray& line)
{
    const QByteArray t = line.trimmed();
    return t.startsWith('[') && t.indexOf(']') > 0;
}

// The key of a "key=value" line, or empty for anything else (comments, blank lines).
QByteArray keyOf(const QByteArray& line)
{
    const QByteArray t = line.trimmed();
    if (t.isEmpty() || t.startsWith(';') || t.startsWith('['))
        return {};
    const qsizetype eq = t.indexOf('=');
    if (eq <= 0)
        return {};
    return t.left(eq).trimmed();
}

QByteArray valueOf(const QByteArray& line)
{
    QByteArray v = line.mid(line.indexOf('=') + 1).trimmed();
    if (v.size() >= 2 && ((v.startsWith('"') && v.endsWith('"')) || (v.startsWith('\'') && v.endsWith('\''))))
        v = v.mid(1, v.size() - 2);
    return v;
}

bool sameName(const QByteArray& a, const QByteArray& b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

} // namespace

IniFile::IniFile(QString path)
    : m_path(std::move(path))
{
}

QList<IniFile::Line> IniFile::load() const
{
    QList<Line> lines;
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return lines;
    const QByteArray data = file.readAll();
    qsizetype from = 0;
    while (from < data.size()) {
        const qsizetype lf = data.indexOf('\n', from);
        if (lf < 0) {
            lines.append({data.mid(from), {}});
            break;
        }
        const bool cr = lf > from && data.at(lf - 1) == '\r';
        lines.append({data.mid(from, lf - from - (cr ? 1 : 0)), cr ? QByteArray("\r\n") : QByteArray("\n")});
        from = lf + 1;
    }
    return lines;
}

void IniFile::save(const QList<Line>& lines) const
{
    QByteArray data;
    for (const Line& line : lines)
        data += line.text + line.end;
    // The file holds passwords: the user's alone, before it takes the old one's place.
    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)
        || file.write(data) != data.size() || !file.commit())
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("Unable to write to %1 (%2)").arg(m_path, file.errorString()));
}

QByteArray IniFile::readValue(const QByteArray& section, const QByteArray& key, const QByteArray& fallback) const
{
    const QByteArray wanted = key.trimmed();
    bool inSection = false;
    for (const Line& line : load()) {
        if (isSection(line.text)) {
            inSection = sameName(sectionName(line.text), section);
            continue;
        }
        if (inSection && sameName(keyOf(line.text), wanted))
            return valueOf(line.text).left(kMaxValueLength);
    }
    return fallback.left(kMaxValueLength);
}

QList<std::pair<QByteArray, QByteArray>> IniFile::readSection(const QByteArray& section) const
{
    QList<std::pair<QByteArray, QByteArray>> entries;
    bool inSection = false;
    for (const Line& line : load()) {
        if (isSection(line.text)) {
            inSection = sameName(sectionName(line.text), section);
            continue;
        }
        if (const QByteArray key = inSection ? keyOf(line.text) : QByteArray(); !key.isEmpty())
            entries.append({key, valueOf(line.text).left(kMaxValueLength)});
    }
    return entries;
}

QList<QByteArray> IniFile::listKeys(const QByteArray& section) const
{
    QList<QByteArray> keys;
    qsizetype used = 0;
    bool inSection = false;
    for (const Line& line : load()) {
        if (isSection(line.text)) {
            inSection = sameName(sectionName(line.text), section);
            continue;
        }
        if (!inSection)
            continue;
        const QByteArray key = keyOf(line.text);
        if (key.isEmpty())
            continue;
        // Names are listed zero-terminated in one block that ends with a second zero.
        if (used + key.size() + 1 > kKeyListBytes - 1)
            break;
        used += key.size() + 1;
        keys.append(key);
    }
    return keys;
}

void IniFile::writeValue(const QByteArray& section, const QByteArray& key, const QByteArray& value) const
{
    QList<Line> lines = load();
    QByteArray eol("\r\n");
    for (const Line& line : lines)
        if (!line.end.isEmpty()) {
            eol = line.end;
            break;
        }
    const QByteArray wanted = key.trimmed();
    const QByteArray newLine = wanted + '=' + value;

    qsizetype sectionAt = -1;
    qsizetype lastContent = -1;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QByteArray& text = lines[i].text;
        if (isSection(text)) {
            if (sectionAt >= 0)
                break;
            if (sameName(sectionName(text), section)) {
                sectionAt = i;
                lastContent = i;
            }
            continue;
        }
        if (sectionAt < 0)
            continue;
        if (sameName(keyOf(text), wanted)) {
            lines[i].text = newLine;
            save(lines);
            return;
        }
        if (!text.trimmed().isEmpty())
            lastContent = i;
    }
    if (!lines.isEmpty() && lines.last().end.isEmpty())
        lines.last().end = eol;
    if (sectionAt < 0) {
        lines.append({'[' + section + ']', eol});
        lines.append({newLine, eol});
    } else {
        lines.insert(lastContent + 1, {newLine, eol});
    }
    save(lines);
}

void IniFile::deleteKey(const QByteArray& section, const QByteArray& key) const
{
    QList<Line> lines = load();
    const QByteArray wanted = key.trimmed();
    bool inSection = false;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (isSection(lines[i].text)) {
            inSection = sameName(sectionName(lines[i].text), section);
            continue;
        }
        if (inSection && sameName(keyOf(lines[i].text), wanted)) {
            lines.removeAt(i);
            try {
                save(lines);
            } catch (const BrevoraError&) {
            }
            return;
        }
    }
}

void IniFile::checkKey(const QByteArray& key, const QString& shownKey)
{
    const QByteArray t = key.trimmed();
    if (t.isEmpty())
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("The name must not be empty."));
    if (key.contains('=') || key.contains('\r') || key.contains('\n') || t.startsWith('[') || t.startsWith(';'))
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("The name \"%1\" cannot be stored: a name must not contain \"=\", a line break, "
                                          "or start with \"[\" or \";\".")
                               .arg(shownKey));
}

void IniFile::checkValue(const QByteArray& value, const QString& shownValue)
{
    if (value.contains('\r') || value.contains('\n'))
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("The value \"%1\" cannot be stored: it holds a line break.").arg(shownValue));
}
