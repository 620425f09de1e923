#pragma once

#include <QString>
#include <functional>

#include "core/settings/settingsfile.h"

class SendLogStore;

// A server's limits of messages a second, minute, hour and day, counted from the store's notes of
// deliveries through the server, so that other runs and processes through it count too.
class RateLimiter
{
public:
    using Clock = std::function<qint64()>; // milliseconds since the epoch

    struct Verdict
    {
        bool wait = false;
        // When sending may resume; 0 while the window is full only with messages on their way
        // (their results bring the next try).
        qint64 resumeAt = 0;
        // What to say about the wait; empty when it was said already.
        QString line;
    };

    // Without a store there is nothing to count: no limit holds.
    void start(const RateLimits& limits, SendLogStore* store, const QString& host, Clock clock);
    // Whether the next message may go, with `onTheirWay` messages on their way (each will be a
    // delivery in these windows).
    Verdict check(int onTheirWay);
    // Notes a delivery through the server.
    void noteSent();

private:
    RateLimits m_limits;
    SendLogStore* m_store = nullptr;
    QString m_host;
    Clock m_clock;
    qint64 m_saidResume = 0;
};
