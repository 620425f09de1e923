#include "core/run/sendingrun.h"

#include "core/error.h"
#include "core/run/pendinglist.h"
#include "core/run/prepare.h"
#include "core/text/textutil.h"

#include <QDateTime>
#include <QThread>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <utility>

namespace {
// A message written ahead is used only this soon after, so that its Date line is the moment it
// goes out, give or take a second.
constexpr qint64 kAheadFreshMs = 500;
} // namespace

SendingRun::SendingRun(PendingList& list, QObject* parent)
    : QObject(parent)
    , m_list(list)
    , m_pendingCount(list.count())
    , m_allCount(list.count()) // a list kept from before counts as added at this start
{
    m_timer.setInterval(50);
    m_timer.setSingleShot(false);
    connect(&m_timer, &QTimer::timeout, this, &SendingRun::MainTimerTimer);
    m_waitTimer.setSingleShot(true);
    m_clock = [] { return QDateTime::currentMSecsSinceEpoch(); };
    connect(&m_waitTimer, &QTimer::timeout, this, &SendingRun::MainTimerTimer);
    m_hardStop.setSingleShot(true);
    m_hardStop.setInterval(900);
    connect(&m_hardStop, &QTimer::timeout, this, [this] { m_smtp.interrupt(true); });
    m_smtp.setCertificateDecision([this](const CertificateInfo& info) { return askCertificate(info); });
}

SendingRun::~SendingRun()
{
    m_smtp.interrupt(true); // the session thread ends with the job it is doing
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
    // The question is put on the run's thread (a dialog in the window); the session waits for the
    // answer, or for a stop.
    struct Answer
    {
        std::mutex lock;
        std::condition_variable given;
        std::optional<bool> value;
    };
    auto answer = std::make_shared<Answer>();
    QMetaObject::invokeMethod(
        this,
        [this, info, answer] {
            const bool accepted = m_decision && m_decision(info);
            std::lock_guard<std::mutex> hold(answer->lock);
            answer->value = accepted;
            answer->given.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock<std::mutex> hold(answer->lock);
    while (!answer->value && !m_smtp.interrupted())
        answer->given.wait_for(hold, std::chrono::milliseconds(100));
    return answer->value.value_or(false);
}

void SendingRun::countListChange()
{
    m_allCount += m_list.count() - m_pendingCount;
    m_pendingCount = m_list.count();
    emit countersChanged();
}

void SendingRun::StartRun(const RunSelection& s, const QString& testAddress)
{
    if (m_running)
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("A sending run is under way already."));
    // Without a sender the message would go out with an empty envelope and no From line.
    if (s.SenderAddress.trimmed().isEmpty())
        throw BrevoraError(ErrorKind::Usage,
                           QStringLiteral("No sender address is selected. Add one under Setting, Sender Addresses, "
                                          "and pick it in the main window (or name it with --sender)."));
    const int port = ParseIntegerText(s.ServerPort);
    if (testAddress.isEmpty()) {
        // Another process may be sending this list: one run at a time, over the list as the
        // store holds it now.
        m_list.lockForRun();
        m_list.reload();
        countListChange();
    }
    emit runStarting();
    m_testAddress = testAddress;
    m_ahead = MessageAhead();
    m_flushError.clear();
    m_message.Subject = s.ContentTitle;
    m_message.From.Address = s.SenderAddress.trimmed();
    m_message.From.Name = s.SenderName.trimmed();
    m_message.ReceiptRecipient = s.ReturnReceipt ? m_message.From : EmailAddress();
    m_smtp.Host = s.ServerHost.trimmed();
    if (s.ServerSsl == QLatin1String("1"))
        m_smtp.attachSecureTransport(&m_sslHandler);
    else
        m_smtp.detachSecureTransport();
    m_smtp.Port = port;
    m_smtp.Username = s.ServerAccount.trimmed();
    m_smtp.Password = s.ServerPassword.trimmed();

    m_shownHost = s.ServerHost;
    m_limits = s.Limits;
    m_limitResume = 0;
    m_allowPlainLogin = s.AllowPlainLogin;
    m_reconnects = 0;
    m_reconnectDue = false;
    m_running = true;
    m_stopRequested = false;
    m_outcome = RunOutcome::Completed;
    m_refusedCount = 0;
    m_tries.clear();
    m_notBefore.clear();
    m_runDelivered = 0;
    m_runTotal = isTestRun() ? 1 : m_list.count();
    m_smtp.clearInterrupt();
    emit stateChanged(true);
    emit progress(0, m_runTotal);
    openSession(false);
}

void SendingRun::openSession(bool reconnecting)
{
    emit activity(QStringLiteral("Connecting Server:") + m_shownHost);
    auto opened = std::make_shared<RunOutcome>(RunOutcome::ConnectFailed);
    m_session.run(
        this, [this, opened] { *opened = openAndLogIn(); },
        [this, opened, reconnecting](const std::optional<BrevoraError>&) { sessionOpened(*opened, reconnecting); });
}

void SendingRun::sessionOpened(RunOutcome opened, bool reconnecting)
{
    if (m_stopRequested) {
        StopRun();
    } else if (opened == RunOutcome::Completed) {
        m_timer.start();
    } else if (reconnecting) {
        if (!scheduleReconnect()) {
            m_outcome = opened;
            StopRun();
        }
    } else {
        // A run that never got a session ends without the lines of a stop.
        if (!isTestRun())
            m_list.unlockRun();
        m_running = false;
        m_outcome = opened;
        emit stateChanged(false);
        emit finished(opened);
    }
}

RunOutcome SendingRun::openAndLogIn()
{
    try {
        m_smtp.OpenSession();
    } catch (const BrevoraError& e) {
        m_smtp.CloseSession();
        if (m_smtp.interrupted())
            return RunOutcome::ConnectFailed; // stopped: the stop says what happened
        say(QStringLiteral("Connecting Server Failed:") + m_shownHost);
        // The line above is the same for every cause; this one tells them apart.
        say(QStringLiteral("Reason: ") + PrintableText(e.message(), true)
            + (e.detail().isEmpty() ? QString() : QStringLiteral(" (%1)").arg(e.detail())));
        return RunOutcome::ConnectFailed;
    }

    const bool login = m_smtp.OfferedAuthSchemes().contains(QStringLiteral("LOGIN"), Qt::CaseInsensitive);
    if (login) {
        say(QStringLiteral("The server requires authentication"));
        // Without TLS anyone on the way reads the account and password: only to this machine,
        // or where the user allowed it for this server.
        if (!m_smtp.secure() && !m_smtp.peerIsLoopback() && !m_allowPlainLogin) {
            say(QStringLiteral("Login refused: %1 offers no TLS here, so the password would cross the network "
                               "readable by anyone on the way. Turn SSL on for this server, or allow login "
                               "without TLS for it in its settings (--allow-plain-login on the command line).")
                    .arg(m_smtp.Host));
            m_smtp.CloseSession();
            return RunOutcome::AuthFailed;
        }
        m_smtp.setAuthenticationType(AuthenticationKind::atLogin);
        say(QStringLiteral("Authentication begins"));
        try {
            m_smtp.LogIn();
        } catch (const BrevoraError&) {
            m_smtp.CloseSession();
            if (!m_smtp.interrupted())
                say(QStringLiteral("Authentication failed"));
            return RunOutcome::AuthFailed;
        }
    } else {
        say(QStringLiteral("The server does not require authentication"));
        m_smtp.setAuthenticationType(AuthenticationKind::atNone);
    }
    say(QStringLiteral("Authentication is ok"));
    return RunOutcome::Completed;
}

void SendingRun::StopRun()
{
    if (m_session.busy()) {
        // The session is waiting for the server: cut the wait short; the run ends when it is back.
        if (!m_stopRequested) {
            m_stopRequested = true;
            m_smtp.interrupt(false);
            m_hardStop.start();
        }
        return;
    }
    m_hardStop.stop();
    m_smtp.CloseSession();
    m_list.releaseFirst();
    if (m_outcome != RunOutcome::RecordFailed) {
        try {
            m_list.flushDeliveries();
        } catch (const BrevoraError& e) {
            // The deliveries stay in the journal and reach the send log when it can be written again.
            emit activity(QStringLiteral("Recording failed: ") + e.message());
            m_outcome = RunOutcome::RecordFailed;
        }
    }
    m_list.unlockRun();
    const bool wasRunning = m_running;
    m_running = false;
    emit stateChanged(false);
    emit activity(QStringLiteral("All emails have been sent"));
    m_timer.stop();
    m_waitTimer.stop();
    m_reconnectDue = false;
    m_ahead = MessageAhead();
    if (wasRunning)
        emit finished(m_outcome);
}

namespace {
// Fills the message for the entry; throws when it cannot be prepared.
void prepareInto(EmailMessage& message, const QString& entry, const QStringList& body)
{
    PreparedMessage prepared = PrepareMessage(entry, body, message);
    message.ContentType = std::move(prepared.contentType);
    message.Body = std::move(prepared.body);
}
} // namespace

OutgoingMessage SendingRun::outgoingFor(const QString& entry)
{
    const QStringList body = m_body ? m_body() : QStringList();
    MessageAhead ahead = std::exchange(m_ahead, MessageAhead());
    // A message written ahead carries the time it was written in its Date line.
    const bool fresh = ahead.ready && ahead.written.isValid() && ahead.written.elapsed() < kAheadFreshMs;
    if (fresh && ahead.entry == entry && ahead.body == body)
        return std::move(ahead.outgoing);
    prepareInto(m_message, entry, body);
    return m_smtp.WriteOutgoing(m_message);
}

void SendingRun::startDelivery(const QString& entry)
{
    // A message that cannot be prepared or written throws here, before anything went out.
    OutgoingMessage outgoing = outgoingFor(entry);
    m_session.run(
        this, [this, outgoing = std::move(outgoing)] { m_smtp.Deliver(outgoing); },
        [this, entry](const std::optional<BrevoraError>& failure) {
            guarded([&] { delivered(entry, failure); });
        });
    workWhileWaiting();
}

void SendingRun::delivered(const QString& entry, const std::optional<BrevoraError>& failure)
{
    if (failure && m_stopRequested && failure->kind() != ErrorKind::Refusal) {
        // The user's stop cut the session short: nothing to report, the entry stays pending.
        m_outcome = isTestRun() ? RunOutcome::Completed : m_outcome;
        StopRun();
        return;
    }
    if (failure) {
        emit activity(QStringLiteral("Sending failed: ") + entry + QStringLiteral("--") + failure->message());
        m_lastFailure = failure;
    } else {
        m_lastFailure.reset();
    }
    if (isTestRun()) {
        m_outcome = RunOutcome::Refused;
        if (!failure) {
            emit activity(QStringLiteral("Sending is ok: ") + m_testAddress);
            m_outcome = RunOutcome::Completed;
        }
        StopRun();
    } else if (failure) {
        firstEntryFailed(entry);
    } else {
        firstEntryDelivered(entry);
    }
}

void SendingRun::workWhileWaiting()
{
    if (!m_running || isTestRun())
        return;
    if (!m_ahead.tried) {
        // Preparing the next entry's message while this one's reply travels hides its cost
        // entirely; at its own tick the message is used only if nothing it was built from changed.
        m_ahead.tried = true;
        // The entry being sent is still first; the next one follows it unless this is the last.
        if (m_pendingCount >= 2 && m_list.count() >= 2) {
            try {
                MessageAhead ahead;
                ahead.tried = true;
                ahead.entry = m_list.entry(1);
                ahead.body = m_body ? m_body() : QStringList();
                EmailMessage message = m_message;
                prepareInto(message, ahead.entry, ahead.body);
                ahead.outgoing = m_smtp.WriteOutgoing(message);
                ahead.written.start();
                ahead.ready = true;
                m_ahead = std::move(ahead);
            } catch (const BrevoraError&) {
                // Its own tick prepares it again and reports what fails, where it always has.
            }
        }
    }
    if (m_flushError.isEmpty()) {
        try {
            m_list.flushDueDeliveries();
        } catch (const BrevoraError& e) {
            m_flushError = e.message();
        }
    }
}

void SendingRun::deliverFirstEntry()
{
    const QString entry = m_list.entry(0);
    try {
        m_list.reserveFirstDelivery();
    } catch (const BrevoraError& e) {
        // Nothing goes out that could not be recorded (a full disk): the entry stays pending.
        emit activity(QStringLiteral("Recording failed: ") + entry + QStringLiteral("--") + e.message());
        m_outcome = RunOutcome::RecordFailed;
        StopRun();
        return;
    }
    startDelivery(entry);
}

void SendingRun::firstEntryFailed(const QString& entry)
{
    if (m_refusalChoice == RefusalChoice::Skip && skipRefused(entry)) {
        carryOn();
        return;
    }
    m_list.releaseFirst();
    if (m_refusalChoice == RefusalChoice::Skip && !m_smtp.Connected() && !m_stopRequested && scheduleReconnect())
        return;
    ++m_refusedCount;
    m_outcome = RunOutcome::Refused;
    StopRun();
}

void SendingRun::firstEntryDelivered(const QString& entry)
{
    m_reconnects = 0;
    // Journalled the moment its 250 is read, before anything else: a crash from here on can no
    // longer send it twice.
    QString error = m_flushError;
    try {
        m_list.recordFirstDelivered();
    } catch (const BrevoraError& e) {
        error = e.message();
    }
    emit activity(QStringLiteral("Sending is ok: ") + entry);
    if (m_limits.any() && m_list.store())
        m_list.store()->NoteSentBy(m_smtp.Host, m_clock());
    ++m_sentCount;
    --m_pendingCount;
    ++m_runDelivered;
    emit countersChanged();
    emit progress(m_runDelivered, m_runTotal);
    if (!error.isEmpty()) {
        // A store that failed once will fail again, and the duplicate check would miss them.
        emit activity(QStringLiteral("Recording failed: ") + entry + QStringLiteral("--") + error);
        m_outcome = RunOutcome::RecordFailed;
        StopRun();
        return;
    }
    carryOn();
}

void SendingRun::carryOn()
{
    if (m_stopRequested)
        StopRun();
    else
        m_timer.start();
}

bool SendingRun::waitForLimit()
{
    if (!m_limits.any() || !m_list.store())
        return false;
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
        // Counted from the store: other runs and processes through the same server count too.
        if (m_list.store()->CountSentBy(m_smtp.Host, now - w.window + 1, &earliest) < w.limit)
            continue;
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
        return false;
    if (resume != m_limitResume) {
        m_limitResume = resume;
        emit activity(line);
    }
    m_waitTimer.start(int(qMin<qint64>(resume - now, 1000)));
    return true;
}

bool SendingRun::scheduleReconnect()
{
    if (m_reconnects >= 5 || m_reconnectDelays.isEmpty())
        return false;
    const int wait = m_reconnectDelays[qMin(m_reconnects, int(m_reconnectDelays.size()) - 1)];
    ++m_reconnects;
    m_smtp.CloseSession();
    m_ahead = MessageAhead(); // written for the session that is gone
    emit activity(QStringLiteral("Connection lost; connecting again in %1 s (try %2 of 5)")
                      .arg(QString::number(wait / 1000.0, 'g', 3))
                      .arg(m_reconnects));
    m_reconnectDue = true;
    m_waitTimer.start(wait);
    return true;
}

bool SendingRun::skipRefused(const QString& entry)
{
    // Only a refusal the session survived lets the run go on; anything else ends it as always.
    if (!m_lastFailure || m_lastFailure->kind() != ErrorKind::Refusal || !m_smtp.Connected())
        return false;
    const int code = m_lastFailure->replyCode();
    const QString reason = m_lastFailure->message().trimmed();
    const int tries = ++m_tries[entry];
    constexpr int kMostTries = 3;
    const bool again = m_lastFailure->isTransientRefusal() && tries < kMostTries && !m_retryDelays.isEmpty();
    m_list.recordFirstRefused(code, reason, again);
    if (again) {
        const qint64 due = m_clock() + m_retryDelays[qMin(tries, int(m_retryDelays.size())) - 1];
        m_notBefore.insert(entry, due);
        emit activity(QStringLiteral("Trying %1 again at %2").arg(entry, QDateTime::fromMSecsSinceEpoch(due).toString(QStringLiteral("HH:mm:ss"))));
    } else {
        ++m_refusedCount;
        --m_pendingCount;
        emit countersChanged();
    }
    return true;
}

void SendingRun::MainTimerTimer()
{
    m_timer.stop();
    if (!m_running || m_session.busy())
        return;
    if (m_reconnectDue) {
        m_reconnectDue = false;
        openSession(true);
        return;
    }
    guarded([this] {
        if (isTestRun()) {
            startDelivery(m_testAddress);
        } else if (m_pendingCount <= 0 || m_list.count() == 0) {
            StopRun();
        } else if (waitForLimit()) {
            // At a rate limit: the next tick comes from the wait.
        } else if (const qint64 wait = m_notBefore.value(m_list.entry(0), 0) - m_clock(); wait > 0) {
            // Only entries waiting to be tried again are left (they are at the end): wait for
            // the first of them; Stop still acts meanwhile.
            m_waitTimer.start(int(qMin<qint64>(wait, 1000)));
        } else {
            deliverFirstEntry();
        }
    });
}

void SendingRun::guarded(const std::function<void()>& step)
{
    try {
        step();
    } catch (const BrevoraError& e) {
        // A message that cannot be prepared ends the run cleanly; its entry stays first.
        m_outcome = RunOutcome::PrepareFailed;
        emit errorRaised(e.message());
        if (m_running)
            StopRun();
    }
}
