#pragma once

#include <QByteArray>
#include <QList>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "core/mail/dkim.h"

// Signs messages on threads of their own, as many as the machine has cores: a signature costs
// far more than writing the message, and one thread would hold a run to the rate of one core.
// Messages are signed in the order they are given; each result is waited for where it is needed
// (the session that sends the message), so the run goes on writing the next ones meanwhile.
class MessageSigner
{
public:
    explicit MessageSigner(QList<Dkim::Key> keys);
    // Waits for the signatures under way; those not begun are dropped.
    ~MessageSigner();
    MessageSigner(const MessageSigner&) = delete;
    MessageSigner& operator=(const MessageSigner&) = delete;

    // The message with its signatures, once a thread has made them (or the reason it could not).
    std::shared_future<QByteArray> sign(QByteArray message, qint64 now);
    // Bytes the signatures add at most (the same for years: t= keeps its ten digits until 2286).
    qsizetype room() const { return m_room; }

private:
    void work();

    const QList<Dkim::Key> m_keys;
    const qsizetype m_room;
    std::mutex m_lock;
    std::condition_variable m_ready;
    std::deque<std::packaged_task<QByteArray(const QList<Dkim::Key>&)>> m_jobs;
    bool m_ending = false;
    int m_idle = 0; // threads waiting for a job: only they need waking
    std::vector<std::thread> m_threads;
};
