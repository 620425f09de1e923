#pragma once

#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/mail/emailmessage.h"
#include "core/settings/settingsfile.h"
#include "core/run/bouncebrake.h"
#include "core/run/messagesigner.h"
#include "core/run/pendinglist.h"
#include "core/run/prepare.h"
#include "core/run/ratelimiter.h"
#include "core/run/runcounters.h"
#include "core/run/retryschedule.h"
#include "core/run/runsession.h"
#include "core/run/runselection.h"
#include "core/smtp/securetransport.h"
#include "core/smtp/smtpclient.h"


// What a run does when the server refuses a recipient: stop (as it always has), or skip it. With
// skip a permanent refusal (5xx) moves the entry to the failed list and the run goes on; a
// transient one (4xx) sends the entry behind the others, to be tried again after a growing delay
// (1 and then 5 minutes; three tries in a run at most) before it counts as failed.
enum class RefusalChoice { Stop, Skip };


// The sending run: one SMTP session, one message per timer tick, each delivered entry removed
// from the pending list and recorded in the send log, the first refusal ending the run. The main
// window and the command line drive the same object and show what it reports.
//
// Each session runs on a thread of its own; the run, the list and the store stay on the thread
// that owns the run, which is never held up by the server. With an interval of 0 the run goes as
// fast as the server allows: messages are handed to the session ahead of time (up to the
// selection's messages in flight where the server takes BDAT, one ahead with PIPELINING alone),
// over as many connections as the selection says, all taking entries from the one list.
class SendingRun : public QObject
{
    Q_OBJECT
public:
    explicit SendingRun(PendingList& list, QObject* parent = nullptr);
    ~SendingRun() override;

    // The body lines of the content, read for every message.
    void setBodyProvider(std::function<QStringList()> provider) { m_body = std::move(provider); }
    // Asked on the run's thread, whichever thread the handshake runs on.
    void setCertificateDecision(CertificateDecision decision) { m_decision = std::move(decision); }
    void setInterval(int ms) { m_timer.setInterval(ms); }
    void setRefusalChoice(RefusalChoice choice) { m_refusalChoice = choice; }
    // The waits before the second, third, ... try of a transiently refused entry.
    void setRetryDelays(QList<int> ms) { m_retries.setDelays(std::move(ms)); }
    // The waits before each new connection after the connection was lost (with the skip choice).
    void setReconnectDelays(QList<int> ms) { m_backoff.setDelays(std::move(ms)); }
    // How often the bounce brake checks (tests check often); 0: the bounce rules' minutes.
    void setBrakeInterval(int ms) { m_brakeInterval = ms; }
    // The clock the rate limits read (milliseconds since the epoch); tests set their own.
    void setClock(std::function<qint64()> clock) { m_clock = std::move(clock); }

    // Starts the run (running from now on) and opens the session; the messages follow once it is
    // open. Over the pending list, or, with a test address, one message to it that touches
    // neither the list nor the send log. Throws before anything else for a missing sender, a port
    // that is not a number, a file for every message that cannot be read, a list another run is
    // using, or deliveries the store could not apply yet; every other failure is reported as
    // activity.
    // A test message may take the values of an entry (its text after the address), so that its
    // placeholders are filled as that recipient's would be.
    void StartRun(const RunSelection& selection, const QString& testAddress = {}, const QString& testValues = {});
    // Ends the run. Every wait is cut short at once except for the server's reply to data already
    // written, which tells whether that message was delivered: it is read (within the reply
    // time limit) and recorded, and the run ends as soon as every session is back.
    void StopRun();
    // Whether a stop waits for the server's reply to messages whose data went out.
    bool awaitingReplies() const;
    // One tick: the next message.
    void tick();

    bool running() const { return m_running; }
    // Whether a session of the last run opened and logged in (the run got under way).
    bool wentUnderWay() const { return m_underWay; }
    bool isTestRun() const { return !m_testAddress.isEmpty(); }
    int pendingCount() const { return m_counts.pending; }
    int sentCount() const { return m_counts.sent; }
    int allCount() const { return m_counts.all; }
    // Entries of this run that ended refused (with the skip choice the run goes on after them).
    int refusedCount() const { return m_counts.refused; }
    // The pending list grew or shrank outside a run (intake, delete): the counters follow it.
    void countListChange()
    {
        m_counts.listChanged(m_list.count());
        emit countersChanged();
    }
    // Failed entries came back to the list: pending again, not added again.
    void countRetried()
    {
        m_counts.pending = m_list.count();
        emit countersChanged();
    }
    // Another process changed the list: it added entries, and sent some of those that are gone.
    void countChangedElsewhere(int added, int sentElsewhere)
    {
        m_counts.all += added;
        m_counts.sent += sentElsewhere;
        countRetried();
    }
    // Whether the last run ended because the user stopped it.
    bool stoppedByUser() const { return m_stoppedByUser; }
    // Whether the last run ended because its connection was lost and could not be opened again.
    bool lostItsConnection() const { return m_counts.sessionsLost > 0; }
    // While this run drains a shared store with others: how many entries the store still holds.
    void notePendingInStore(int count)
    {
        if (std::exchange(m_counts.pending, count) != count)
            emit countersChanged();
    }

    // The settings every session's client is made with (how to connect and speak); never connected.
    SmtpClient& smtp() { return m_smtp; }
    // Whether a session of the run is connected now.
    bool connected() const;
    EmailMessage& message() { return m_message; }

signals:
    void activity(const QString& line);
    void countersChanged();
    // Running or idle; the window sets its captions from it.
    void stateChanged(bool running);
    void runStarting();
    // The run's progress: delivered in this run, and the list length when it started.
    void progress(int delivered, int total);
    // An error for the application's error report (a message that could not be prepared).
    void errorRaised(const QString& message);
    void finished(RunOutcome outcome);

private:
    void openSession(RunSession& session, bool reconnecting);
    void sessionOpened(RunSession& session, RunOutcome opened, bool reconnecting);
    void sessionEnded(RunSession& session, const std::optional<BrevoraError>& failure);
    // An activity line from either thread, shown in order.
    void say(const QString& line);
    bool askCertificate(const CertificateInfo& info);

    // Hands messages to the sessions, as many as each may have on its way (at most budget).
    void dispatch(int budget);
    // The message of the entry (or the test address) for a session's server; throws when it
    // cannot be prepared.
    FeedMessage outgoingFor(const RunSession& session, const QString& entry, qint64* bytes);
    // Handles the results the session's thread handed over since the last time, in order.
    void takeResults(RunSession& session);
    void messageFinished(RunSession& session, qint64 tag, const std::optional<BrevoraError>& refusal);
    // A message the session took too late to send for its claim: it goes back to the list.
    void messageStale(RunSession& session, qint64 tag);
    // After a result: the next messages, or the end of a run that is stopping.
    void goOnAfterResult();
    // Entries a run that died may have sent (see WrittenMarks): sent again, or recorded as
    // delivered without confirmation. Says which, when there are any.
    void settleUncertain(bool record);
    void delivered(qint64 id, const QString& entry);
    // With the skip choice: records the refusal of the entry and says whether the run goes on.
    bool skipRefused(qint64 id, const QString& entry, const BrevoraError& refusal);
    // The text of the entry a session was given (the test address for a test run).
    QString entryOf(qint64 tag) const;
    // No more messages: the sessions finish what is on its way, then the run ends.
    void beginStop();
    // Ends the run once no session is busy.
    void endWhenIdle();
    void endRun();
    // Runs a step of the run; a message that cannot be prepared, or a store that fails, ends it.
    void guarded(const std::function<void()>& step);
    // A session whose connection was lost (or which the server ended) is opened again after a
    // growing wait (five tries); false when the tries are used up.
    bool scheduleReconnect(RunSession& session, bool lost = true);
    // At a rate limit: says so once, waits (Stop still acts) and answers true.
    bool waitForLimit();
    bool paced() const { return m_timer.interval() > 0; }
    // How many messages the session may have on its way.
    int capacityOf(const RunSession& session) const;
    bool anySessionBusy() const;
    int messagesOnTheirWay() const;

    PendingList& m_list;
    SmtpClient m_smtp;
    CertificateDecision m_decision;
    EmailMessage m_message;
    QTimer m_timer;
    std::function<QStringList()> m_body;
    QString m_testAddress;
    QString m_testValues;
    bool m_running = false;
    bool m_underWay = false;
    RunOutcome m_outcome = RunOutcome::Completed;
    RunCounters m_counts;
    bool m_waitingForOthers = false; // said once that the run waits for entries of other runs
    bool m_claimsChecked = false;    // said once that the claims are renewed before sending more
    int m_runTotal = 0;
    RefusalChoice m_refusalChoice = RefusalChoice::Stop;
    RetrySchedule m_retries;
    QTimer m_waitTimer;
    ReconnectBackoff m_backoff;
    QString m_shownHost;
    RateLimiter m_limiter;
    std::function<qint64()> m_clock;
    bool m_allowPlainLogin = false;
    LoginMechanism m_login = LoginMechanism::Automatic;
    MessageExtras m_extras;
    // Bounces come back to a return path that names the recipient: the sender's bounce address,
    // the store's secret and this run's id in the store.
    QString m_bounceAddress;
    QByteArray m_bounceSecret;
    qint64 m_bounceRun = 0;
    BounceBrake m_brake;
    int m_brakeInterval = 0;
    // The brake tripped: the run stops as if stopped, and says why.
    void pauseForBrake(const QString& reason);
    int m_inFlight = 32;
    int m_connections = 1;
    bool m_stoppedByUser = false;
    QString m_flushError; // a batch that could not be applied
    bool m_stopping = false;      // no more messages: the run ends when the sessions are back
    bool m_stopRequested = false; // the user asked to stop
    quint64 m_generation = 0;     // tells a late timer of an earlier run from this run's
    std::unique_ptr<MessageSigner> m_signer; // with DKIM keys; outlives the sessions waiting on it
    std::vector<std::unique_ptr<RunSession>> m_sessions;
    // The bytes of the messages handed to sessions and not finished, by tag.
    struct BytesOnTheirWay
    {
        QHash<qint64, qint64> of;
        qint64 total = 0;
        qint64 last = 0; // the size of the last message made: the next is likely alike
        void add(qint64 tag, qint64 bytes)
        {
            of.insert(tag, bytes);
            total += bytes;
            last = bytes;
        }
        void remove(qint64 tag) { total -= of.take(tag); }
    } m_bytes;
    static constexpr qint64 kMostBytesOnTheirWay = 64LL * 1024 * 1024;
};
