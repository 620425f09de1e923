#include "core/run/messagesigner.h"

#include <QDateTime>
#include <QThread>
#include <openssl/evp.h>
#include <pthread.h>
#include <utility>

MessageSigner::MessageSigner(QList<Dkim::Key> keys)
    : m_keys(std::move(keys))
    , m_room(Dkim::SignatureRoom(m_keys, QDateTime::currentSecsSinceEpoch()))
{
    const int threads = qMax(1, QThread::idealThreadCount());
    for (int i = 0; i < threads; ++i)
        m_threads.emplace_back([this] { work(); });
}

MessageSigner::~MessageSigner()
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_ending = true;
        m_jobs.clear(); // their futures report a broken promise to anyone still waiting
    }
    m_ready.notify_all();
    for (std::thread& t : m_threads)
        t.join();
}

std::shared_future<QByteArray> MessageSigner::sign(QByteArray message, qint64 now)
{
    std::packaged_task<QByteArray(const QList<Dkim::Key>&)> job(
        [message = std::move(message), now](const QList<Dkim::Key>& keys) { return Dkim::Sign(message, keys, now); });
    std::shared_future<QByteArray> result = job.get_future().share();
    bool wake = false;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_jobs.push_back(std::move(job));
        wake = m_idle > 0;
    }
    // A busy thread takes the job when it is done: a wake-up costs a system call.
    if (wake)
        m_ready.notify_one();
    return result;
}

void MessageSigner::work()
{
    pthread_setname_np(pthread_self(), "dkim signing");
    // Each thread signs with keys of its own: threads that share an RSA key wait on each other.
    QList<Dkim::Key> keys = m_keys;
    for (Dkim::Key& key : keys)
        if (EVP_PKEY* copy = EVP_PKEY_dup(key.key.get()))
            key.key.reset(copy, EVP_PKEY_free);
    for (;;) {
        std::packaged_task<QByteArray(const QList<Dkim::Key>&)> job;
        {
            std::unique_lock<std::mutex> hold(m_lock);
            ++m_idle;
            m_ready.wait(hold, [this] { return m_ending || !m_jobs.empty(); });
            --m_idle;
            if (m_ending)
                return;
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        job(keys);
    }
}
