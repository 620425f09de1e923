#pragma once

#include "support/printers.h"

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

// A real SMTP server (aiosmtpd under Debian's python3) for end-to-end tests, with a bounded life.
class Smtpd
{
public:
    // launcher: a command the server runs under (say, "ip netns exec NAME").
    explicit Smtpd(const QStringList& extraArgs = {}, const QString& certFolder = {}, const QStringList& launcher = {})
    {
        const QString script = QStringLiteral(BREVORA_TEST_SOURCE_DIR "/support/smtpd.py");
        QStringList args{script, "--out", m_out.path(), "--lifetime", "120"};
        if (!certFolder.isEmpty())
            args << "--cert" << certFolder + "/cert.pem" << "--key" << certFolder + "/key.pem";
        args = QStringList{"/usr/bin/python3"} + args + extraArgs;
        if (!launcher.isEmpty())
            args = launcher + args;
        m_process.start(args.first(), args.mid(1));
        QElapsedTimer timer;
        timer.start();
        QByteArray line;
        while (timer.elapsed() < 20000 && m_port == 0) {
            m_process.waitForReadyRead(200);
            line += m_process.readAllStandardOutput();
            const qsizetype at = line.indexOf("READY ");
            if (at >= 0 && line.indexOf('\n', at) > 0)
                m_port = line.mid(at + 6, line.indexOf('\n', at) - at - 6).trimmed().toInt();
            if (m_process.state() == QProcess::NotRunning)
                break;
        }
    }
    ~Smtpd()
    {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    int port() const { return m_port; }
    QString error() { return QString::fromLocal8Bit(m_process.readAllStandardError()); }
    // The received messages in order; waits up to ms for at least count of them.
    QList<QByteArray> messages(int count = 0, int ms = 10000) const
    {
        QElapsedTimer timer;
        timer.start();
        for (;;) {
            const QStringList names = QDir(m_out.path()).entryList({"*.eml"}, QDir::Files, QDir::Name);
            if (names.size() >= count || timer.elapsed() > ms) {
                QList<QByteArray> result;
                for (const QString& n : names) {
                    QFile f(m_out.path() + '/' + n);
                    f.open(QIODevice::ReadOnly);
                    result.append(f.readAll());
                }
                return result;
            }
            QThread::msleep(20);
        }
    }
    QByteArray envelope(int index) const
    {
        QFile f(m_out.path() + QStringLiteral("/%1.eml.env").arg(index + 1, 4, 10, QLatin1Char('0')));
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }

private:
    QTemporaryDir m_out;
    QProcess m_process;
    int m_port = 0;
};
