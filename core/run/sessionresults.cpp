#include "core/run/sendingrun.h"

#include "core/error.h"
#include "core/sendlog/sendlogstore.h"
#include "core/text/textutil.h"

#include <QDateTime>
#include <algorithm>
#include <utility>

// What comes back from the sessions: each message's result, and sessions that end.

void SendingRun::takeResults(RunSession& session)
{
    std::vector<RunSession::Result> results;
    {
        std::lock_guard<std::mutex> lock(session.resultsLock);
        results.swap(session.results);
        session.resultsPosted = false;
    }
    const auto owned = [this, &session] {
        return std::any_of(m_sessions.begin(), m_sessions.end(), [&session](const auto& s) { return s.get() == &session; });
    };
    // The deliveries among them reach the journal in one write.
    m_list.holdDeliveries();
    for (const RunSession::Result& r : results) {
        if (!owned())
            break; // a new run began meanwhile: these belonged to the one before
        guarded([&] { r.stale ? messageStale(session, r.tag) : messageFinished(session, r.tag, r.refusal); });
    }
    try {
        m_list.writeDeliveries();
    } catch (const BrevoraError& e) {
        emit activity(QStringLiteral("Recording failed: ") + e.message());
        m_outcome = RunOutcome::RecordFailed;
        if (m_running)
            beginStop();
    }
}

void SendingRun::messageFinished(RunSession& session, qint64 tag, const std::optional<BrevoraError>& refusal)
{
    session.handed.removeOne(tag);
    m_bytes.remove(tag);
    const QString entry = entryOf(tag);
    if (refusal)
        emit activity(QStringLiteral("Sending failed: ") + entry + QStringLiteral("--") + refusal->message());
    if (isTestRun()) {
        m_outcome = refusal ? RunOutcome::Refused : RunOutcome::Completed;
        if (!refusal)
            emit activity(QStringLiteral("Sending is ok: ") + m_testAddress);
        return; // the session ends with its feed, and the run with it
    }
    if (refusal && m_list.store())
        m_list.store()->writtenMarks().refused(tag); // its data went, and the server said no
    if (!refusal) {
        session.reconnects = 0;
        delivered(tag, entry);
    } else if (m_refusalChoice != RefusalChoice::Skip || !skipRefused(tag, entry, *refusal)) {
        m_list.release(tag);
        ++m_counts.refused;
        m_outcome = RunOutcome::Refused;
        beginStop();
    }
    goOnAfterResult();
}

void SendingRun::goOnAfterResult()
{
    if (m_stopping)
        endWhenIdle();
    else if (!paced() && !m_timer.isActive())
        m_timer.start(); // after the other results that came together: the next ones go together too
    else if (paced() && messagesOnTheirWay() == 0)
        m_timer.start();
}

void SendingRun::messageStale(RunSession& session, qint64 tag)
{
    // Its claim may have gone to another run while this one was held up: the next dispatch
    // renews the claims and drops those that went, and sends it only if it is still this run's.
    session.handed.removeOne(tag);
    m_bytes.remove(tag);
    m_list.release(tag);
    if (!std::exchange(m_claimsChecked, true))
        emit activity(QStringLiteral("The run was held up past the safe part of its claims' lease: they are renewed before "
                                     "anything more goes out"));
    goOnAfterResult();
}

void SendingRun::delivered(qint64 id, const QString& entry)
{
    // Journalled the moment its 250 is read, before anything else: a crash from here on can no
    // longer send it twice.
    QString error = m_flushError;
    try {
        m_list.recordDelivered(id);
    } catch (const BrevoraError& e) {
        error = e.message();
    }
    emit activity(QStringLiteral("Sending is ok: ") + entry);
    m_limiter.noteSent();
    m_counts.delivered();
    emit countersChanged();
    emit progress(m_counts.runDelivered, m_runTotal);
    if (!error.isEmpty()) {
        // A store that failed once will fail again, and the duplicate check would miss them.
        emit activity(QStringLiteral("Recording failed: ") + entry + QStringLiteral("--") + error);
        m_outcome = RunOutcome::RecordFailed;
        beginStop();
        return;
    }
    try {
        m_list.flushDueDeliveries();
    } catch (const BrevoraError& e) {
        m_flushError = e.message(); // said with the next delivery, which cannot be applied either
    }
}

bool SendingRun::skipRefused(qint64 id, const QString& entry, const BrevoraError& refusal)
{
    // A refusal reported for a message is one the session survived; anything else ends the
    // session and is handled there.
    if (refusal.kind() != ErrorKind::Refusal)
        return false;
    const std::optional<qint64> again = m_retries.refused(entry, refusal.isTransientRefusal(), m_clock());
    m_list.recordRefused(id, refusal.replyCode(), refusal.message().trimmed(), again.has_value());
    if (again) {
        emit activity(QStringLiteral("Trying %1 again at %2").arg(entry, QDateTime::fromMSecsSinceEpoch(*again).toString(QStringLiteral("HH:mm:ss"))));
    } else {
        m_counts.leftRefused();
        emit countersChanged();
    }
    return true;
}

void SendingRun::sessionEnded(RunSession& session, const std::optional<BrevoraError>& failure)
{
    session.streaming = false;
    // What the session was given and did not finish stays pending: its final reply was not read.
    const QList<qint64> unfinished = std::exchange(session.handed, {});
    for (qint64 tag : unfinished) {
        m_list.release(tag);
        m_bytes.remove(tag);
    }
    session.smtp.CloseSession();
    if (failure && !m_stopRequested) {
        const QString entry = unfinished.isEmpty() ? QString() : entryOf(unfinished.first());
        const QString failed = QStringLiteral("Sending failed: ") + entry + QStringLiteral("--") + failure->message();
        // A server that ends the session (421, or its limit of messages a session) refused
        // nobody: the message under way goes again on the next session, and only when there is
        // none does the line say it failed.
        const bool endedByServer = failure->kind() == ErrorKind::SessionEnded;
        if (endedByServer)
            emit activity(QStringLiteral("The server ended the session: %1 %2")
                              .arg(failure->replyCode())
                              .arg(PrintableText(failure->message().trimmed(), true)));
        else
            emit activity(failed);
        // A lost connection is no refusal: whatever the refusal choice, the run connects again.
        if (!isTestRun() && !m_stopping && scheduleReconnect(session, !endedByServer))
            return;
        if (endedByServer)
            emit activity(failed);
        if (m_outcome == RunOutcome::Completed) {
            if (!isTestRun())
                m_counts.sessionLost();
            m_outcome = RunOutcome::Refused;
        }
        beginStop();
        return;
    }
    const bool othersGoOn = std::any_of(m_sessions.begin(), m_sessions.end(), [](const auto& s) {
        return s->streaming || s->opening || s->reconnectDue;
    });
    if (m_stopping || isTestRun() || !othersGoOn)
        beginStop();
    else if (!paced())
        dispatch(INT_MAX); // the others finish the list
}

bool SendingRun::scheduleReconnect(RunSession& session, bool lost)
{
    const std::optional<int> backoff = m_backoff.waitBefore(session.reconnects);
    if (!backoff)
        return false;
    const int wait = *backoff;
    ++session.reconnects;
    session.smtp.CloseSession();
    emit activity((lost ? QStringLiteral("Connection lost; connecting again in %1 s (try %2 of 5)")
                        : QStringLiteral("Connecting again in %1 s (try %2 of 5)"))
                      .arg(QString::number(wait / 1000.0, 'g', 3))
                      .arg(session.reconnects));
    session.reconnectDue = true;
    const quint64 generation = m_generation;
    RunSession* target = &session;
    QTimer::singleShot(wait, this, [this, target, generation] {
        if (generation != m_generation || !target->reconnectDue)
            return; // a run that has ended meanwhile
        target->reconnectDue = false;
        if (m_stopping)
            endWhenIdle();
        else
            openSession(*target, true);
    });
    return true;
}

void SendingRun::settleUncertain(bool record)
{
    SendLogStore* store = m_list.store();
    bool ok = false;
    const int uncertain = store ? int(store->uncertainRows(&ok).size()) : 0;
    if (!ok || uncertain == 0)
        return;
    if (!record) {
        emit activity(QStringLiteral("%1 uncertain entries are sent again: a run that ended without warning wrote their messages "
                                     "but never read the server's reply, so some may get a second copy").arg(uncertain));
        return;
    }
    const int recorded = store->recordUncertainAsDelivered();
    if (recorded < 0)
        throw BrevoraError(ErrorKind::Store, store->lastError());
    m_list.reload(true);
    emit activity(QStringLiteral("%1 uncertain entries recorded as delivered without confirmation: a run that ended without "
                                 "warning wrote their messages but never read the server's reply").arg(recorded));
}
