#include "core/text/textutil.h"

#include "core/error.h"

#include <algorithm>
#include <climits>
#include <limits>
#include <unistd.h>

bool IsValidEmail(const QString& token)
{
    QString trimmed = token;
    auto isBlank = [](QChar c) { return c.unicode() <= 0x20 || c.unicode() == 0x7F; };
    while (!trimmed.isEmpty() && isBlank(trimmed.front()))
        trimmed.remove(0, 1);
    while (!trimmed.isEmpty() && isBlank(trimmed.back()))
        trimmed.chop(1);
    if (trimmed.isEmpty())
        return false;

    const QString lower = token.toLower();
    for (QChar c : {QChar(' '), QChar('?'), QChar('['), QChar(']'), QChar('('), QChar(')'), QChar(':'), QChar(0x00FC)})
        if (lower.contains(c))
            return false;

    const qsizetype at = token.indexOf('@');
    if (at <= 0 || at == token.size() - 1)
        return false;
    const QString domain = token.mid(at + 1);
    if (domain.contains('@') || domain.size() < 2)
        return false;
    const qsizetype dot = domain.indexOf('.');
    return dot > 0 && dot < domain.size() - 1;
}

QString RemoveSpaces(const QString& text)
{
    QString result;
    result.reserve(text.size());
    for (QChar c : text)
        if (c != QLatin1Char(' '))
            result += c;
    return result;
}

QStringList SplitString(const QString& text, const QString& separator)
{
    QStringList pieces;
    if (separator.isEmpty())
        return {text};
    qsizetype from = 0;
    for (qsizetype at = text.indexOf(separator); at >= 0; at = text.indexOf(separator, from)) {
        pieces.append(text.mid(from, at - from));
        from = at + separator.size();
    }
    pieces.append(text.mid(from));
    return pieces;
}

namespace {

// Whether line holds old at a position, without regard to case. Pairs of ASCII characters are
// compared directly; anything else goes to Qt's full case folding.
bool caselessEqualAt(const QString& line, qsizetype at, const QString& old)
{
    if (line.size() - at < old.size())
        return false;
    const auto asciiLower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? char16_t(c + 32) : c; };
    const QChar* here = line.constData() + at;
    for (qsizetype i = 0; i < old.size(); ++i) {
        const char16_t a = here[i].unicode();
        const char16_t b = old.at(i).unicode();
        if (a == b)
            continue;
        if (a >= 0x80 || b >= 0x80)
            return QStringView(line).mid(at, old.size()).compare(old, Qt::CaseInsensitive) == 0;
        if (asciiLower(a) != asciiLower(b))
            return false;
    }
    return true;
}

// Finds old in line from a position. A search without regard to case is slow; when the pattern
// starts with a character that has no case (as "[= PARAM1 =]" does), that one is searched exactly
// and only the candidates are compared without case.
qsizetype findIn(const QString& line, const QString& old, qsizetype from, Qt::CaseSensitivity cs, bool firstHasNoCase)
{
    if (cs == Qt::CaseSensitive || !firstHasNoCase)
        return line.indexOf(old, from, cs);
    for (qsizetype at = line.indexOf(old.at(0), from); at >= 0; at = line.indexOf(old.at(0), at + 1))
        if (caselessEqualAt(line, at, old))
            return at;
    return -1;
}

} // namespace

void ReplaceInLines(QStringList& lines, const QString& old, const QString& replacement, int flags)
{
    if (old.isEmpty())
        return;
    const Qt::CaseSensitivity cs = (flags & int(ReplaceFlag::IgnoreCase)) ? Qt::CaseInsensitive : Qt::CaseSensitive;
    const bool all = flags & int(ReplaceFlag::All);
    const QChar first = old.at(0);
    const bool firstHasNoCase = first.toLower() == first.toUpper() && first.toCaseFolded() == first;
    for (QString& line : lines) {
        qsizetype at = findIn(line, old, 0, cs, firstHasNoCase);
        if (at < 0)
            continue;
        QString result;
        result.reserve(line.size() + 4 * replacement.size() + 16);
        qsizetype from = 0;
        while (at >= 0) {
            result += QStringView(line).mid(from, at - from);
            result += replacement;
            from = at + old.size();
            if (!all)
                break;
            at = findIn(line, old, from, cs, firstHasNoCase);
        }
        result += QStringView(line).mid(from);
        line = result;
    }
}

std::optional<int> ParseInteger(const QString& text)
{
    QStringView t(text);
    bool negative = false;
    if (t.startsWith(QLatin1Char('-')) || t.startsWith(QLatin1Char('+'))) {
        negative = t.startsWith(QLatin1Char('-'));
        t = t.mid(1);
    }
    int base = 10;
    if (t.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)) {
        base = 16;
        t = t.mid(2);
    } else if (t.startsWith(QLatin1Char('$'))) {
        base = 16;
        t = t.mid(1);
    }
    const auto isDigit = [base](QChar c) {
        return (c >= '0' && c <= '9') || (base == 16 && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')));
    };
    if (t.isEmpty() || !std::all_of(t.begin(), t.end(), isDigit))
        return std::nullopt;
    bool ok = false;
    const qlonglong value = t.toLongLong(&ok, base);
    if (!ok || value > std::numeric_limits<int>::max())
        return std::nullopt;
    return int(negative ? -value : value);
}

namespace {
constexpr quint16 kPasswordSeed = 9173;
quint16 nextKey(quint16 key, quint8 scrambled)
{
    return quint16((quint32(key + scrambled) * 8931u + 9457u) & 0xFFFF);
}
} // namespace

int ParseIntegerText(const QString& text)
{
    const std::optional<int> value = ParseInteger(text);
    if (!value)
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("'%1' is not a valid integer value").arg(text));
    return *value;
}

QByteArray EncodePassword(const QByteArray& password)
{
    quint16 key = kPasswordSeed;
    QByteArray scrambled;
    scrambled.reserve(password.size());
    for (char p : password) {
        const quint8 c = quint8(p) ^ quint8(key >> 8);
        scrambled.append(char(c));
        key = nextKey(key, c);
    }
    return scrambled.toHex().toUpper();
}

QByteArray DecodePassword(const QByteArray& text)
{
    quint16 key = kPasswordSeed;
    QByteArray password;
    for (qsizetype i = 0; i + 1 < text.size(); i += 2) {
        const QByteArray pair = text.mid(i, 2);
        bool ok = false;
        const uint c = pair.toUInt(&ok, 16);
        if (!ok || pair.startsWith('+') || pair.startsWith('-') || pair.contains(' '))
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("'$%1' is not a valid integer value").arg(QString::fromLatin1(pair)));
        password.append(char(quint8(c) ^ quint8(key >> 8)));
        key = nextKey(key, quint8(c));
    }
    return password;
}

QString LocalHostName()
{
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return QStringLiteral("localhost");
    return QString::fromLocal8Bit(name);
}

QString PrintableText(const QString& text, bool joinLines)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == QLatin1Char('\n'))
                ++i;
            if (!joinLines)
                out += QLatin1Char('\n');
            else if (i + 1 < text.size())
                out += QLatin1Char(' ');
            continue;
        }
        if ((c < 0x20 && c != '\t') || c == 0x7F || (c >= 0x80 && c < 0xA0))
            out += QStringLiteral("\\x%1").arg(int(c), 2, 16, QLatin1Char('0'));
        else
            out += text[i];
    }
    return out;
}
