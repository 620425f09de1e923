#pragma once

#include <QSet>
#include <QString>
#include <functional>
#include <optional>

// The one rule for which lines join the pending list, shared by the intake window and the
// command line's list files: a line is trimmed of spaces and control characters at both ends;
// empty lines, entries already pending (or taken earlier from the same text) are skipped; a line
// that could never be sent (a control character inside, text the code page cannot hold, an
// address that is not ASCII or longer than a path may be) is refused with the reason, so that it
// never blocks the list; an entry whose address is on the suppression list is left out with a
// line saying so; an entry already in the send log is for the caller to decide (ask, skip, or
// take with --resend).
class IntakeRule
{
public:
    // Skip: an empty line; Duplicate: an entry pending already, or taken earlier from the same text.
    enum class Verdict { Take, Skip, Duplicate, Refused, Suppressed, SentBefore };

    // isSuppressed answers why an entry's address is suppressed, or nullopt when it is not.
    using SuppressedCheck = std::function<std::optional<QString>(const QString&)>;
    IntakeRule(std::function<bool(const QString&)> isPending, std::function<bool(const QString&)> hasBeenSent,
               SuppressedCheck isSuppressed = {});

    // The verdict for one line; *entry receives the line as it would join the list, and *reason
    // why it is refused.
    Verdict judge(const QString& line, QString* entry, QString* reason = nullptr) const;
    // The entry joins the list: later repeats of it are skipped.
    void take(const QString& entry);

    // The line without spaces and control characters at either end.
    static QString trimEntry(const QString& line);
    // Why an entry could never be sent (a clause without a final full stop), or nothing when it can.
    static QString refusalOf(const QString& entry);

private:
    std::function<bool(const QString&)> m_isPending;
    std::function<bool(const QString&)> m_hasBeenSent;
    SuppressedCheck m_isSuppressed;
    QSet<QString> m_taken; // address keys
};
