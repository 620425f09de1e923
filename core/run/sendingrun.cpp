#include "core/run/sendingrun.h"

#include "core/error.h"
#include "core/run/pendinglist.h"
#include "core/run/prepare.h"
#include "core/text/textutil.h"

#include <QDateTime>
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
    m_smtp.setWorkWhileWaiting([this] { workWhileWaiting(); });
}

void SendingRun::countListChange()
{
    m_allCount += m_list.count() - m_pendingCount;
    m_pendingCount = m_list.count();
    emit countersChanged();
}

void SendingRun::StartRun(const RunSelection& s, const QString& testAddress)
{
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
    const RunOutcome opened = openAndLogIn();
    if (opened != RunOutcome::Completed) {
        m_list.unlockRun();
        finish(opened);
        return;
    }
    m_running = true;
    m_outcome = RunOutcome::Completed;
    m_refusedCount = 0;
    m_tries.clear();
    m_notBefore.clear();
    m_runDelivered = 0;
    m_runTotal = isTestRun() ? 1 : m_list.count();
    emit stateChanged(true);
    emit progress(0, m_runTotal);
    m_timer.start();
}

RunOutcome SendingRun::openAndLogIn()
{
    emit activity(QStringLiteral("Connecting Server:") + m_shownHost);
    try {
        m_smtp.OpenSession();
    } catch (const BrevoraError& e) {
        emit activity(QStringLiteral("Connecting Server Failed:") + m_shownHost);
        // The line above is the same for every cause; this one tells them apart.
        emit activity(QStringLiteral("Reason: ") + PrintableText(e.message(), true)
                      + (e.detail().isEmpty() ? QString() : QStringLiteral(" (%1)").arg(e.detail())));
        m_smtp.CloseSession();
        return RunOutcome::ConnectFailed;
    }

    const bool login = m_smtp.OfferedAuthSchemes().contains(QStringLiteral("LOGIN"), Qt::CaseInsensitive);
    if (login) {
        emit activity(QStringLiteral("The server requires authentication"));
        // Without TLS anyone on the way reads the account and password: only to this machine,
        // or where the user allowed it for this server.
        if (!m_smtp.secure() && !m_smtp.peerIsLoopback() && !m_allowPlainLogin) {
            emit activity(QStringLiteral("Login refused: %1 offers no TLS here, so the password would cross the network "
                                         "readable by anyone on the way. Turn SSL on for this server, or allow login "
                                         "without TLS for it in its settings (--allow-plain-login on the command line).")
                              .arg(m_smtp.Host));
            m_smtp.CloseSession();
            return RunOutcome::AuthFailed;
        }
        m_smtp.setAuthenticationType(AuthenticationKind::atLogin);
        emit activity(QStringLiteral("Authentication begins"));
        try {
            m_smtp.LogIn();
        } catch (const BrevoraError&) {
            emit activity(QStringLiteral("Authentication failed"));
            m_smtp.CloseSession();
            return RunOutcome::AuthFailed;
        }
    } else {
        emit activity(QStringLiteral("The server does not require authentication"));
        m_smtp.setAuthenticationType(AuthenticationKind::atNone);
    }
    emit activity(QStringLiteral("Authentication is ok"));
    return RunOutcome::Completed;
}

void SendingRun::StopRun()
{
    m_smtp.CloseSession();
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

void SendingRun::finish(RunOutcome outcome)
{
    m_outcome = outcome;
    if (!m_running)
        emit finished(outcome);
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

bool SendingRun::SendOne(const QString& entry)
{
    const QStringList body = m_body ? m_body() : QStringList();
    MessageAhead ahead = std::exchange(m_ahead, MessageAhead());
    // A message written ahead carries the time it was written in its Date line.
    const bool fresh = ahead.ready && ahead.written.isValid() && ahead.written.elapsed() < kAheadFreshMs;
    try {
        OutgoingMessage outgoing;
        if (fresh && ahead.entry == entry && ahead.body == body) {
            outgoing = std::move(ahead.outgoing);
        } else {
            prepareInto(m_message, entry, body);
            outgoing = m_smtp.WriteOutgoing(m_message);
        }
        m_smtp.Deliver(outgoing);
    } catch (const BrevoraError& e) {
        // A refusal or a broken connection is a failed sending; a message that cannot be
        // prepared or written is the tick's error, raised before anything went out.
        if (e.kind() == ErrorKind::Usage || e.kind() == ErrorKind::Store)
            throw;
        emit activity(QStringLiteral("Sending failed: ") + entry + QStringLiteral("--") + e.message());
        m_lastFailure = e;
        return false;
    }
    m_lastFailure.reset();
    return true;
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
    if (!SendOne(entry)) {
        if (m_refusalChoice == RefusalChoice::Skip && skipRefused(entry)) {
            m_timer.start();
            return;
        }
        if (m_refusalChoice == RefusalChoice::Skip && !m_smtp.Connected() && scheduleReconnect())
            return;
        ++m_refusedCount;
        m_outcome = RunOutcome::Refused;
        StopRun();
        return;
    }
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
    if (!m_running)
        return;
    if (m_reconnectDue) {
        m_reconnectDue = false;
        const RunOutcome opened = openAndLogIn();
        if (opened != RunOutcome::Completed) {
            if (!scheduleReconnect()) {
                m_outcome = opened;
                StopRun();
            }
            return;
        }
    }
    try {
        if (isTestRun()) {
            m_outcome = RunOutcome::Refused;
            if (SendOne(m_testAddress)) {
                emit activity(QStringLiteral("Sending is ok: ") + m_testAddress);
                m_outcome = RunOutcome::Completed;
            }
            StopRun();
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
    } catch (const BrevoraError& e) {
        // A message that cannot be prepared ends the run cleanly; its entry stays first.
        m_outcome = RunOutcome::PrepareFailed;
        emit errorRaised(e.message());
        if (m_running)
            StopRun();
    }
}
