#pragma once

#include <QObject>
#include <QThread>
#include <functional>
#include <optional>

#include "core/error.h"

// A thread of its own for the SMTP session, so that connecting and waiting for the server never
// hold up the thread that drives the run (the window's). Jobs run one at a time, in order; each
// reports back on the thread of the object that posted it, after everything the job posted there.
class SessionThread
{
public:
    using Done = std::function<void(const std::optional<BrevoraError>&)>;

    SessionThread();
    // Waits for the job under way: interrupt the session first.
    ~SessionThread();
    // The same, before the end: no job runs after it.
    void finish();
    SessionThread(const SessionThread&) = delete;
    SessionThread& operator=(const SessionThread&) = delete;

    // Runs work on the session's thread, then done on the context's thread with the error work
    // threw, if any.
    void run(QObject* context, std::function<void()> work, Done done);
    // A job is under way (read on the context's thread).
    bool busy() const { return m_busy; }

private:
    QThread m_thread;
    QObject m_worker; // lives on m_thread
    bool m_busy = false;
};
