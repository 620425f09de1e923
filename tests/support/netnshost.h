#pragma once

#include <QCoreApplication>
#include <QProcess>
#include <QString>
#include <QStringList>

// A host that is not this machine's loopback: a network namespace of its own joined to this one
// by a veth pair, with an address on each end. Needs root and iproute2; up() says whether it
// could be made. Removed when the object goes.
class NamespaceHost
{
public:
    NamespaceHost()
    {
        const int n = int(QCoreApplication::applicationPid() % 200) + 20;
        m_name = QStringLiteral("brevora%1").arg(QCoreApplication::applicationPid());
        m_outside = QStringLiteral("brvo%1").arg(QCoreApplication::applicationPid() % 100000);
        const QString inside = QStringLiteral("brvi%1").arg(QCoreApplication::applicationPid() % 100000);
        m_address = QStringLiteral("10.213.%1.2").arg(n);
        const QString local = QStringLiteral("10.213.%1.1/24").arg(n);
        m_up = ip({"netns", "add", m_name}) && ip({"link", "add", m_outside, "type", "veth", "peer", "name", inside})
            && ip({"link", "set", inside, "netns", m_name}) && ip({"addr", "add", local, "dev", m_outside})
            && ip({"link", "set", m_outside, "up"})
            && ip({"netns", "exec", m_name, "ip", "addr", "add", m_address + "/24", "dev", inside})
            && ip({"netns", "exec", m_name, "ip", "link", "set", inside, "up"})
            && ip({"netns", "exec", m_name, "ip", "link", "set", "lo", "up"});
    }
    ~NamespaceHost()
    {
        ip({"link", "del", m_outside});
        ip({"netns", "del", m_name});
    }
    bool up() const { return m_up; }
    QString address() const { return m_address; }
    // An address on the same link that nobody holds: a connect to it waits until the link gives
    // up finding it (some seconds).
    QString unusedAddress() const { return m_address.left(m_address.lastIndexOf('.')) + QStringLiteral(".77"); }
    // The command that runs a program inside the namespace.
    QStringList launcher() const { return {"ip", "netns", "exec", m_name}; }

private:
    static bool ip(const QStringList& args)
    {
        QProcess p;
        p.start("ip", args);
        return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    }

    QString m_name;
    QString m_outside;
    QString m_address;
    bool m_up = false;
};
