#include "core/run/bouncebrake.h"

#include "core/bounce/bounceprocessor.h"
#include "core/error.h"
#include "core/sendlog/bouncelog.h"
#include "core/sendlog/sqldialect.h"
#include "core/sendlog/storeconnection.h"
#include "core/settings/settingsfile.h"

BounceBrake::BounceBrake(QObject* parent)
    : QObject(parent)
{
    connect(&m_timer, &QTimer::timeout, this, &BounceBrake::check);
}

BounceBrake::~BounceBrake()
{
    stop();
}

void BounceBrake::start(const Plan& plan, std::function<void()> beforeCheck)
{
    stop();
    m_plan = plan;
    m_beforeCheck = std::move(beforeCheck);
    m_abort = false;
    m_busy = false;
    m_timer.start(plan.intervalMs > 0 ? plan.intervalMs : plan.rules.checkMinutes * 60 * 1000);
}

void BounceBrake::stop()
{
    m_timer.stop();
    m_abort = true;
    join();
}

void BounceBrake::join()
{
    if (m_worker.joinable())
        m_worker.join();
}

QString BounceBrake::reasonFor(qint64 sent, int hard, int complaints, const BounceRules& rules)
{
    if (sent <= 0 || sent < rules.brakeMinimum)
        return {};
    const double hardShare = 100.0 * hard / double(sent), complaintShare = 100.0 * complaints / double(sent);
    if (hardShare > rules.hardPercent)
        return QStringLiteral("hard bounces are %1 % of the %2 messages sent (over %3 %)")
            .arg(QString::number(hardShare, 'f', 1)).arg(sent).arg(rules.hardPercent);
    if (complaintShare > rules.complaintPercent)
        return QStringLiteral("complaints are %1 % of the %2 messages sent (over %3 %)")
            .arg(QString::number(complaintShare, 'f', 2)).arg(sent).arg(rules.complaintPercent);
    return {};
}

void BounceBrake::check()
{
    if (m_busy.exchange(true))
        return; // the last check is still reading
    join();
    if (m_beforeCheck)
        m_beforeCheck();
    const Plan plan = m_plan;
    m_worker = std::thread([this, plan] {
        QString reason, failure;
        try {
            StoreConnection connection(SqlDialect::forLocation(plan.store), plan.store.shown());
            BounceLog log(connection);
            if (!plan.setup.mailbox.isEmpty()) {
                BounceProcessor processor(log, plan.rules);
                try {
                    // Only certificates the user trusted before: nobody is asked on this thread.
                    FetchBounces(plan.setup, [](const CertificateInfo& info) { return IsTrustedCertificate(info); }, processor, &m_abort);
                } catch (const BrevoraError& e) {
                    failure = e.message();
                }
            }
            reason = log.brakeSince(plan.runStarted);
            if (reason.isEmpty()) {
                const BounceLog::RunSummary s = log.summaryOf(plan.run);
                reason = reasonFor(s.sent, s.hard, s.complaints, plan.rules);
            }
        } catch (const BrevoraError& e) {
            failure = e.message();
        }
        if (m_abort)
            return;
        QMetaObject::invokeMethod(this, [this, reason, failure] {
            m_busy = false;
            if (!failure.isEmpty())
                emit checkFailed(failure);
            if (!reason.isEmpty() && m_timer.isActive()) {
                m_timer.stop();
                emit tripped(reason);
            }
        }, Qt::QueuedConnection);
    });
}
