#pragma once

#include <QSet>
#include <QString>
#include <functional>

// The one rule for which lines join the pending list, shared by the intake window and the
// command line's list files: a line is trimmed of spaces and control characters at both ends;
// empty lines, entries already pending (or taken earlier from the same text) are skipped; an
// entry already in the send log is for the caller to decide (ask, skip, or take with --resend).
class IntakeRule
{
public:
    enum class Verdict { Take, Skip, SentBefore };

    IntakeRule(std::function<bool(const QString&)> isPending, std::function<bool(const QString&)> hasBeenSent);

    // The verdict for one line; *entry receives the line as it would join the list.
    Verdict judge(const QString& line, QString* entry) const;
    // The entry joins the list: later repeats of it are skipped.
    void take(const QString& entry) { m_taken.insert(entry); }

    // The line without spaces and control characters at either end.
    static QString trimEntry(const QString& line);

private:
    std::function<bool(const QString&)> m_isPending;
    std::function<bool(const QString&)> m_hasBeenSent;
    QSet<QString> m_taken;
};
