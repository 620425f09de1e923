#include "core/run/sendingrun.h"

#include "core/mail/returnpath.h"
#include "core/sendlog/storeconnection.h"
#include "core/settings/bouncesettings.h"

#include "core/error.h"
#include "core/run/pendinglist.h"
#include "core/run/prepare.h"
#include "core/run/runsession.h"
#include "core/sendlog/sendlogstore.h"
#include "core/text/textutil.h"
#include <QDateTime>
#include <QThread>
#include <climits>
#include <memory>
#include <utility>

namespace {
// The tag of the one message of a test run.
constexpr qint64 kTestTag = -1;
} // namespace

SendingRun::SendingRun(PendingList& list, QObject* parent)
    : QObject(parent)
    , m_list(list)
    , m_counts(list.count())
{
    m_timer.setInterval(50);
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &SendingRun::tick);
    m_waitTimer.setSingleShot(true);
    m_clock = [] { return QDateTime::currentMSecsSinceEpoch(); };
    connect(&m_waitTimer, &QTimer::timeout, this, &SendingRun::tick);
    m_smtp.setCertificateDecision([this](const CertificateInfo& info) { return askCertificate(info); });
    connect(&m_brake, &BounceBrake::tripped, this, [this](const QString& reason) { guarded([&] { pauseForBrake(reason); }); });
    connect(&m_brake, &BounceBrake::checkFailed, this, [this](const QString& why) { say(QStringLiteral("Bounces not checked: ") + why); });
}

SendingRun::~SendingRun()
{
    // The sessions' threads end with the job they are doing; none runs after this.
    for (const auto& s : m_sessions) {
        s->feed.close();
        s->smtp.interrupt(true);
    }
    m_sessions.clear();
}

void SendingRun::say(const QString& line)
{
    if (QThread::currentThread() == thread())
        emit activity(line);
    else
        QMetaObject::invokeMethod(this, [this, line] { emit activity(line); }, Qt::QueuedConnection);
}

bool SendingRun::askCertificate(const CertificateInfo& info)
{
    if (QThread::currentThread() == thread())
        return m_decision && m_decision(info);
    return AskOnThreadOf(this, [this, info] { return m_decision && m_decision(info); }, [this] {
        return std::any_of(m_sessions.begin(), m_sessions.end(), [](const auto& s) { return s->smtp.interrupted(); });
    });
}

void SendingRun::StartRun(const RunSelection& s, const QString& testAddress, const QString& testValues)
{
    if (m_running)
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("A sending run is under way already."));
    CheckSelection(s);
    const int port = ParseIntegerText(s.ServerPort);
    MessageExtras extras = ExtrasFor(s, m_list.store() && testAddress.isEmpty() ? m_list.store()->fieldNames() : QStringList());
    // A file for every message that cannot be read (or is too large) stops the run before it starts.
    if (extras.filesRead.size() != extras.files.size())
        for (const QString& path : extras.files)
            ReadAttachment(path, extras.largestFile);
    if (testAddress.isEmpty()) {
        // Another process may be sending this list: one run at a time, over the list as the
        // store holds it now.
        m_list.lockForRun();
        m_list.reload();
        settleUncertain(s.RecordUncertain);
        countListChange();
    }
    // The first message is written before connecting, without what belongs to its recipient
    // alone (their own file, which with Skip refused fails that entry only): an empty body, a
    // hostile sender or a file for everyone that cannot be read is told now, not after the login.
    if (const QString first = !testAddress.isEmpty() ? testAddress : m_list.count() > 0 ? m_list.entry(0) : QString(); !first.isEmpty()) {
        MessageExtras forEveryone = extras;
        forEveryone.fileColumn.clear();
        try {
            MessageFileBytes(BaseMessage(s), first, m_body ? m_body() : QStringList(), forEveryone);
        } catch (const BrevoraError& e) {
            if (e.kind() != ErrorKind::Oversized) { // a message too large fails its entry alone, in the run
                if (testAddress.isEmpty())
                    m_list.unlockRun();
                throw;
            }
        }
    }
    m_bounceAddress = s.BounceAddress.trimmed();
    m_bounceRun = 0;
    m_bounceSecret.clear();
    if (!m_bounceAddress.isEmpty() && m_list.store()) {
        SendLogStore& store = *m_list.store();
        m_bounceSecret = store.bounces().secret();
        if (!m_bounceSecret.isEmpty() && testAddress.isEmpty())
            m_bounceRun = store.bounces().beginRun(s.SenderAddress.trimmed());
        if (m_bounceSecret.isEmpty() || (testAddress.isEmpty() && m_bounceRun == 0)) {
            if (testAddress.isEmpty())
                m_list.unlockRun();
            throw BrevoraError(ErrorKind::Store, QStringLiteral("Cannot note the run in %1: %2").arg(store.shownName(), store.lastError()));
        }
    }
    if (m_bounceRun > 0) {
        BounceBrake::Plan plan{m_list.store()->location(), m_bounceRun, SendLogTimestamp(), ReadBounceSetup(s.SenderAddress),
                               ReadBounceRules(), m_brakeInterval};
        m_brake.start(plan, [this] { m_list.store()->bounces().noteRunSent(m_bounceRun, m_counts.runDelivered); });
    }
    emit runStarting();
    ++m_generation;
    m_testAddress = testAddress;
    m_testValues = testValues;
    m_flushError.clear();
    m_message = BaseMessage(s);
    m_smtp.Host = s.ServerHost.trimmed();
    m_smtp.Port = port;
    m_smtp.Username = s.ServerAccount.trimmed();
    m_smtp.Password = s.ServerPassword.trimmed();
    m_smtp.TokenCommand = s.Login.tokenCommand;
    m_smtp.setLoginMechanism(LoginMechanism::None);
    m_login = s.Login.mechanism;
    m_extras = std::move(extras);
    m_signer = m_extras.dkimKeys.isEmpty() ? nullptr : std::make_unique<MessageSigner>(m_extras.dkimKeys);
    const bool implicitTls = s.ImplicitTls;

    m_shownHost = s.ServerHost;
    m_limiter.start(s.Limits, m_list.store(), m_smtp.Host, m_clock);
    m_allowPlainLogin = s.AllowPlainLogin;
    m_inFlight = qBound(1, s.Speed.inFlight, Throughput::kMostInFlight);
    m_connections = paced() || isTestRun() ? 1 : qBound(1, s.Speed.connections, Throughput::kMostConnections);
    m_running = true;
    m_underWay = false;
    m_stopping = false;
    m_stopRequested = false;
    m_outcome = RunOutcome::Completed;
    m_counts.startRun();
    m_bytes = {};
    m_stoppedByUser = false;
    m_retries.clear();
    m_waitingForOthers = false;
    m_claimsChecked = false;
    m_runTotal = isTestRun() ? 1 : m_list.count();

    // The sessions, each with a client of its own made from the run's settings.
    m_sessions.clear(); // idle: their threads end with them
    for (int i = 0; i < m_connections; ++i) {
        auto session = std::make_unique<RunSession>(m_smtp);
        if (!s.Session.greetingName.isEmpty())
            session->smtp.HeloName = s.Session.greetingName;
        session->smtp.LargestMessage = qint64(s.Session.largestMessageMb) * 1024 * 1024;
        RunSession* target = session.get();
        const auto hand = [this, target](RunSession::Result result) {
            bool wake = false;
            {
                std::lock_guard<std::mutex> lock(target->resultsLock);
                target->results.push_back(std::move(result));
                wake = !std::exchange(target->resultsPosted, true);
            }
            if (wake)
                QMetaObject::invokeMethod(this, [this, target] { takeResults(*target); }, Qt::QueuedConnection);
        };
        session->feed.onFinished([hand](qint64 tag, const std::optional<BrevoraError>& refusal) { hand({tag, refusal, false}); });
        session->feed.onStale([hand](qint64 tag) { hand({tag, std::nullopt, true}); });
        if (WrittenMarks* marks = m_list.store() && !isTestRun() ? &m_list.store()->writtenMarks() : nullptr)
            session->feed.onWriting([marks](const QList<qint64>& tags) { marks->written(tags); });
        if (implicitTls)
            session->smtp.attachSecureTransport(&session->tls);
        else
            session->smtp.detachSecureTransport();
        m_sessions.push_back(std::move(session));
    }
    emit stateChanged(true);
    emit progress(0, m_runTotal);
    for (const auto& session : m_sessions)
        openSession(*session, false);
}

void SendingRun::openSession(RunSession& session, bool reconnecting)
{
    emit activity(QStringLiteral("Connecting Server:") + m_shownHost);
    session.opening = true;
    session.reconnectDue = false;
    session.feed.reopen();
    auto opened = std::make_shared<RunOutcome>(RunOutcome::ConnectFailed);
    session.thread.run(
        this, [this, &session, opened] { *opened = OpenAndLogIn(session.smtp, m_login, m_allowPlainLogin, m_shownHost, [this](const QString& line) { say(line); }); },
        [this, &session, opened, reconnecting](const std::optional<BrevoraError>&) {
            guarded([&] { sessionOpened(session, *opened, reconnecting); });
        });
}

void SendingRun::sessionOpened(RunSession& session, RunOutcome opened, bool reconnecting)
{
    session.opening = false;
    if (m_stopping) {
        endWhenIdle();
        return;
    }
    if (opened != RunOutcome::Completed) {
        if (reconnecting && scheduleReconnect(session))
            return;
        const bool othersGoOn = std::any_of(m_sessions.begin(), m_sessions.end(), [](const auto& s) {
            return s->streaming || s->opening || s->reconnectDue;
        });
        if (othersGoOn)
            return; // the run goes on over the sessions that are open
        m_outcome = opened;
        if (reconnecting) {
            beginStop();
            return;
        }
        // A run that never got a session ends without the lines of a stop.
        if (!isTestRun())
            m_list.unlockRun();
        m_running = false;
        emit stateChanged(false);
        emit finished(opened);
        return;
    }
    // The session takes messages until its feed is closed.
    m_underWay = true;
    session.streaming = true;
    const int window = m_inFlight;
    session.thread.run(
        this, [&session, window] { session.smtp.DeliverStream(session.feed, window); },
        [this, &session](const std::optional<BrevoraError>& failure) { guarded([&] { sessionEnded(session, failure); }); });
    if (isTestRun()) {
        qint64 bytes = 0;
        FeedMessage message =
            outgoingFor(session, m_testValues.isEmpty() ? m_testAddress : m_testAddress + QLatin1Char(',') + m_testValues, &bytes);
        message.message.tag = kTestTag;
        session.handed.append(kTestTag);
        std::vector<FeedMessage> one;
        one.push_back(std::move(message));
        session.feed.push(std::move(one));
        session.feed.closeAfterQueued();
    } else if (paced()) {
        if (messagesOnTheirWay() == 0)
            m_timer.start();
    } else {
        dispatch(INT_MAX);
    }
}

int SendingRun::capacityOf(const RunSession& session) const
{
    if (paced())
        return 1;
    const ServerCapabilities& caps = session.smtp.capabilities();
    if (!caps.pipelining)
        return 1;
    // With BDAT a window of transactions is in flight, and as many more wait ready, so that the
    // session refills the window the moment replies come back, while the results are recorded.
    // With DATA the next message goes out with the end of this one; the others wait ready.
    return caps.chunking ? 2 * m_inFlight : m_inFlight;
}

int SendingRun::messagesOnTheirWay() const
{
    int n = 0;
    for (const auto& s : m_sessions)
        n += int(s->handed.size());
    return n;
}

bool SendingRun::anySessionBusy() const
{
    return std::any_of(m_sessions.begin(), m_sessions.end(), [](const auto& s) { return s->thread.busy(); });
}

QString SendingRun::entryOf(qint64 tag) const
{
    if (tag == kTestTag)
        return m_testAddress;
    const int row = m_list.rowOf(tag);
    return row >= 0 ? m_list.entry(row) : QString();
}

FeedMessage SendingRun::outgoingFor(const RunSession& session, const QString& entry, qint64* bytes)
{
    ComposeMessage(m_message, entry, m_body ? m_body() : QStringList(), m_extras);
    if (!m_bounceSecret.isEmpty() && !m_message.Recipients.isEmpty()) {
        const QByteArray tag = ReturnPath::tagFor(m_bounceSecret, m_bounceRun, m_message.Recipients.first().Address);
        m_message.ReturnPath = ReturnPath::verpAddress(m_bounceAddress, tag);
        m_message.MessageIdTag = tag;
    }
    // Written for what this session's server offers (BDAT or DATA).
    WrittenForSession written = WriteForSession(session.smtp, m_message);
    *bytes = written.data.size();
    FeedMessage out;
    if (!m_signer) {
        out.message = session.smtp.Frame(written.envelope, std::move(written.data));
        return out;
    }
    // Signed on the signing threads while the run writes the next; what can be refused is
    // checked now, with room for the signatures.
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    session.smtp.CheckFits(written.envelope, written.data.size() + m_signer->room());
    out.envelope = std::move(written.envelope);
    out.signedData = m_signer->sign(std::move(written.data), now);
    return out;
}

void SendingRun::tick()
{
    m_timer.stop();
    if (!m_running || m_stopping)
        return;
    guarded([this] { dispatch(paced() ? 1 : INT_MAX); });
}

void SendingRun::dispatch(int budget)
{
    if (!m_running || m_stopping || isTestRun())
        return;
    bool waiting = false;
    std::vector<std::pair<RunSession*, std::vector<FeedMessage>>> handing;
    const auto handOver = [&handing] {
        for (auto& [session, messages] : handing)
            session->feed.push(std::move(messages));
        handing.clear();
    };
    bool listDone = false;
    while (budget > 0) {
        // The session with the most room takes the next message, so that all stay busy.
        RunSession* target = nullptr;
        int room = 0;
        for (const auto& s : m_sessions) {
            const int free = s->streaming ? capacityOf(*s) - int(s->handed.size()) : 0;
            if (free > room) {
                room = free;
                target = s.get();
            }
        }
        if (!target)
            break;
        const int row = m_list.nextRowToSend();
        if (row < 0) {
            // On a shared store, entries other runs hold may still come free (a run that died
            // loses its claims when their lease ends): the run waits for them, and ends when none
            // is left. This run's own deliveries go to the log first: until then their entries
            // count as held by it, for the others as for itself.
            if (m_list.claiming())
                m_list.flushDeliveries();
            if (const int held = m_list.heldByOthers(); held > 0) {
                if (!m_waitingForOthers)
                    emit activity(QStringLiteral("Waiting for %1 entries that other runs are sending").arg(held));
                m_waitingForOthers = true;
                if (!m_waitTimer.isActive())
                    m_waitTimer.start(1000);
                waiting = true;
            } else {
                listDone = true;
            }
            break;
        }
        const QString entry = m_list.entry(row);
        const qint64 id = m_list.idAt(row);
        // Bytes bound what is on its way as well as messages: large attachments at a wide
        // window would otherwise hold gigabytes. The results that come back make room.
        if (m_bytes.total > 0 && m_bytes.total + m_bytes.last > kMostBytesOnTheirWay)
            break;
        if (waitForLimit()) {
            waiting = true; // the next message comes from the wait
            break;
        }
        if (const qint64 wait = m_retries.notBefore(entry) - m_clock(); wait > 0) {
            // Only entries waiting to be tried again are left (they are at the end): wait for
            // the first of them; Stop still acts meanwhile.
            m_waitTimer.start(int(qMin<qint64>(wait, 1000)));
            waiting = true;
            break;
        }
        if (m_list.suppressionOf(id, entry)) {
            // Never mailed, whatever the refusal choice: it goes to the failed list.
            emit activity(QStringLiteral("Sending skipped: ") + entry + QStringLiteral("--suppressed"));
            m_list.recordRefused(id, 0, QStringLiteral("suppressed"), false);
            m_counts.leftSuppressed();
            emit countersChanged();
            continue;
        }
        try {
            m_list.reserveDelivery(id);
        } catch (const BrevoraError& e) {
            // Nothing goes out that could not be recorded (a full disk): the entry stays pending.
            emit activity(QStringLiteral("Recording failed: ") + entry + QStringLiteral("--") + e.message());
            m_outcome = RunOutcome::RecordFailed;
            handOver();
            beginStop();
            return;
        }
        FeedMessage message;
        qint64 bytes = 0;
        try {
            message = outgoingFor(*target, entry, &bytes);
        } catch (const BrevoraError& e) {
            m_list.release(id);
            if ((m_refusalChoice == RefusalChoice::Skip && e.kind() == ErrorKind::Usage) || e.kind() == ErrorKind::Oversized) {
                // With skip, an entry whose message cannot be made (an attachment that cannot be
                // read) fails with the reason, and the run goes on. A message too large to send
                // fails alone whatever the choice: it would stop every run that reached it.
                emit activity(QStringLiteral("Sending skipped: ") + entry + QStringLiteral("--") + e.message());
                m_list.recordRefused(id, 0, e.message(), false);
                m_counts.leftRefused();
                emit countersChanged();
                continue;
            }
            handOver();
            throw; // a message that cannot be prepared ends the run; its entry stays where it is
        }
        message.message.tag = id;
        message.message.notAfter = m_list.claimsSafeUntil();
        m_bytes.add(id, bytes);
        target->handed.append(id);
        if (handing.empty() || handing.back().first != target)
            handing.push_back({target, {}});
        handing.back().second.push_back(std::move(message));
        --budget;
    }
    handOver();
    if (!waiting && messagesOnTheirWay() == 0
        && (listDone || (!m_list.claiming() && (m_list.firstIdleRow() < 0 || m_counts.pending <= 0))))
        beginStop(); // the list is done
}

void SendingRun::beginStop()
{
    m_stopping = true;
    m_timer.stop();
    m_waitTimer.stop();
    for (const auto& s : m_sessions) {
        s->feed.close();
        s->reconnectDue = false;
    }
    endWhenIdle();
}

void SendingRun::pauseForBrake(const QString& reason)
{
    if (!m_running || m_stopping)
        return;
    m_list.store()->bounces().applyBrake(m_bounceRun, reason); // every other run of the list stops too
    m_outcome = RunOutcome::Braked;
    say(QStringLiteral("The run is paused: %1. The entries not sent stay on the list: look at the bounces in History "
                       "before starting it again.").arg(reason));
    StopRun();
}

void SendingRun::StopRun()
{
    m_stoppedByUser = m_running && m_outcome != RunOutcome::Braked;
    if (m_running && anySessionBusy()) {
        // Messages on their way are finished; every other wait is cut short, and the run ends
        // when the sessions are back.
        if (!m_stopRequested) {
            m_stopRequested = true;
            for (const auto& s : m_sessions)
                s->smtp.interrupt(false);
            if (awaitingReplies())
                emit activity(QStringLiteral("Stopping: waiting for the server's reply to the messages on their way"));
        }
        beginStop();
        return;
    }
    m_stopping = true;
    endRun();
}

void SendingRun::endWhenIdle()
{
    if (m_running && !anySessionBusy())
        endRun();
}

bool SendingRun::awaitingReplies() const
{
    return std::any_of(m_sessions.begin(), m_sessions.end(), [](const auto& s) { return s->smtp.awaitingFinalReply(); });
}

void SendingRun::endRun()
{
    for (const auto& s : m_sessions) {
        s->smtp.CloseSession();
        for (qint64 tag : std::exchange(s->handed, {})) {
            m_list.release(tag);
            m_bytes.remove(tag);
        }
        s->streaming = false;
        s->opening = false;
        s->reconnectDue = false;
    }
    if (m_outcome != RunOutcome::RecordFailed) {
        try {
            m_list.flushDeliveries();
        } catch (const BrevoraError& e) {
            // The deliveries stay in the journal and reach the send log when it can be written again.
            emit activity(QStringLiteral("Recording failed: ") + e.message());
            m_outcome = RunOutcome::RecordFailed;
        }
    }
    m_brake.stop();
    if (m_bounceRun > 0)
        m_list.store()->bounces().noteRunSent(m_bounceRun, m_counts.runDelivered); // its bounce rates are shares of this
    m_list.unlockRun();
    const bool wasRunning = m_running;
    m_running = false;
    emit stateChanged(false);
    emit activity(QStringLiteral("All emails have been sent"));
    // A run that leaves anything behind says what became of the list.
    if (const QString summary = m_counts.summary(m_list.count()); wasRunning && !isTestRun() && !summary.isEmpty())
        emit activity(summary);
    m_timer.stop();
    m_waitTimer.stop();
    if (wasRunning)
        emit finished(m_outcome);
}

void SendingRun::guarded(const std::function<void()>& step)
{
    try {
        step();
    } catch (const BrevoraError& e) {
        // A message that cannot be prepared ends the run cleanly; its entry stays where it is.
        m_outcome = RunOutcome::PrepareFailed;
        emit errorRaised(e.message());
        if (m_running)
            beginStop();
    }
}

bool SendingRun::waitForLimit()
{
    const RateLimiter::Verdict verdict = m_limiter.check(messagesOnTheirWay());
    if (!verdict.wait)
        return false;
    if (!verdict.line.isEmpty())
        emit activity(verdict.line);
    if (verdict.resumeAt > 0)
        m_waitTimer.start(int(qMin<qint64>(verdict.resumeAt - m_clock(), 1000))); // Stop still acts meanwhile
    return true;
}

bool SendingRun::connected() const
{
    return std::any_of(m_sessions.begin(), m_sessions.end(), [](const auto& s) { return s->smtp.Connected(); });
}
