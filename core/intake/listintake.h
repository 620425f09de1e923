#pragma once

#include <QElapsedTimer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <functional>

#include "core/intake/intakerule.h"

class SendLogStore;

// The one way lines join the pending list, in the window and on the command line alike: each line
// is judged by the intake rule against the list, the send log and the suppression list (asked once
// for all the lines), and the entries taken are appended in batches. While an intake lasts it
// holds the store's intake lock, so that processes adding the same lines to a shared list take
// turns and add them once.
class ListIntake
{
public:
    struct Handlers
    {
        // An entry already in the send log: whether it joins all the same.
        std::function<bool(const QString& entry)> resend;
        // A line that does not join (a duplicate, sent to before and not to be sent again, refused
        // or suppressed): its index among the lines, the verdict, and why.
        std::function<void(qsizetype index, IntakeRule::Verdict verdict, const QString& reason)> leftOut;
        // After a batch reached the list: the index of its last line and that line's entry.
        std::function<void(qsizetype index, const QString& entry)> progress;
        // How often taken entries reach the list, in milliseconds; -1: once, at the end.
        int batchMs = -1;
    };

    // Skip: only to look (a dry run adds nothing, so it need not wait its turn).
    enum class Lock { Take, Skip };

    // Without a store the list is kept in memory: nothing to ask, nothing to lock. Throws a store
    // error when the lock cannot be taken.
    ListIntake(SendLogStore* store, std::function<bool(const QString&)> isPending,
               std::function<void(const QStringList&)> append, Lock lock = Lock::Take);
    ~ListIntake();
    ListIntake(const ListIntake&) = delete;
    ListIntake& operator=(const ListIntake&) = delete;

    // The names of the values of the entries to come (a table's header); throws a store error.
    void saveFieldNames(const QStringList& names);
    // Judges the lines and appends those taken (nothing is appended without an append function);
    // the entries taken, in order. A long list may come in pieces, a call each.
    QStringList add(const QStringList& lines, const Handlers& handlers);

private:
    SendLogStore* m_store;
    bool m_locked = false;
    std::function<bool(const QString&)> m_isPending;
    std::function<void(const QStringList&)> m_append;
    QSet<QString> m_takenUnlisted; // without an append function: the address keys taken so far
};
