#include "app/sendingrun.h"

#include "app/pendinglist.h"
#include "app/prepare.h"
#include "common/errors.h"
#include "common/pubunit.h"

#include <utility>

int ParseIntegerText(const QString& text)
{
    const std::optional<int> value = ParseInteger(text);
    if (!value)
        throw BrevoraError(QStringLiteral("'%1' is not a valid integer value").arg(text));
    return *value;
}

SendingRun::SendingRun(PendingList& list, QObject* parent)
    : QObject(parent)
    , m_list(list)
{
    m_timer.setInterval(50);
    m_timer.setSingleShot(false);
    connect(&m_timer, &QTimer::timeout, this, &SendingRun::MainTimerTimer);
    m_smtp.setWorkWhileWaiting([this] { workWhileWaiting(); });
    PendingCount = list.count();
}

void SendingRun::StartBtClick(const RunSelection& selection)
{
    if (m_list.count() == 0)
        return;
    if (m_running) {
        StopRun();
        return;
    }
    IsTestRun = false;
    StartRun(selection);
}

void SendingRun::TestBtClick(const RunSelection& selection)
{
    // A second session must not start while a run is under way.
    if (m_running)
        return;
    const QString address = m_testAddress ? m_testAddress() : QString();
    if (address.size() < 5)
        return;
    IsTestRun = true;
    StartRun(selection);
}

void SendingRun::StartRun(const RunSelection& s)
{
    emit runStarting();
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
    m_smtp.Port = ParseIntegerText(s.ServerPort);
    m_smtp.Username = s.ServerAccount.trimmed();
    m_smtp.Password = s.ServerPassword.trimmed();

    emit activity(QStringLiteral("Connecting Server:") + s.ServerHost);
    try {
        m_smtp.OpenSession();
    } catch (const BrevoraError&) {
        emit activity(QStringLiteral("Connecting Server Failed:") + s.ServerHost);
        try {
            m_smtp.CloseSession();
        } catch (const BrevoraError&) {
        }
        finish(RunOutcome::ConnectFailed);
        return;
    }

    const bool login = m_smtp.OfferedAuthSchemes().contains(QStringLiteral("LOGIN"), Qt::CaseInsensitive);
    if (login) {
        emit activity(QStringLiteral("The server requires authentication"));
        m_smtp.setAuthenticationType(AuthenticationKind::atLogin);
        emit activity(QStringLiteral("Authentication begins"));
        try {
            m_smtp.LogIn();
        } catch (const BrevoraError&) {
            emit activity(QStringLiteral("Authentication failed"));
            try {
                m_smtp.CloseSession();
            } catch (const BrevoraError&) {
            }
            finish(RunOutcome::AuthFailed);
            return;
        }
    } else {
        emit activity(QStringLiteral("The server does not require authentication"));
        m_smtp.setAuthenticationType(AuthenticationKind::atNone);
    }
    emit activity(QStringLiteral("Authentication is ok"));
    m_running = true;
    m_outcome = RunOutcome::Completed;
    m_runDelivered = 0;
    m_runTotal = IsTestRun ? 1 : m_list.count();
    emit stateChanged(true);
    emit progress(0, m_runTotal);
    m_timer.start();
}

void SendingRun::StopRun()
{
    try {
        m_smtp.CloseSession();
    } catch (const BrevoraError&) {
        // The connection is closed all the same; the run still ends properly.
    }
    QString error;
    if (m_outcome != RunOutcome::RecordFailed && !m_list.flushDeliveries(&error)) {
        // The deliveries stay in the journal and reach the send log when it can be written again.
        emit activity(QStringLiteral("Recording failed: ") + error);
        m_outcome = RunOutcome::RecordFailed;
    }
    const bool wasRunning = m_running;
    m_running = false;
    emit stateChanged(false);
    emit activity(QStringLiteral("All emails have been sent"));
    m_timer.stop();
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

bool SendingRun::SendOne(const QString& entry)
{
    const QStringList body = m_body ? m_body() : QStringList();
    MessageAhead ahead = std::exchange(m_ahead, MessageAhead());
    const bool written = ahead.ready && ahead.entry == entry && ahead.body == body;
    OutgoingMessage outgoing = std::move(ahead.outgoing);
    if (!written) {
        const PreparedMessage prepared = PrepareMessage(entry, body, m_message);
        m_message.ContentType = prepared.contentType;
        m_message.Body = prepared.body;
    }
    try {
        if (!written)
            outgoing = m_smtp.WriteOutgoing(m_message);
        m_smtp.Deliver(outgoing);
    } catch (const BrevoraError& e) {
        emit activity(QStringLiteral("Sending failed: ") + entry + QStringLiteral("--") + e.message());
        return false;
    }
    emit activity(QStringLiteral("Sending is ok: ") + entry);
    return true;
}

void SendingRun::workWhileWaiting()
{
    if (!m_running || IsTestRun)
        return;
    if (!m_ahead.tried)
        writeNextAhead();
    if (m_flushError.isEmpty())
        m_list.flushDueDeliveries(&m_flushError);
}

void SendingRun::writeNextAhead()
{
    m_ahead.tried = true;
    // The entry being sent is still first; the next one follows it unless this is the last.
    if (PendingCount < 2 || m_list.count() < 2)
        return;
    try {
        MessageAhead ahead;
        ahead.tried = true;
        ahead.entry = m_list.entry(1);
        ahead.body = m_body ? m_body() : QStringList();
        EmailMessage message = m_message;
        const PreparedMessage prepared = PrepareMessage(ahead.entry, ahead.body, message);
        message.ContentType = prepared.contentType;
        message.Body = prepared.body;
        ahead.outgoing = m_smtp.WriteOutgoing(message);
        ahead.ready = true;
        m_ahead = std::move(ahead);
    } catch (...) {
        // Its own tick prepares it again and reports what fails, where it always has.
    }
}

void SendingRun::MainTimerTimer()
{
    m_timer.stop();
    if (!m_running)
        return;
    try {
        if (IsTestRun) {
            m_outcome = SendOne(m_testAddress ? m_testAddress() : QString()) ? RunOutcome::Completed : RunOutcome::Refused;
            StopRun();
            return;
        }
        if (PendingCount <= 0 || m_list.count() == 0) {
            StopRun();
            return;
        }
        const QString entry = m_list.entry(0);
        if (!SendOne(entry)) {
            m_outcome = RunOutcome::Refused;
            StopRun();
            return;
        }
        ++SentCount;
        --PendingCount;
        ++m_runDelivered;
        QString error;
        bool recorded = m_list.recordFirstDelivered(&error);
        if (recorded && !m_flushError.isEmpty()) {
            error = m_flushError;
            recorded = false;
        }
        emit countersChanged();
        emit progress(m_runDelivered, m_runTotal);
        if (!recorded) {
            // A store that failed once will fail again, and the duplicate check would miss them.
            emit activity(QStringLiteral("Recording failed: ") + entry + QStringLiteral("--") + error);
            m_outcome = RunOutcome::RecordFailed;
            StopRun();
            return;
        }
        m_timer.start();
    } catch (const BrevoraError& e) {
        // A message that cannot be prepared ends the run cleanly; its entry stays first.
        m_outcome = RunOutcome::PrepareFailed;
        emit errorRaised(e.message());
        if (m_running)
            StopRun();
    }
}
