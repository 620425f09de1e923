#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <functional>

#include "core/run/runselection.h"

// The check before a campaign: whether the sender's domain is set up so that receivers accept
// its mail (SPF, DKIM, DMARC and its alignment, MX, a free-mail From), each a pass, a warning or a
// failure with what to do.
struct PreflightResult
{
    enum class Level { Pass, Warning, Failure };
    QString check;  // "SPF example.org"
    Level level = Level::Pass;
    QString detail; // what was found
    QString advice; // what to do; empty for a pass
};
QString LevelName(PreflightResult::Level level); // "pass", "warning", "failure"

// DNS look-ups, each bounded in time: the TXT strings of each record (joined), the MX hosts.
struct DnsLookups
{
    std::function<QStringList(const QString& name)> txt;
    std::function<QStringList(const QString& name)> mx;
    std::function<QStringList(const QString& name)> addresses; // A and AAAA
};
// Through the system's resolver (QDnsLookup), each waiting at most timeoutMs.
DnsLookups SystemDns(int timeoutMs = 5000);

// The checks of the selection's sender (its From and bounce domains and its DKIM keys), and
// whether the return path's SPF lets the selected server's addresses send (a hint: a relay may
// send from others).
QList<PreflightResult> CheckSenderDomain(const RunSelection& selection, const DnsLookups& dns);
// The message as it would go to the entry: Message-ID and Date, List-Unsubscribe (with the
// one-click header for an https link, and a link in the body), a text part for HTML, its size.
QList<PreflightResult> CheckMessage(const QByteArray& message, const Unsubscribe& links);
// Whether the server speaks TLS (from the first byte, or after STARTTLS); connects and says QUIT.
PreflightResult CheckServerTls(const RunSelection& selection, const CertificateDecision& decision);
// Whether the sender's bounce mailbox takes its login (nothing when it has none).
QList<PreflightResult> CheckBounceMailbox(const QString& sender, const CertificateDecision& decision);
// All of them: the sender's domain and mailbox, the server when one is selected, and `message`
// (as the first entry would get it) when it is not empty. Takes seconds: DNS and the network.
QList<PreflightResult> CheckBeforeRun(const RunSelection& selection, const QByteArray& message, const DnsLookups& dns,
                                      const CertificateDecision& decision);
