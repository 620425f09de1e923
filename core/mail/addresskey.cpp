#include "core/mail/addresskey.h"

#include "core/mail/emailmessage.h"

QString AddressKey(const QString& entryOrAddress)
{
    const qsizetype comma = entryOrAddress.indexOf(QLatin1Char(','));
    const QString part = (comma < 0 ? entryOrAddress : entryOrAddress.left(comma)).trimmed();
    // A bare address, the usual case, needs no parsing.
    for (QChar c : part) {
        if (c == u'<' || c == u'(' || c == u'"' || c == u';' || c == u'\\' || c == u':') {
            EmailAddressList recipients;
            SetRecipientsText(recipients, part);
            return recipients.isEmpty() ? part.toLower() : recipients.first().Address.trimmed().toLower();
        }
    }
    return part.toLower();
}
