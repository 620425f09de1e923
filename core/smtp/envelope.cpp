#include "core/smtp/envelope.h"

#include "core/error.h"

void CheckCommandArgument(const QString& what, const QString& text)
{
    for (QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("The %1 \"%2\" holds a line break or another control character and cannot be sent.")
                                   .arg(what, QString(text).replace('\r', "\\r").replace('\n', "\\n")));
}

namespace {

bool isAtext(char16_t c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
        || QStringView(u"!#$%&'*+-/=?^_`{|}~").contains(QChar(c));
}

bool isLetDig(char16_t c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Why the local part is not a Dot-string or a Quoted-string, or nothing.
QString localPartFault(QStringView local)
{
    if (local.isEmpty())
        return QStringLiteral("there is nothing before \"@\"");
    if (local.size() > 64)
        return QStringLiteral("the part before \"@\" is longer than 64 characters");
    if (local.startsWith(u'"')) {
        for (qsizetype i = 1; i < local.size(); ++i) {
            const char16_t c = local[i].unicode();
            if (c == '\\' && i + 1 < local.size() && local[i + 1].unicode() >= 32 && local[i + 1].unicode() <= 126) {
                ++i;
            } else if (c == '"') {
                return i == local.size() - 1 ? QString() : QStringLiteral("text follows the closing quote before \"@\"");
            } else if (c < 32 || c > 126 || c == '\\') {
                return QStringLiteral("the quoted part before \"@\" holds \"%1\"").arg(QChar(c));
            }
        }
        return QStringLiteral("the quote before \"@\" is not closed");
    }
    for (qsizetype i = 0; i < local.size(); ++i) {
        const char16_t c = local[i].unicode();
        if (c == '.') {
            if (i == 0 || i == local.size() - 1 || local[i - 1] == u'.')
                return QStringLiteral("a dot before \"@\" stands first, last or next to another");
        } else if (!isAtext(c)) {
            return QStringLiteral("\"%1\" may stand before \"@\" only in quotes").arg(QChar(c));
        }
    }
    return {};
}

// Why the domain is not a host name or an address literal, or nothing.
QString domainFault(QStringView domain)
{
    if (domain.isEmpty())
        return QStringLiteral("there is nothing after \"@\"");
    if (domain.size() > 255)
        return QStringLiteral("the domain is longer than 255 characters");
    if (domain.startsWith(u'[')) {
        if (!domain.endsWith(u']') || domain.size() < 3)
            return QStringLiteral("the address literal after \"@\" is not closed");
        for (QChar c : domain.mid(1, domain.size() - 2))
            if (c.unicode() <= 32 || c.unicode() > 126 || c == u'[' || c == u']' || c == u'\\')
                return QStringLiteral("the address literal after \"@\" holds \"%1\"").arg(c);
        return {};
    }
    for (QStringView label : domain.split(u'.')) {
        if (label.isEmpty() || label.size() > 63)
            return QStringLiteral("the domain \"%1\" has an empty or overlong part").arg(domain);
        for (qsizetype i = 0; i < label.size(); ++i) {
            const char16_t c = label[i].unicode();
            if (!isLetDig(c) && !(c == '-' && i > 0 && i < label.size() - 1))
                return QStringLiteral("the domain \"%1\" holds \"%2\"").arg(domain, QChar(c));
        }
    }
    return {};
}

} // namespace

QString MailboxFault(const QString& address)
{
    const qsizetype at = address.lastIndexOf(u'@');
    if (at < 0)
        return QStringLiteral("it has no \"@\"");
    if (QString fault = localPartFault(QStringView(address).left(at)); !fault.isEmpty())
        return fault;
    return domainFault(QStringView(address).mid(at + 1));
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
    for (QChar c : address)
        if (c.unicode() >= 0x80)
            throw BrevoraError(ErrorKind::Usage,
                               QStringLiteral("The %1 \"%2\" holds \"%3\", which is not ASCII, and cannot be sent.").arg(what, address, QString(c)));
    // "<" and ">" are refused even in quotes, as servers that
    // read the path naively would end it early.
    for (QChar c : address)
        if (c == u'<' || c == u'>')
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("The %1 \"%2\" holds \"%3\" and cannot be sent.").arg(what, address, QString(c)));
    // A blank may stand only in a quoted local part.
    if (!address.startsWith(u'"') && address.contains(u' '))
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("The %1 \"%2\" holds \" \" and cannot be sent.").arg(what, address));
    // The empty reverse path is the only path that is not a mailbox.
    if (const QString fault = address.isEmpty() ? QString() : MailboxFault(address); !fault.isEmpty())
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("The %1 \"%2\" is not a mailbox (%3) and cannot be sent.").arg(what, address, fault));
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
