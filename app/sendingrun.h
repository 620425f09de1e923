#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <functional>

#include "transport/emailmessage.h"
#include "transport/securetransport.h"
#include "transport/smtpclient.h"

class PendingList;
class TDM;

// What the user picked in the main window; the run reads it once, when it starts.
struct RunSelection
{
    QString ServerHost;
    QString ServerAccount;
    QString ServerSsl;
    QString ServerPort;
    QString ServerPassword;
    QString SenderAddress;
    QString SenderName;
    QString ContentTitle;
    bool ReturnReceipt = true;
};

// How a run ended.
enum class RunOutcome { Completed, Stopped, Refused, ConnectFailed, AuthFailed, PrepareFailed, RecordFailed };

// Strict decimal (or "$"/"0x" hexadecimal) integer; throws "'%s' is not a valid integer value".
int ParseIntegerText(const QString& text);

// The sending run: one SMTP session, one message per timer tick, each delivered entry removed
// from the pending list and recorded in the send log, the first refusal ending the run. The main
// window and the command line drive the same object and show what it reports.
class SendingRun : public QObject
{
    Q_OBJECT
public:
    SendingRun(PendingList& list, QObject* parent = nullptr);

    // The body lines of the content, read for every message.
    void setBodyProvider(std::function<QStringList()> provider) { m_body = std::move(provider); }
    // The test address as typed, read when the test message is sent.
    void setTestAddressProvider(std::function<QString()> provider) { m_testAddress = std::move(provider); }
    void setCertificateDecision(CertificateDecision decision) { m_smtp.setCertificateDecision(std::move(decision)); }
    void setInterval(int ms) { m_timer.setInterval(ms); }

    // Start/Stop: nothing with an empty list; stops a run under way, else starts one.
    void StartBtClick(const RunSelection& selection);
    // Test send: nothing for fewer than 5 characters or while a run is under way.
    void TestBtClick(const RunSelection& selection);
    void StartRun(const RunSelection& selection);
    void StopRun();
    void MainTimerTimer();
    bool SendOne(const QString& entry);

    bool running() const { return m_running; }
    bool timerActive() const { return m_timer.isActive(); }
    bool IsTestRun = false;
    int PendingCount = 0;
    int SentCount = 0;
    int AllCount = 0;

    SmtpClient& smtp() { return m_smtp; }
    EmailMessage& message() { return m_message; }
    RunOutcome lastOutcome() const { return m_outcome; }

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
    void finish(RunOutcome outcome);
    // While the server answers: writes the message of the next entry ahead and applies a due
    // batch of deliveries to the send log.
    void workWhileWaiting();
    void writeNextAhead();

    // The next entry's message, written while the previous one was on its way. It is used only
    // when the entry and the body are still the same at its tick.
    struct MessageAhead
    {
        bool tried = false;
        bool ready = false;
        QString entry;
        QStringList body;
        OutgoingMessage outgoing;
    };

    PendingList& m_list;
    SecureTransport m_sslHandler; // outlives the client that may still use it when closing
    SmtpClient m_smtp;
    EmailMessage m_message;
    QTimer m_timer;
    std::function<QStringList()> m_body;
    std::function<QString()> m_testAddress;
    bool m_running = false;
    RunOutcome m_outcome = RunOutcome::Completed;
    int m_runDelivered = 0;
    int m_runTotal = 0;
    MessageAhead m_ahead;
    QString m_flushError; // a batch that could not be applied while waiting
};
