#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Who a message goes from and to, as MAIL FROM and RCPT TO tell the server, and whether its body
// is 8-bit text (BODY=8BITMIME).
struct Envelope
{
    QString from;
    QStringList recipients;
    bool eightBit = false;
};

// Throws when a command argument (an address in MAIL FROM or RCPT TO) holds a control character.
void CheckCommandArgument(const QString& what, const QString& text);
// Throws when an address cannot stand in MAIL FROM or RCPT TO as it is: a space, "<" or ">"
// would end it early and pass the rest as parameters or another command; a character that is not
// ASCII needs an extension this client does not use.
// Neither may an address that is not a mailbox (RFC 5321 4.1.2: a dot-atom or quoted local part,
// "@", a domain of letter-digit-hyphen labels or an address literal).
void CheckEnvelopeAddress(const QString& what, const QString& address);
// Why the address is not such a mailbox, or nothing when it is.
QString MailboxFault(const QString& address);

// The message data as DATA carries it (RFC 5321 4.5.2): a dot that starts a line doubled, and the
// closing "." line. The data's lines end in CR LF.
QByteArray DotStuffed(const QByteArray& data);
