#pragma once

#include "core/run/sendingrun.h"
#include "core/sendlog/sendlogstore.h"

#include <QObject>
#include <QStringList>

// A selection for a server on this machine: from me@example.com, the content "Greetings", no
// receipt requested.
inline RunSelection LocalSelection(int port)
{
    RunSelection s;
    s.ServerHost = QStringLiteral("127.0.0.1");
    s.ServerPort = QString::number(port);
    s.SenderAddress = QStringLiteral("me@example.com");
    s.ContentTitle = QStringLiteral("Greetings");
    s.ReturnReceipt = false;
    return s;
}

// What a run says and how it ends, as the tests follow it.
struct RunRecord
{
    QStringList lines;
    QStringList errors;
    RunOutcome outcome = RunOutcome::Completed;
    int finishedCount = 0;

    // Readies the run as the tests drive it: paced by `intervalMs`, greeting as "tester", a read
    // limit of five seconds, and everything it says recorded here.
    void follow(SendingRun& run, int intervalMs)
    {
        run.setInterval(intervalMs);
        run.smtp().HeloName = QStringLiteral("tester");
        run.smtp().ReadTimeout = 5000;
        QObject::connect(&run, &SendingRun::activity, [this](const QString& l) { lines.append(l); });
        QObject::connect(&run, &SendingRun::errorRaised, [this](const QString& e) { errors.append(e); });
        QObject::connect(&run, &SendingRun::finished, [this](RunOutcome o) {
            outcome = o;
            ++finishedCount;
        });
    }
};

// The addresses the send log holds as delivered, in order.
inline QStringList DeliveredAddresses(SendLogStore& store)
{
    QStringList addresses;
    for (const SendLogStore::LogRow& row : store.logRows(QStringLiteral("%")))
        if (row.delivered)
            addresses.append(row.address);
    return addresses;
}
