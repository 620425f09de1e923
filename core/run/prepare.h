#pragma once

#include <QString>
#include <QStringList>

#include "core/mail/emailmessage.h"
#include "core/settings/settingsfile.h"

struct PreparedMessage
{
    QStringList body;
    QString contentType; // "text/html" or "text/plain"
};

// Turns one pending entry ("address[,value1,value2...]") into the recipient of the message and
// the merged body: placeholder i ("[= PARAMi =]", any case) gets value i, placeholders 1 to 15
// left without a value become one blank, and the first line decides the content type.
// Throws "List index out of bounds (0)" for an empty body and the parser's error for a bad address.
PreparedMessage PrepareMessage(const QString& entry, const QStringList& contentLines, EmailMessage& message);

QString ParamPlaceholder(int number);

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
