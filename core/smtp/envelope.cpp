#include "core/smtp/envelope.h"

#include "core/error.h"

void CheckCommandArgument(const QString& what, const QString& text)
{
    for (QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("The %1 \"%2\" holds a line break or another control character and cannot be sent.")
                                   .arg(what, QString(text).replace('\r', "\\r").replace('\n', "\\n")));
}

void CheckEnvelopeAddress(const QString& what, const QString& address)
{
    // The longest path SMTP carries is 256 octets, angle brackets included.
    constexpr qsizetype kMaxAddress = 254;
    if (address.size() > kMaxAddress)
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("The %1 \"%2...\" is longer than %3 characters and cannot be sent.")
                                                 .arg(what, address.left(40))
                                                 .arg(kMaxAddress));
    CheckCommandArgument(what, address);
    for (QChar c : address) {
        const char16_t u = c.unicode();
        if (u == ' ' || u == '<' || u == '>')
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("The %1 \"%2\" holds \"%3\" and cannot be sent.").arg(what, address, QString(c)));
        if (u >= 0x80)
            throw BrevoraError(ErrorKind::Usage,
                               QStringLiteral("The %1 \"%2\" holds \"%3\", which is not ASCII, and cannot be sent.").arg(what, address, QString(c)));
    }
}

QByteArray DotStuffed(const QByteArray& data)
{
    QByteArray out;
    out.reserve(data.size() + data.size() / 64 + 8);
    qsizetype from = 0;
    if (data.startsWith('.'))
        out += '.';
    for (qsizetype at = data.indexOf("\n."); at >= 0; at = data.indexOf("\n.", from)) {
        out.append(data.constData() + from, at + 1 - from);
        out += '.';
        from = at + 1;
    }
    out.append(data.constData() + from, data.size() - from);
    out += ".\r\n";
    return out;
}
