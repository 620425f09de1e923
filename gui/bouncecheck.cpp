#include "gui/bouncecheck.h"

#include "core/bounce/bounceprocessor.h"
#include "core/error.h"
#include "core/sendlog/sendlogstore.h"
#include "core/settings/settingsfile.h"
#include "gui/backgroundwork.h"
#include "gui/prompts.h"


void CheckBounces(QWidget* parent, SendLogStore& store, const CertificateDecision& ask)
{
    QList<BounceSetup> mailboxes;
    for (const QString& sender : ListSenders())
        if (const BounceSetup s = ReadBounceSetup(sender); !s.mailbox.isEmpty())
            mailboxes.append(s);
    if (mailboxes.isEmpty()) {
        Prompts::report(parent, QStringLiteral("Check bounces"),
                        QStringLiteral("No sender has a bounce mailbox. In Setting, edit a sender and fill in its bounce address "
                                       "and bounce mailbox."),
                        QMessageBox::Information);
        return;
    }
    BounceSummary summary;
    QString failure;
    const StoreLocation location = store.location();
    const BounceRules rules = ReadBounceRules();
    const bool finished = RunInBackground(
        parent, {QStringLiteral("Check bounces"), QStringLiteral("Reading the bounce mailbox..."), QStringLiteral("Cancel"), QStringLiteral("BounceProgress")},
        ask, [&](const CertificateDecision& decision, const std::atomic<bool>& stopped) { summary = FetchIntoStore(location, mailboxes, decision, rules, &stopped); },
        &failure);
    if (!finished)
        return;
    if (!failure.isEmpty()) {
        Prompts::report(parent, QStringLiteral("Check bounces"), failure, QMessageBox::Warning);
        return;
    }
    Prompts::report(parent, QStringLiteral("Check bounces"),
                    QStringLiteral("%1.\n%2 messages read; %3 automatic replies put aside, %4 read before, %5 other messages left "
                                   "unread.")
                        .arg(summary.text())
                        .arg(summary.messages)
                        .arg(summary.autoReplies)
                        .arg(summary.known)
                        .arg(summary.unrelated),
                    QMessageBox::Information);
}

QList<QStringList> FailedPageRows(SendLogStore& store, int* failedCount)
{
    QList<QStringList> rows;
    for (const SendLogStore::FailedRow& r : store.failedRows())
        rows.append({r.entry, QString::number(r.code), r.reason, r.at});
    *failedCount = int(rows.size());
    for (const BounceLog::Row& b : store.bounces().rows({}))
        rows.append({b.address, (b.status + u' ' + b.kind).trimmed(),
                     b.kind == QLatin1String("complaint") ? QStringLiteral("complaint: ") + b.reason : QStringLiteral("bounced: ") + b.reason,
                     b.received});
    return rows;
}
