#include "core/intake/mailto.h"

#include "core/text/textutil.h"

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

QString ExtractMailto(const QString& line)
{
    const QString flat = RemoveSpaces(line).toLower();
    if (!flat.startsWith(QLatin1String("mailto:")))
        return {};
    QString rest = flat.mid(7);
    // The address ends at the first character that cannot be part of one on the wire.
    for (qsizetype i = 0; i < rest.size(); ++i) {
        const char16_t c = rest[i].unicode();
        if (c == '<' || c == '>' || c < 0x20 || c >= 0x7F) {
            rest.truncate(i);
            break;
        }
    }
    return IsValidEmail(rest) ? rest : QString();
}

QString ResendQuestion(const QString& address)
{
    return QLatin1Char('[') + address + QLatin1Char(']')
        + QStringLiteral("I have sent an email to this address before. Are you sure you want to send again?");
}
