#pragma once

#include <QList>
#include <QObject>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <vector>

#include "core/run/sessionthread.h"
#include "core/smtp/securetransport.h"
#include "core/smtp/smtpclient.h"

// A message handed to a session: framed, or still being signed; then the session frames it once
// its signatures are done.
struct FeedMessage
{
    OutgoingMessage message; // while being signed, only its tag and notAfter
    Envelope envelope;
    std::shared_future<QByteArray> signedData;
};

// The messages handed to a session, passed from the run's thread to the session's.
class SessionFeed : public DeliveryFeed
{
public:
    using Finished = std::function<void(qint64 tag, const std::optional<BrevoraError>& refusal)>;

    explicit SessionFeed(const SmtpClient& client);
    // Called on the session's thread as each message's final reply is read.
    void onFinished(Finished finished) { m_finished = std::move(finished); }
    // Called on the session's thread for a message taken past its notAfter (on the claims'
    // clock): it never goes out, and the run decides again whether it may.
    void onStale(std::function<void(qint64 tag)> stale) { m_stale = std::move(stale); }
    // Called on the session's thread before the data of messages is written.
    void onWriting(std::function<void(const QList<qint64>& tags)> writing) { m_writing = std::move(writing); }
    // Messages handed together are taken together: they can go out in one write.
    void push(std::vector<FeedMessage> messages);
    // No more messages: those not taken yet stay unsent, and the session ends once what it took
    // is done.
    void close();
    // No more messages after those queued.
    void closeAfterQueued();
    void reopen();

    std::optional<OutgoingMessage> next(bool wait) override;
    void finished(const OutgoingMessage& message, const std::optional<BrevoraError>& refusal) override;
    void writing(const QList<qint64>& tags) override
    {
        if (m_writing)
            m_writing(tags);
    }

private:
    const SmtpClient& m_client;
    Finished m_finished;
    std::function<void(qint64)> m_stale;
    std::function<void(const QList<qint64>&)> m_writing;
    std::mutex m_lock;
    std::condition_variable m_ready;
    std::deque<FeedMessage> m_queue;
    bool m_closed = false;
};

// One SMTP session of a run: its own client, TLS engine and thread, and the entries handed to it
// whose result has not come back, in the order they went.
struct RunSession
{
    // A client with the settings of `settings` (how to connect and speak).
    explicit RunSession(const SmtpClient& settings);
    // Ends the job under way: interrupted, the session's thread is joined.
    ~RunSession();
    RunSession(const RunSession&) = delete;
    RunSession& operator=(const RunSession&) = delete;

    SecureTransport tls; // outlives the client that may still use it when closing
    SmtpClient smtp;
    SessionFeed feed;
    QList<qint64> handed;
    bool streaming = false; // open and taking messages
    bool opening = false;
    bool reconnectDue = false; // waiting to connect again
    int reconnects = 0;        // tries since the connection was last lost
    // Results on their way from the session's thread to the run's, taken together when the run
    // next wakes: a window of replies costs the run one wake-up, not one each.
    struct Result
    {
        qint64 tag;
        std::optional<BrevoraError> refusal;
        bool stale; // taken past its notAfter: never sent
    };
    std::mutex resultsLock;
    std::vector<Result> results;
    bool resultsPosted = false; // a wake-up to take them is on its way
    SessionThread thread;       // last: it ends first
};

// How a run ended. A run the user stopped ends Completed, as one that emptied the list.
// Braked: the run's bounces or complaints passed their threshold (see BounceBrake).
enum class RunOutcome { Completed, Refused, ConnectFailed, AuthFailed, PrepareFailed, RecordFailed, Braked };

// Connects the session and logs in as the plan for the server's offer says, telling each step in
// activity lines; Completed, ConnectFailed or AuthFailed. Runs on the session's thread.
RunOutcome OpenAndLogIn(SmtpClient& smtp, LoginMechanism login, bool plainLoginAllowed, const QString& shownHost,
                        const std::function<void(const QString&)>& say);

// Asks the question on the context's thread (a dialog in the window) and waits for the answer, or
// for a stop; false when stopped first.
bool AskOnThreadOf(QObject* context, const std::function<bool()>& question, const std::function<bool()>& stopped);
