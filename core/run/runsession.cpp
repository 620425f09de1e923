#include "core/run/runsession.h"

#include <chrono>

SessionFeed::SessionFeed(const SmtpClient& client)
    : m_client(client)
{
}

void SessionFeed::push(std::vector<OutgoingMessage> messages)
{
    std::lock_guard<std::mutex> hold(m_lock);
    for (OutgoingMessage& m : messages)
        m_queue.push_back(std::move(m));
    m_ready.notify_one();
}

void SessionFeed::close()
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_closed = true;
    m_queue.clear();
    m_ready.notify_one();
}

void SessionFeed::closeAfterQueued()
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_closed = true;
    m_ready.notify_one();
}

void SessionFeed::reopen()
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_closed = false;
    m_queue.clear();
}

std::optional<OutgoingMessage> SessionFeed::next(bool wait)
{
    std::unique_lock<std::mutex> hold(m_lock);
    // A stop wakes the wait within a tenth of a second.
    while (wait && m_queue.empty() && !m_closed && !m_client.interrupted())
        m_ready.wait_for(hold, std::chrono::milliseconds(100));
    if (m_queue.empty())
        return std::nullopt;
    OutgoingMessage message = std::move(m_queue.front());
    m_queue.pop_front();
    return message;
}

void SessionFeed::finished(const OutgoingMessage& message, const std::optional<BrevoraError>& refusal)
{
    m_finished(message.tag, refusal);
}

RunSession::RunSession(const SmtpClient& settings)
    : feed(smtp)
{
    smtp.copySettingsFrom(settings);
}

RunSession::~RunSession()
{
    feed.close();
    smtp.interrupt(true);
    thread.finish();
}
