#include "core/intake/mailto.h"

#include "core/text/textutil.h"

#include <QRegularExpression>
#include <algorithm>
#include <QUrl>

QStringList ClipboardLines(const QString& text)
{
    QStringList lines;
    qsizetype from = 0;
    while (from <= text.size()) {
        qsizetype end = text.indexOf(QLatin1Char('\n'), from);
        if (end < 0)
            end = text.size();
        const qsizetype lineEnd = end > from && text[end - 1] == QLatin1Char('\r') ? end - 1 : end;
        if (lineEnd - from < 5)
            break;
        lines.append(text.mid(from, lineEnd - from));
        from = end + 1;
    }
    return lines;
}

QStringList ExtractMailto(const QString& line)
{
    const QString flat = RemoveSpaces(line).toLower();
    if (!flat.startsWith(QLatin1String("mailto:")))
        return {};
    QString rest = flat.mid(7);
    // The link ends at the first character that cannot be part of one on the wire; its headers
    // ("?subject=...") are no addresses.
    for (qsizetype i = 0; i < rest.size(); ++i) {
        const char16_t c = rest[i].unicode();
        if (c == '<' || c == '>' || c == '"' || c == '\'' || c == '?' || c < 0x20 || c >= 0x7F) {
            rest.truncate(i);
            break;
        }
    }
    QStringList addresses;
    for (const QString& part : rest.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString address = QUrl::fromPercentEncoding(part.toLatin1()).trimmed().toLower();
        // What decoding brought in is held to the same rule as the link itself.
        const bool clean = std::none_of(address.cbegin(), address.cend(), [](QChar c) {
            return c.unicode() < 0x21 || c.unicode() >= 0x7F || c == u'<' || c == u'>' || c == u'"' || c == u',';
        });
        if (clean && IsValidEmail(address) && !addresses.contains(address))
            addresses.append(address);
    }
    return addresses;
}

QStringList ClipboardMailtos(const QString& text, const QString& html)
{
    QStringList found;
    const auto take = [&found](const QStringList& addresses) {
        for (const QString& a : addresses)
            if (!found.contains(a))
                found.append(a);
    };
    for (const QString& line : ClipboardLines(text))
        take(ExtractMailto(line));
    static const QRegularExpression link(QStringLiteral("href\\s*=\\s*[\"']?\\s*(mailto:[^\"'>\\s]+)"),
                                         QRegularExpression::CaseInsensitiveOption);
    for (auto it = link.globalMatch(html); it.hasNext();)
        take(ExtractMailto(it.next().captured(1).replace(QLatin1String("&amp;"), QLatin1String("&"))));
    return found;
}

QString ResendQuestion(const QString& address)
{
    return QLatin1Char('[') + address + QLatin1Char(']')
        + QStringLiteral("I have sent an email to this address before. Are you sure you want to send again?");
}
