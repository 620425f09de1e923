#pragma once

#include <QByteArray>

#include "core/mail/emailmessage.h"

// What the session knows about the server that changes how the message is written.
struct WriterOptions
{
    bool serverOffers8BitMime = false;
};

struct WrittenMessage
{
    QByteArray data;       // header block, empty line, body; every line ends in CR LF
    bool eightBit = false; // the body goes out as 8bit: MAIL FROM must carry BODY=8BITMIME
};

// The "Message-ID" value for a sender address: unique per message.
QByteArray NewMessageId(const QString& senderAddress, const QByteArray& tag = {});

// Builds the header block afresh, in its fixed order; the body is labelled bodyCharset (empty:
// the code page's usual label), or, with a boundary, is multipart with that boundary.
HeaderList BuildHeaders(const EmailMessage& message, const QByteArray& transferEncoding, const QByteArray& bodyCharset = {},
                        const QByteArray& boundary = {});

// Renders the message as a file holds it and BDAT carries it (the session frames it for DATA).
WrittenMessage WriteMessage(const EmailMessage& message, const WriterOptions& options);

// RFC 2045 quoted-printable of one body line (hard line breaks are the caller's).
QByteArray QuotedPrintableLine(const QByteArray& line);
