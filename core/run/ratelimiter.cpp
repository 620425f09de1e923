#include "core/run/ratelimiter.h"

#include "core/sendlog/sendlogstore.h"

#include <QDateTime>

void RateLimiter::start(const RateLimits& limits, SendLogStore* store, const QString& host, Clock clock)
{
    m_limits = limits;
    m_store = store;
    m_host = host;
    m_clock = std::move(clock);
    m_saidResume = 0;
}

RateLimiter::Verdict RateLimiter::check(int onTheirWay)
{
    Verdict verdict;
    if (!m_limits.any() || !m_store)
        return verdict;
    const qint64 now = m_clock();
    const struct
    {
        int limit;
        qint64 window;
        const char* name;
        const char* shown;
    } windows[] = {
        {m_limits.perSecond, 1000, "Per-second", "HH:mm:ss"},
        {m_limits.perMinute, 60000, "Per-minute", "HH:mm:ss"},
        {m_limits.perHour, 3600000, "Hourly", "HH:mm"},
        {m_limits.perDay, 86400000, "Daily", "HH:mm"},
    };
    qint64 resume = 0;
    QString line;
    for (const auto& w : windows) {
        if (w.limit <= 0)
            continue;
        qint64 earliest = 0;
        const int sent = m_store->countSentBy(m_host, now - w.window + 1, &earliest);
        if (sent + onTheirWay < w.limit)
            continue;
        if (sent < w.limit) {
            verdict.wait = true; // full with messages on their way
            return verdict;
        }
        const qint64 at = earliest + w.window;
        if (at > resume) {
            resume = at;
            line = QStringLiteral("%1 limit of %2 reached; sending resumes at %3")
                       .arg(QLatin1String(w.name))
                       .arg(w.limit)
                       .arg(QDateTime::fromMSecsSinceEpoch(at).toString(QLatin1String(w.shown)));
        }
    }
    if (resume <= now)
        return verdict;
    verdict.wait = true;
    verdict.resumeAt = resume;
    if (resume != m_saidResume) {
        m_saidResume = resume;
        verdict.line = line;
    }
    return verdict;
}

void RateLimiter::noteSent()
{
    if (m_limits.any() && m_store)
        m_store->noteSentBy(m_host, m_clock());
}
