#pragma once

#include <QString>

// Where a sender's bounces come back and how they are read, and the rules every sender's bounces
// follow. Kept in the settings file by sender address; without a bounce address a sender's
// messages go out exactly as they always did.
struct BounceSetup
{
    QString address;   // the return path's mailbox ("bounces@example.com"); empty: none
    QString mailbox;   // "imaps://user@host/INBOX", "imap://..." (with STARTTLS), "pop3s://..."
    QString password;
    QString processedFolder = QStringLiteral("Brevora/Processed"); // IMAP: where processed mail goes
    bool deleteProcessed = false; // POP3: processed mail is deleted rather than kept
    bool operator==(const BounceSetup&) const = default;
};
BounceSetup ReadBounceSetup(const QString& sender);
// Throws for a bounce address that cannot carry a tag or a mailbox URL that cannot be read.
void WriteBounceSetup(const QString& sender, const BounceSetup& setup);
void RemoveBounceSetup(const QString& sender);
// Throws with the reason when the URL is not a mailbox Brevora reads.
void CheckMailboxUrl(const QString& url);

struct BounceRules
{
    int softLimit = 3; // soft bounces within softDays that suppress an address
    int softDays = 30;
    double hardPercent = 5.0;      // the brake: hard bounces over this share of the messages sent,
    double complaintPercent = 0.1; // or complaints over this one,
    int brakeMinimum = 100;        // once at least this many were sent
    int checkMinutes = 5;          // how often a run reads the mailbox
};
BounceRules ReadBounceRules();
void WriteBounceRules(const BounceRules& rules);
