#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>

#include "core/bounce/bouncereport.h"
#include "core/sendlog/bouncelog.h"
#include "core/sendlog/storelocation.h"
#include "core/settings/bouncesettings.h"
#include "core/smtp/securetransport.h"

// What reading bounce mail came to.
struct BounceSummary
{
    int messages = 0;    // read
    int bounces = 0;     // new bounce results (an address in a bounce message)
    int complaints = 0;  // new complaints
    int suppressed = 0;  // addresses that went on the suppression list
    int autoReplies = 0; // automatic replies and delay warnings, put aside
    int known = 0;       // results recorded before (the same message read again)
    int unrelated = 0;   // left alone
    int untraced = 0;    // bounces that named no recipient this store knows
    // "N bounces, M complaints, K addresses suppressed"
    QString text() const;
};

// Turns bounce and complaint messages into results in the store: the class, the address and the
// run of each, the suppression of hard bounces, complaints and addresses that bounce softly too
// often. Results are recorded in batches; flush() writes what waits.
class BounceProcessor
{
public:
    BounceProcessor(BounceLog& log, const BounceRules& rules);
    ~BounceProcessor();
    // Reads one message; answers whether it was bounce mail (a bounce, a complaint, an automatic
    // reply), which may be put aside, or mail of another kind, to be left alone.
    bool process(const QByteArray& message);
    // Records the results that wait; throws the store's error.
    void flush();
    const BounceSummary& summary() const { return m_summary; }

private:
    // The recipient a tag was made for, among the delivered addresses; empty when none.
    QString addressOfTag(qint64 run, const QByteArray& mac);

    BounceLog& m_log;
    BounceRules m_rules;
    QByteArray m_secret;
    QHash<qint64, QHash<QByteArray, QString>> m_tagsOfRun;
    QList<BounceLog::Incoming> m_waiting;
    BounceSummary m_summary;
};

// Reads files a mail program saved: a message, an mbox file, or a Maildir folder (its new and cur
// folders), one message at a time; throws when a file cannot be read.
void ImportBounceFiles(const QStringList& paths, BounceProcessor& processor, const std::function<void(int)>& progress = {});
// Reads the sender's bounce mailbox, moving (or on POP3 deleting, when chosen) what was bounce
// mail and leaving the rest unread where it was.
// Reads the mailboxes into the store at the location over a connection of the calling thread's
// own (for a thread beside a window); throws the first failure.
BounceSummary FetchIntoStore(const StoreLocation& store, const QList<BounceSetup>& mailboxes, const CertificateDecision& decision,
                             const BounceRules& rules, const std::atomic<bool>* abort = nullptr);
// A set abort flag ends the reading soon after.
void FetchBounces(const BounceSetup& setup, const CertificateDecision& decision, BounceProcessor& processor,
                  const std::atomic<bool>* abort = nullptr);
