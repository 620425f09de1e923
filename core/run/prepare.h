#pragma once

#include <QString>
#include <QStringList>

#include "core/mail/dkim.h"
#include "core/mail/emailmessage.h"
#include "core/settings/contentheaders.h"
#include "core/settings/settingsfile.h"
#include "core/smtp/smtpclient.h"

struct PreparedMessage
{
    QStringList body;
    QString contentType; // "text/html" or "text/plain"
};

// Turns one pending entry ("address[,value1,value2...]") into the recipient of the message and
// the merged body: placeholder i ("[= PARAMi =]", any case) gets value i, placeholders 1 to 15
// left without a value become one blank, and the first line decides the content type.
// Throws for an empty body, and the parser's error for a bad address.
// Placeholders may also name a value: "[= name =]" (any case) is value i when fieldNames[i - 1]
// is that name (the header of the CSV file the list came from).
PreparedMessage PrepareMessage(const QString& entry, const QStringList& contentLines, EmailMessage& message,
                               const QStringList& fieldNames = {});

QString ParamPlaceholder(int number);
// One line of the body with its placeholders filled from the entry's fields (the address first).
QString MergeLine(const QString& line, const QStringList& fields, const QStringList& fieldNames);

// What a message carries besides the merged body: the content's unsubscribe links and files, the
// names of the entries' values, and where each recipient's own file is found.
struct MessageExtras
{
    Unsubscribe links;
    QStringList fieldNames;
    QStringList files;  // attached to every message
    QList<Attachment> filesRead; // the same read once, when all could be (else each message reads them)
    QString fileColumn; // the value (named by its column) that names a recipient's own file
    QString fileFolder; // the folder those names are relative to
    qint64 largestFile = 0; // bytes a file may have (the largest message); 0: any
    QList<Dkim::Key> dkimKeys; // each message is signed with each (none: unsigned, as ever)
    ContentHeaders headers;    // their values' placeholders filled per recipient
};

// Makes the message for one entry from the content: the recipient, the merged body and its type,
// the text alternative of an HTML body, the unsubscribe headers and the attachments. The run,
// the dry run and the preview all use it, so all three write the same message. Throws when it
// cannot be prepared (an attachment that cannot be read among the reasons).
void ComposeMessage(EmailMessage& message, const QString& entry, const QStringList& contentLines, const MessageExtras& extras);

// The message for one entry as a file would hold it (or BDAT would carry it): no dot-stuffing,
// written for a server that takes 8-bit text.
QByteArray MessageFileBytes(EmailMessage message, const QString& entry, const QStringList& contentLines, const MessageExtras& extras);
// The message written for what the session's server offers (not framed, not signed), its
// "X-Mailer" the session's MailAgent, and its envelope.
struct WrittenForSession
{
    Envelope envelope;
    QByteArray data;
};
WrittenForSession WriteForSession(const SmtpClient& session, const EmailMessage& message);
// The file read as an attachment, its type from its name; throws when it cannot be read.
Attachment ReadAttachment(const QString& path, qint64 largest = 0);
// "NNNNNN-address.eml" for the entry numbered `number`: the address with anything unsafe in a file
// name replaced.
QString MessageFileName(int number, const QString& entry);

// The List-Unsubscribe value for one recipient ("<mailto:...>, <https://...>"; empty when the
// content has none), with "[= EMAIL =]" and "[= PARAMn =]" (any case) filled from the entry,
// percent-encoded; and whether it holds an https URL, which makes it one-click (RFC 8058).
// Throws when a filled link is too long for a header line.
struct UnsubscribeHeader
{
    QByteArray value;
    bool oneClick = false;
};
UnsubscribeHeader UnsubscribeFor(const Unsubscribe& unsubscribe, const QString& entry);
