#pragma once

#include <QObject>
#include <QString>
#include <QTimer>
#include <atomic>
#include <functional>
#include <thread>

#include "core/sendlog/storelocation.h"
#include "core/settings/bouncesettings.h"

// The brake of a run whose bounces come back: every few minutes the sender's bounce mailbox is
// read (on a thread of its own, over a connection of its own to the store) and the run's rates
// are worked out; hard bounces or complaints over their threshold, once enough were sent, trip
// it. A brake that another run of the same store pulled since this run began trips it too.
class BounceBrake : public QObject
{
    Q_OBJECT
public:
    explicit BounceBrake(QObject* parent = nullptr);
    ~BounceBrake() override;

    struct Plan
    {
        StoreLocation store;
        qint64 run = 0;
        QString runStarted; // SendLogTimestamp form
        BounceSetup setup;  // read when it has a mailbox
        BounceRules rules;
        int intervalMs = 0; // 0: the rules' minutes
    };
    // beforeCheck runs on this thread before each check (the run notes how many it sent).
    void start(const Plan& plan, std::function<void()> beforeCheck);
    // Ends the checks; one under way is cut short.
    void stop();

    // Why the run must stop: "hard bounces are 6.2 % of the 130 messages sent (over 5 %)".
    static QString reasonFor(qint64 sent, int hard, int complaints, const BounceRules& rules);

signals:
    void tripped(const QString& reason);
    // A check that could not be made (the mailbox could not be read): the run goes on.
    void checkFailed(const QString& why);

private:
    void check();
    void join();

    Plan m_plan;
    std::function<void()> m_beforeCheck;
    QTimer m_timer;
    std::thread m_worker;
    std::atomic<bool> m_abort{false};
    std::atomic<bool> m_busy{false};
};
