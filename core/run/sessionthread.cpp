#include "core/run/sessionthread.h"

#include <exception>
#include <utility>

SessionThread::SessionThread()
{
    m_thread.setObjectName(QStringLiteral("smtp session"));
    m_worker.moveToThread(&m_thread);
    m_thread.start();
}

SessionThread::~SessionThread()
{
    finish();
}

void SessionThread::finish()
{
    m_thread.quit();
    m_thread.wait();
}

void SessionThread::run(QObject* context, std::function<void()> work, Done done)
{
    if (!m_thread.isRunning())
        m_thread.start();
    m_busy = true;
    QMetaObject::invokeMethod(
        &m_worker,
        [this, context, work = std::move(work), done = std::move(done)] {
            std::optional<BrevoraError> failure;
            try {
                work();
            } catch (const BrevoraError& e) {
                failure = e;
            } catch (const std::exception& e) {
                failure = BrevoraError(ErrorKind::Network, QString::fromLocal8Bit(e.what()));
            }
            QMetaObject::invokeMethod(
                context,
                [this, failure, done] {
                    m_busy = false;
                    done(failure);
                },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}
