#pragma once

#include <QString>

// What the window's counters and a run's closing line show: the entries pending, sent and added in
// all over the window's life, and what the last run did with its entries.
struct RunCounters
{
    int pending = 0;
    int sent = 0;
    int all = 0;
    // The last run's.
    int runDelivered = 0;
    int refused = 0;      // recipients refused, and sessions lost
    int suppressed = 0;
    int sessionsLost = 0; // counted with the refused, though no recipient was refused

    // A list kept from before counts as added at this start.
    explicit RunCounters(int listCount = 0)
        : pending(listCount)
        , all(listCount)
    {
    }
    void startRun() { runDelivered = refused = suppressed = sessionsLost = 0; }
    // The list grew or shrank outside a run (intake, delete).
    void listChanged(int listCount)
    {
        all += listCount - pending;
        pending = listCount;
    }
    void delivered()
    {
        ++sent;
        --pending;
        ++runDelivered;
    }
    // An entry that leaves the list refused, or suppressed, in this run.
    void leftRefused()
    {
        ++refused;
        --pending;
    }
    void leftSuppressed()
    {
        ++suppressed;
        --pending;
    }
    void sessionLost()
    {
        ++refused;
        ++sessionsLost;
    }
    // The line that ends a run which left anything behind; empty when it left nothing.
    QString summary(int leftInList) const
    {
        const int refusedRecipients = refused - sessionsLost;
        if (leftInList <= 0 && refusedRecipients <= 0 && suppressed <= 0)
            return {};
        return QStringLiteral("This run: %1 sent, %2 refused, %3 suppressed, %4 still pending.")
            .arg(runDelivered)
            .arg(refusedRecipients)
            .arg(suppressed)
            .arg(leftInList);
    }
};
