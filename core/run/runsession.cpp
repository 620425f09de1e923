#include "core/run/runsession.h"

#include "core/sendlog/claims.h"
#include "core/text/textutil.h"

#include <QMetaObject>
#include <chrono>
#include <memory>

SessionFeed::SessionFeed(const SmtpClient& client)
    : m_client(client)
{
}

void SessionFeed::push(std::vector<FeedMessage> messages)
{
    std::lock_guard<std::mutex> hold(m_lock);
    for (FeedMessage& m : messages)
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
    for (;;) {
        // A stop wakes the wait within a tenth of a second.
        while (wait && m_queue.empty() && !m_closed && !m_client.interrupted())
            m_ready.wait_for(hold, std::chrono::milliseconds(100));
        if (m_queue.empty())
            return std::nullopt;
        if (const std::shared_future<QByteArray> signing = m_queue.front().signedData; signing.valid()) {
            // Its signatures are still being made: without waiting, what is ready goes first.
            if (signing.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
                if (!wait || m_client.interrupted())
                    return std::nullopt;
                hold.unlock();
                signing.wait_for(std::chrono::milliseconds(100));
                hold.lock();
                continue; // the queue may have been cleared meanwhile
            }
            FeedMessage& front = m_queue.front();
            OutgoingMessage framed = m_client.Frame(front.envelope, signing.get());
            framed.tag = front.message.tag;
            framed.notAfter = front.message.notAfter;
            front.message = std::move(framed);
            front.signedData = {};
        }
        OutgoingMessage message = std::move(m_queue.front().message);
        m_queue.pop_front();
        // Handed over while its claim was safe, taken after (the process was stopped, the
        // machine slept): it goes back unsent.
        if (message.notAfter == 0 || Claims::clockMs() <= message.notAfter)
            return message;
        hold.unlock();
        if (m_stale)
            m_stale(message.tag);
        hold.lock();
    }
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

RunOutcome OpenAndLogIn(SmtpClient& smtp, LoginMechanism login, bool plainLoginAllowed, const QString& shownHost,
                       const std::function<void(const QString&)>& say)
{
    try {
        smtp.OpenSession();
    } catch (const BrevoraError& e) {
        smtp.CloseSession();
        if (smtp.interrupted())
            return RunOutcome::ConnectFailed; // stopped: the stop says what happened
        say(QStringLiteral("Connecting Server Failed:") + shownHost);
        // The line above is the same for every cause; this one tells them apart.
        // A network failure names where it could not reach.
        const QString where = !e.detail().isEmpty()            ? e.detail()
            : e.kind() == ErrorKind::Network ? QStringLiteral("%1, port %2").arg(smtp.Host).arg(smtp.Port)
                                             : QString();
        say(QStringLiteral("Reason: ") + PrintableText(e.message(), true) + (where.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(where)));
        return RunOutcome::ConnectFailed;
    }

    const LoginPlan plan = PlanLogin(login, smtp.OfferedAuthSchemes(), smtp.secure(), smtp.peerIsLoopback(),
                                     plainLoginAllowed, smtp.Host);
    if (plan.step == LoginPlan::Step::Skip) {
        say(QStringLiteral("The server does not require authentication"));
        smtp.setLoginMechanism(LoginMechanism::None);
        say(QStringLiteral("Authentication is ok"));
        return RunOutcome::Completed;
    }
    if (plan.step != LoginPlan::Step::MechanismMissing)
        say(QStringLiteral("The server requires authentication"));
    if (plan.step != LoginPlan::Step::LogIn) {
        say(plan.refusal);
        smtp.CloseSession();
        return RunOutcome::AuthFailed;
    }
    smtp.setLoginMechanism(plan.mechanism);
    say(QStringLiteral("Authentication begins"));
    try {
        smtp.LogIn();
    } catch (const BrevoraError& e) {
        smtp.CloseSession();
        if (!smtp.interrupted()) {
            say(QStringLiteral("Authentication failed"));
            // A token command that failed says why; a server's refusal is quoted, with where the
            // password is changed.
            if (e.kind() == ErrorKind::Usage)
                say(QStringLiteral("Reason: ") + e.message());
            else if (e.kind() == ErrorKind::Refusal || e.kind() == ErrorKind::SessionEnded)
                say(QStringLiteral("Reason: the server answered \"%1 %2\". Check the account and password under Setting, SMTP Server.")
                        .arg(e.replyCode())
                        .arg(PrintableText(e.message().trimmed(), true)));
        }
        return RunOutcome::AuthFailed;
    }
    say(QStringLiteral("Authentication is ok"));
    return RunOutcome::Completed;
}

bool AskOnThreadOf(QObject* context, const std::function<bool()>& question, const std::function<bool()>& stopped)
{
    struct Answer
    {
        std::mutex lock;
        std::condition_variable given;
        std::optional<bool> value;
    };
    auto answer = std::make_shared<Answer>();
    QMetaObject::invokeMethod(
        context,
        [question, answer] {
            const bool accepted = question();
            std::lock_guard<std::mutex> hold(answer->lock);
            answer->value = accepted;
            answer->given.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock<std::mutex> hold(answer->lock);
    while (!answer->value && !stopped())
        answer->given.wait_for(hold, std::chrono::milliseconds(100));
    return answer->value.value_or(false);
}
