#pragma once

#include "support/printers.h"

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// The benchmark's SMTP sink (PIPELINING, CHUNKING, AUTH) run for a test: it stores each message
// as the client meant it and counts the round trips the client paid. Bounded life.
class Sink
{
public:
    explicit Sink(const QStringList& extraArgs = {})
    {
        m_port = freePort();
        m_process.start(QStringLiteral(BREVORA_TEST_SINK),
                        QStringList{"-o", m_out.path(), "-s", m_out.filePath("stats.jsonl"), "-x", "120"} + extraArgs
                            + QStringList{QStringLiteral("127.0.0.1:%1").arg(m_port)});
        QElapsedTimer timer;
        timer.start();
        while (!listening()) {
            if (timer.elapsed() > 10000 || m_process.state() == QProcess::NotRunning) {
                m_port = 0;
                return;
            }
            QThread::msleep(20);
        }
    }
    ~Sink()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(3000))
            m_process.kill();
        m_process.waitForFinished(3000);
    }
    int port() const { return m_port; }

    // The stored messages in the order they arrived, once there are count (or the time is up).
    QList<QByteArray> messages(int count, int ms = 15000) const
    {
        QElapsedTimer timer;
        timer.start();
        QStringList names;
        do {
            names = QDir(m_out.path()).entryList({"*.eml"}, QDir::Files, QDir::Name);
            if (names.size() >= count)
                break;
            QThread::msleep(20);
        } while (timer.elapsed() < ms);
        QList<QByteArray> result;
        for (const QString& n : names) {
            QFile f(m_out.filePath(n));
            f.open(QIODevice::ReadOnly);
            result.append(f.readAll());
        }
        return result;
    }
    // The figures of the sessions that have ended and said EHLO (not the probe that found the
    // sink listening), one object each.
    // The sink writes a session's figures once it has seen the client go: at least `atLeast` of
    // them are waited for (a bounded wait).
    QList<QJsonObject> sessions(int atLeast = 1, int ms = 5000) const
    {
        QElapsedTimer timer;
        timer.start();
        QList<QJsonObject> result;
        do {
            result.clear();
            QFile f(m_out.filePath("stats.jsonl"));
            if (f.open(QIODevice::ReadOnly))
                for (const QByteArray& line : f.readAll().split('\n'))
                    if (const QJsonObject o = QJsonDocument::fromJson(line).object(); o["ehlo"].toInt() + o["helo"].toInt() > 0)
                        result.append(o);
            if (result.size() >= atLeast)
                break;
            QThread::msleep(20);
        } while (timer.elapsed() < ms);
        return result;
    }

private:
    static int freePort()
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        int port = 0;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0
            && ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port = ntohs(a.sin_port);
        ::close(fd);
        return port;
    }
    bool listening() const
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(quint16(m_port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        // A probe connection is a session of its own for the sink; it ends at once and sends nothing.
        const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(fd);
        return ok;
    }

    QTemporaryDir m_out;
    QProcess m_process;
    int m_port = 0;
};

// The To: line of a message the sink stored: whom it was for.
inline QString RecipientOf(const QByteArray& message)
{
    static const QRegularExpression to(QStringLiteral("\r\nTo: ([^\r\n]+)"));
    return to.match(QString::fromLatin1(message)).captured(1);
}
