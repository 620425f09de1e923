#include "core/run/retryschedule.h"

void RetrySchedule::clear()
{
    m_tries.clear();
    m_notBefore.clear();
}

std::optional<qint64> RetrySchedule::refused(const QString& entry, bool transient, qint64 now)
{
    const int tries = ++m_tries[entry];
    if (!transient || tries >= kMostTries || m_delays.isEmpty())
        return std::nullopt;
    const qint64 due = now + m_delays[qMin(tries, int(m_delays.size())) - 1];
    m_notBefore.insert(entry, due);
    return due;
}

std::optional<int> ReconnectBackoff::waitBefore(int tries) const
{
    if (tries >= kMostTries || m_delays.isEmpty())
        return std::nullopt;
    return m_delays[qMin(tries, int(m_delays.size()) - 1)];
}
