#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <optional>

// When a transiently refused entry is tried again in a run: after each of the delays in turn, at
// most three tries in all.
class RetrySchedule
{
public:
    static constexpr int kMostTries = 3;

    void setDelays(QList<int> ms) { m_delays = std::move(ms); }
    // A new run: no entry has been refused yet.
    void clear();
    // The entry was refused at `now` (milliseconds since the epoch): when it goes again, or
    // nullopt when it does not (a permanent refusal, or its tries are used up).
    std::optional<qint64> refused(const QString& entry, bool transient, qint64 now);
    // When the entry may go again; 0 when it may go now.
    qint64 notBefore(const QString& entry) const { return m_notBefore.value(entry, 0); }

private:
    QList<int> m_delays{60000, 300000};
    QHash<QString, int> m_tries;        // refused tries of entries in this run (an entry's id changes as it moves)
    QHash<QString, qint64> m_notBefore; // when a transiently refused entry may go again
};

// The waits before each new connection after a session lost its connection: growing, five tries.
class ReconnectBackoff
{
public:
    static constexpr int kMostTries = 5;

    void setDelays(QList<int> ms) { m_delays = std::move(ms); }
    // The wait before try `tries + 1`; nullopt when the tries are used up.
    std::optional<int> waitBefore(int tries) const;

private:
    QList<int> m_delays{2000, 5000, 15000, 30000, 60000};
};
