#pragma once

#include "support/printers.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <mutex>
#include <thread>

struct TestCert;

// A one-connection peer on 127.0.0.1 that plays a script: exact dialogues and faults for the
// session tests. Every wait is bounded, so a client fault fails a test instead of hanging it.
class ScriptedServer
{
public:
    ScriptedServer();
    ~ScriptedServer();

    // Script steps, played in order once a client connects.
    ScriptedServer& send(const QByteArray& bytes);
    // Reads one line and records a mismatch when it differs from the expected text (without CR LF).
    ScriptedServer& expect(const QByteArray& line);
    // Reads one line whatever it holds.
    ScriptedServer& readLine();
    // Reads message data up to and including the "." line.
    ScriptedServer& readData();
    // Reads a "BDAT <size> LAST" line and the size's bytes after it.
    ScriptedServer& readChunk();
    ScriptedServer& pause(int ms);
    // Notes that the script got here (see waitForMark).
    ScriptedServer& mark();
    ScriptedServer& close();
    // Closes with a reset (RST): the client's next write fails, while what was sent before can
    // still be read.
    ScriptedServer& reset();
    // TLS on the connection from here on (for implicit TLS put it first).
    ScriptedServer& startTls(const TestCert& cert);
    // Reads until the client closes, recording what arrives.
    ScriptedServer& drain();

    void start();
    int port() const { return m_port; }
    // Waits for the script to end; false on time-out.
    bool finish(int ms = 15000);
    // Whether the script has played its mark: the client has done everything before it.
    bool marked() const;
    // Waits for that, without an event loop; false on time-out.
    bool waitForMark(int ms = 15000);
    QByteArray received() const;
    QStringList problems() const;
    int acceptedConnections() const { return m_accepted; }

private:
    struct Step
    {
        enum Kind { Send, Expect, ReadLine, ReadData, ReadChunk, Pause, Mark, Close, Reset, StartTls, Drain } kind;
        QByteArray data;
        int ms = 0;
        const TestCert* cert = nullptr;
    };
    void run();
    bool readOneLine(QByteArray& line);
    bool fill();
    bool writeAll(const QByteArray& bytes);

    QList<Step> m_steps;
    int m_listen = -1;
    int m_fd = -1;
    int m_port = 0;
    int m_accepted = 0;
    void* m_ssl = nullptr;
    void* m_ctx = nullptr;
    QByteArray m_in;
    QByteArray m_received;
    QStringList m_problems;
    mutable std::mutex m_mutex;
    std::thread m_thread;
    bool m_done = false;
    bool m_marked = false;
};
