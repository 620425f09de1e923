#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

// What a message in a bounce mailbox says: a delivery status notification (RFC 3464), a
// complaint (an abuse report, RFC 5965), a bounce in a form of its own (qmail and others), an
// automatic reply (RFC 3834, out of office), or none of these.

enum class BounceClass {
    Hard,      // the address does not exist or takes no mail (5.1.x, 5.2.1, ...)
    Soft,      // for now (4.x.x), or the mailbox is full (5.2.2)
    Policy,    // a block of the message or the sender (5.7.x), not a bad address
    Complaint, // the recipient reported the message as spam
};
QString ClassName(BounceClass c); // "hard", "soft", "policy", "complaint"
std::optional<BounceClass> ClassFromName(const QString& name);
// The class of a status ("5.1.1") with the server's text beside it.
BounceClass ClassifyStatus(const QString& status, const QString& diagnostic);

struct BounceFinding
{
    QString address; // the recipient the report names; empty when only a tag can tell
    BounceClass kind = BounceClass::Hard;
    QString status;  // "5.1.1"; empty for a complaint
    QString reason;  // the server's text, or the complaint's feedback type
};

struct BounceReport
{
    enum class Kind {
        Unrelated, // left where it is, unread
        Bounce,
        Complaint,
        AutoReply, // recognised and put aside: nothing to record
        Delay,     // a warning that delivery is still being tried: nothing to record
    };
    Kind kind = Kind::Unrelated;
    // Counts the message once, however often it is read: its Message-ID, or a hash of its bytes.
    QByteArray key;
    QList<BounceFinding> findings;
    // Where a return-path tag may be, best first: the addresses the message came to, the
    // complaint's original sender, the returned message's return path and Message-ID, the
    // Message-IDs it refers to.
    QList<QByteArray> tagPlaces;
    // The recipients of the returned message (its To header), when it came back.
    QStringList returnedTo;
};

// Reads one message (its bytes as a file holds it, LF or CRLF line ends).
BounceReport ReadBounceReport(const QByteArray& message);
