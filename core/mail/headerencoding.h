#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>


// The charset that labels header and body bytes, with its RFC 2047 encoding letter.
struct HeaderCharsetInfo
{
    QByteArray name;
    char letter = 'Q';
    bool jis = false; // Japanese: text is converted with ToJis first
};

// Follows the program's code page.
HeaderCharsetInfo HeaderCharset();
HeaderCharsetInfo HeaderCharsetFor(const QByteArray& codePage);


// The charset that truly labels text of the code page: the code page's usual label, or the
// wider one its bytes need ("windows-1252" for bytes 0x80-0x9F, "GBK" beyond GB2312).
QByteArray CharsetLabel(const QByteArray& bytes);

// RFC 2047 encoded words for the runs of words that need them; unchanged text otherwise.
// Long runs become several encoded words of at most 75 characters joined by CR LF TAB, each
// holding whole characters. startColumn is where the text begins on its line (after the header's
// name), so that the first word fits there. Throws for a character the code page cannot hold.
QByteArray EncodeHeaderText(const QString& text, const QByteArray& extraSpecials = {}, qsizetype startColumn = 0);

// "address", or the name quoted or encoded before "<address>".
QByteArray FormatMailbox(const QString& address, const QString& name);

// "Tue, 8 Dec 2026 00:48:21 +0800"
QByteArray InternetDate(const QDateTime& localTime, int offsetSeconds);
// The current local time with the zone offset in force now.
QByteArray InternetDateNow();

// Folds one header line at column 78 into lines; continuation lines start with a space or TAB.
// Existing folds (CR LF followed by space or TAB) are kept, and an encoded word is never split.
QList<QByteArray> FoldHeaderLine(const QByteArray& line);
