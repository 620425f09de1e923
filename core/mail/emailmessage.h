#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

struct EmailAddress
{
    QString Address;
    QString Name;
    bool operator==(const EmailAddress&) const = default;
};

using EmailAddressList = QList<EmailAddress>;

// Replaces the list with the addresses parsed from an RFC 822 address list text.
// Throws "@ Outside address" for an "@" after a closed angle-bracket address.
void SetRecipientsText(EmailAddressList& list, const QString& text);

// Header lines: a header line ("Name: value") or a continuation starting with space or TAB.
class HeaderList
{
public:
    // Sets the first header of that name (any case) to the value, folded; an empty value removes it.
    void set(const QByteArray& name, const QByteArray& value);
    // Appends the header, folded, without looking for an earlier one of that name (for building a
    // fresh block whose names are all different); an empty value adds nothing.
    void add(QByteArrayView name, const QByteArray& value);
    void append(const HeaderList& other) { m_lines += other.m_lines; }
    const QList<QByteArray>& lines() const { return m_lines; }

private:
    qsizetype find(const QByteArray& name) const;
    QList<QByteArray> m_lines;
};

enum class Priority { Highest, High, Normal, Low, Lowest };

// A file sent with the message.
struct Attachment
{
    QString fileName;    // as the recipient sees it
    QByteArray mimeType; // "application/pdf" and the like
    QByteArray data;
};

struct EmailMessage
{
    EmailAddress From;
    QString Subject;
    EmailAddressList Recipients;
    EmailAddressList CCList;
    EmailAddressList BccList;
    EmailAddressList ReplyTo;
    QStringList NewsGroups;
    QString ContentType;
    QString Organization;
    EmailAddress ReceiptRecipient;
    QString References;
    QDateTime Date; // null: the time of writing
    Priority MessagePriority = Priority::Normal;
    HeaderList ExtraHeaders;
    // The envelope's sender when bounces go elsewhere than From (a return path with the
    // recipient's tag); empty: From's address.
    QString ReturnPath;
    // Put at the front of the Message-ID, so that a bounce quoting it can be traced back.
    QByteArray MessageIdTag;
    QStringList Body;
    // With an HTML body: its plain-text alternative; the message is then multipart/alternative,
    // this text first and the HTML after it.
    QStringList TextAlternative;
    // Files sent with it; the message is then multipart/mixed, its body the first part.
    QList<Attachment> Attachments;
};

// Throws a clear error when an address of the message holds CR, LF or another control character,
// which would end a header line or a command early.
void CheckMessageAddresses(const EmailMessage& message);

// The address as a header shows it: bare, or with its name quoted or encoded.
QByteArray FormatAddress(const EmailAddress& address);
QByteArray FormatAddressList(const QList<EmailAddress>& list);
