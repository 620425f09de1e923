#include "core/run/preflight.h"

#include "core/bounce/mailbox.h"
#include "core/error.h"
#include "core/mail/dkim.h"
#include "core/settings/bouncesettings.h"
#include "core/settings/dkimsettings.h"
#include "core/settings/settingsfile.h"
#include "core/smtp/smtpclient.h"

#include <QDnsLookup>
#include <QEventLoop>
#include <QHostAddress>
#include <QRegularExpression>
#include <QTimer>
#include <libpsl.h>
#include <optional>

namespace {

using Level = PreflightResult::Level;
constexpr int kMostSpfLookups = 10; // RFC 7208, 4.6.4

QString domainOf(const QString& address)
{
    return address.contains(QLatin1Char('@')) ? address.trimmed().section(QLatin1Char('@'), -1).toLower() : QString();
}

QString organisational(const QString& domain)
{
    static psl_ctx_t* psl = psl_latest(nullptr);
    const QByteArray d = domain.toUtf8();
    const char* registrable = psl ? psl_registrable_domain(psl, d.constData()) : nullptr;
    return registrable ? QString::fromUtf8(registrable) : domain;
}

QStringList recordsStartingWith(const QStringList& txt, const QString& prefix)
{
    QStringList out;
    for (const QString& r : txt)
        if (r.trimmed().startsWith(prefix, Qt::CaseInsensitive))
            out.append(r.trimmed());
    return out;
}

// The DNS look-ups an SPF record costs, those of its includes and redirect counted in.
int spfLookups(const QString& record, const DnsLookups& dns, int depth)
{
    int count = 0;
    for (const QString& term : record.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        QString t = term.toLower();
        if (!t.isEmpty() && QStringLiteral("+-~?").contains(t.front()))
            t.remove(0, 1);
        const QString mechanism = t.section(QRegularExpression(QStringLiteral("[:=/]")), 0, 0);
        if (QStringList{QStringLiteral("a"), QStringLiteral("mx"), QStringLiteral("ptr"), QStringLiteral("exists")}.contains(mechanism)) {
            ++count;
        } else if (mechanism == QLatin1String("include") || mechanism == QLatin1String("redirect")) {
            ++count;
            if (depth < kMostSpfLookups) {
                const QStringList inner = recordsStartingWith(dns.txt(t.section(QRegularExpression(QStringLiteral("[:=]")), 1)),
                                                              QStringLiteral("v=spf1"));
                if (!inner.isEmpty())
                    count += spfLookups(inner.first(), dns, depth + 1);
            }
        }
    }
    return count;
}

// What an SPF record lets send, through its includes and redirect: the networks of its ip4, ip6,
// a and mx terms that pass (a term without "+" passes). Terms this check cannot judge (ptr,
// exists, macros) set `undecided`.
struct SpfNetworks
{
    QList<QPair<QHostAddress, int>> networks;
    bool undecided = false;
};

void collectSpf(const QString& record, const QString& domain, const DnsLookups& dns, int depth, SpfNetworks& out)
{
    for (const QString& term : record.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        QString t = term;
        QChar qualifier = u'+';
        if (!t.isEmpty() && QStringLiteral("+-~?").contains(t.front())) {
            qualifier = t.front();
            t.remove(0, 1);
        }
        const QString mechanism = t.section(QRegularExpression(QStringLiteral("[:=/]")), 0, 0).toLower();
        QString target = t.section(QRegularExpression(QStringLiteral("[:=]")), 1).section(QLatin1Char('/'), 0, 0);
        const QString cidr = t.mid(mechanism.size()).section(QLatin1Char('/'), 1, 1);
        if (target.contains(QLatin1Char('%'))) {
            out.undecided = true;
            continue;
        }
        if (target.isEmpty())
            target = domain;
        if (mechanism == QLatin1String("include") || mechanism == QLatin1String("redirect")) {
            if (depth >= kMostSpfLookups || (mechanism == QLatin1String("include") && qualifier != u'+'))
                continue;
            const QStringList inner = recordsStartingWith(dns.txt(target), QStringLiteral("v=spf1"));
            if (!inner.isEmpty())
                collectSpf(inner.first(), target, dns, depth + 1, out);
        } else if (qualifier != u'+') {
            continue;
        } else if (mechanism == QLatin1String("ip4") || mechanism == QLatin1String("ip6")) {
            const QPair<QHostAddress, int> net = QHostAddress::parseSubnet(t.mid(4));
            if (!net.first.isNull())
                out.networks.append(net);
        } else if (mechanism == QLatin1String("a") || mechanism == QLatin1String("mx")) {
            QStringList hosts{target};
            if (mechanism == QLatin1String("mx"))
                hosts = dns.mx(target);
            for (const QString& host : hosts)
                for (const QString& a : dns.addresses(host)) {
                    const QHostAddress address(a);
                    const int whole = address.protocol() == QAbstractSocket::IPv6Protocol ? 128 : 32;
                    const int bits = cidr.isEmpty() ? whole : qMin(whole, cidr.toInt());
                    out.networks.append({address, bits});
                }
        } else if (mechanism == QLatin1String("ptr") || mechanism == QLatin1String("exists")) {
            out.undecided = true;
        }
    }
}

// Whether the domain's SPF lets the server's addresses send: a hint, since a relay may hand the
// mail to machines of other addresses.
PreflightResult checkServerInSpf(const QString& domain, const QString& server, const DnsLookups& dns)
{
    PreflightResult r{QStringLiteral("SPF %1 (server %2)").arg(domain, server)};
    QStringList addresses;
    if (const QHostAddress literal(server); !literal.isNull())
        addresses.append(literal.toString());
    else
        addresses = dns.addresses(server);
    const QStringList spf = recordsStartingWith(dns.txt(domain), QStringLiteral("v=spf1"));
    if (spf.size() != 1 || addresses.isEmpty()) {
        r.level = Level::Warning;
        r.detail = addresses.isEmpty() ? QStringLiteral("the server's name has no address") : QStringLiteral("no SPF record to judge by");
        r.advice = addresses.isEmpty() ? QStringLiteral("Check the server's name under Setting, SMTP Server.")
                                       : QStringLiteral("Publish the SPF record first (see above).");
        return r;
    }
    SpfNetworks allowed;
    collectSpf(spf.first(), domain, dns, 0, allowed);
    QStringList outside;
    for (const QString& a : addresses) {
        const QHostAddress address(a);
        if (std::none_of(allowed.networks.begin(), allowed.networks.end(),
                         [&](const QPair<QHostAddress, int>& net) { return address.isInSubnet(net); }))
            outside.append(a);
    }
    if (outside.isEmpty()) {
        r.detail = QStringLiteral("lets %1 send").arg(addresses.join(QStringLiteral(", ")));
        return r;
    }
    r.level = Level::Warning;
    r.detail = QStringLiteral("%1 not named%2 (a hint: a relay may send from other addresses)")
                   .arg(outside.join(QStringLiteral(", ")), allowed.undecided ? QStringLiteral(", or named by terms not checked here") : QString());
    r.advice = QStringLiteral("If %1 hands the mail to receivers itself, add ip%2:%3 to the SPF record of %4.")
                   .arg(server, QHostAddress(outside.first()).protocol() == QAbstractSocket::IPv6Protocol ? QStringLiteral("6") : QStringLiteral("4"),
                        outside.first(), domain);
    return r;
}

PreflightResult checkSpf(const QString& domain, const QString& role, const DnsLookups& dns)
{
    PreflightResult r{QStringLiteral("SPF %1 (%2)").arg(domain, role)};
    const QStringList spf = recordsStartingWith(dns.txt(domain), QStringLiteral("v=spf1"));
    if (spf.isEmpty()) {
        r.level = Level::Failure;
        r.detail = QStringLiteral("no SPF record");
        r.advice = QStringLiteral("Publish a TXT record for %1 such as \"v=spf1 include:<your provider's domain> ~all\".").arg(domain);
        return r;
    }
    if (spf.size() > 1) {
        r.level = Level::Failure;
        r.detail = QStringLiteral("%1 SPF records; receivers treat that as an error").arg(spf.size());
        r.advice = QStringLiteral("Merge them into one TXT record.");
        return r;
    }
    const QString record = spf.first();
    r.detail = record;
    const QStringList terms = record.toLower().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (terms.contains(QLatin1String("+all")) || terms.contains(QLatin1String("all"))) {
        r.level = Level::Failure;
        r.advice = QStringLiteral("\"+all\" lets anyone send as %1: end the record with ~all or -all.").arg(domain);
        return r;
    }
    if (const int lookups = spfLookups(record, dns, 0); lookups > kMostSpfLookups) {
        r.level = Level::Failure;
        r.detail += QStringLiteral(" (%1 DNS look-ups)").arg(lookups);
        r.advice = QStringLiteral("An SPF record may cost at most 10 DNS look-ups: replace includes by the addresses they name.");
        return r;
    }
    if (!terms.contains(QLatin1String("-all")) && !terms.contains(QLatin1String("~all")) && !record.contains(QLatin1String("redirect="))) {
        r.level = Level::Warning;
        r.advice = QStringLiteral("End the record with ~all or -all, so that receivers know what to do with other senders.");
    }
    return r;
}

} // namespace

QString LevelName(PreflightResult::Level level)
{
    switch (level) {
    case Level::Pass: return QStringLiteral("pass");
    case Level::Warning: return QStringLiteral("warning");
    case Level::Failure: return QStringLiteral("failure");
    }
    return {};
}

DnsLookups SystemDns(int timeoutMs)
{
    const auto lookup = [timeoutMs](QDnsLookup::Type type, const QString& name) {
        QDnsLookup dns(type, name);
        QEventLoop loop;
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        QObject::connect(&dns, &QDnsLookup::finished, &loop, &QEventLoop::quit);
        dns.lookup();
        if (!dns.isFinished())
            loop.exec();
        QStringList out;
        if (!dns.isFinished()) {
            dns.abort();
            throw BrevoraError(ErrorKind::Network, QStringLiteral("the DNS look-up of %1 took more than %2 s").arg(name).arg(timeoutMs / 1000));
        }
        // A name without records is an answer; a server that cannot answer is not.
        if (dns.error() != QDnsLookup::NoError && dns.error() != QDnsLookup::NotFoundError)
            throw BrevoraError(ErrorKind::Network, QStringLiteral("the DNS look-up of %1 failed: %2").arg(name, dns.errorString()));
        for (const QDnsTextRecord& r : dns.textRecords()) {
            QByteArray joined;
            for (const QByteArray& part : r.values())
                joined += part;
            out.append(QString::fromUtf8(joined));
        }
        for (const QDnsMailExchangeRecord& r : dns.mailExchangeRecords())
            out.append(r.exchange());
        for (const QDnsHostAddressRecord& r : dns.hostAddressRecords())
            out.append(r.value().toString());
        return out;
    };
    return {[lookup](const QString& name) { return lookup(QDnsLookup::TXT, name); },
            [lookup](const QString& name) { return lookup(QDnsLookup::MX, name); },
            [lookup](const QString& name) {
                // A name with IPv4 addresses only is common, and some servers answer its AAAA
                // question in a form QDnsLookup does not take: one family answering is enough.
                QStringList out;
                std::optional<BrevoraError> failure;
                for (const QDnsLookup::Type type : {QDnsLookup::A, QDnsLookup::AAAA}) {
                    try {
                        out += lookup(type, name);
                    } catch (const BrevoraError& e) {
                        failure = e;
                    }
                }
                if (out.isEmpty() && failure)
                    throw *failure;
                return out;
            }};
}

QList<PreflightResult> CheckSenderDomain(const RunSelection& s, const DnsLookups& dns)
{
    QList<PreflightResult> results;
    // A look-up that gets no answer leaves its check undecided: a warning that says why, never a
    // "missing" record.
    const auto attempt = [&results](const QString& check, const std::function<void()>& work) {
        try {
            work();
        } catch (const BrevoraError& e) {
            if (e.kind() != ErrorKind::Network)
                throw;
            results.append({check, Level::Warning, QStringLiteral("not checked: ") + e.message(),
                            QStringLiteral("Check again when the DNS answers.")});
        }
    };
    const QString from = domainOf(s.SenderAddress);
    if (from.isEmpty())
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("No sender address is selected."));
    const QString returnPath = s.BounceAddress.isEmpty() ? from : domainOf(s.BounceAddress);
    attempt(QStringLiteral("SPF %1 (From)").arg(from), [&] { results.append(checkSpf(from, QStringLiteral("From"), dns)); });
    if (returnPath != from)
        attempt(QStringLiteral("SPF %1 (return path)").arg(returnPath),
                [&] { results.append(checkSpf(returnPath, QStringLiteral("return path"), dns)); });
    // A server on this machine hands the mail on: its address says nothing.
    if (const QString server = s.ServerHost.trimmed(); !server.isEmpty() && !QHostAddress(server).isLoopback()
        && server.compare(QLatin1String("localhost"), Qt::CaseInsensitive) != 0)
        attempt(QStringLiteral("SPF %1 (server %2)").arg(returnPath, server), [&] { results.append(checkServerInSpf(returnPath, server, dns)); });

    // DKIM: each key's record is published and holds the key's public half.
    QStringList signingDomains;
    const QList<DkimEntry> entries = ReadDkimEntries(from);
    for (const DkimEntry& e : entries) {
        PreflightResult r{QStringLiteral("DKIM %1._domainkey.%2").arg(e.selector, e.domain)};
        try {
            const Dkim::Key key = Dkim::LoadKey(DkimKeyPath(e), e.domain, e.selector);
            const QString expected = QString::fromLatin1(Dkim::DnsRecord(key)).section(QStringLiteral("p="), 1).trimmed();
            const QStringList published = recordsStartingWith(dns.txt(Dkim::RecordName(key)), QStringLiteral("v=DKIM1"));
            bool matches = false;
            for (const QString& p : published)
                matches = matches || p.section(QStringLiteral("p="), 1).section(QLatin1Char(';'), 0, 0).remove(QLatin1Char(' ')) == expected;
            if (published.isEmpty()) {
                r.level = Level::Failure;
                r.detail = QStringLiteral("no record");
                r.advice = QStringLiteral("Publish the key's record: the sender dialog's DKIM Keys... shows it, as brevora dkim set prints it.");
            } else if (!matches) {
                r.level = Level::Failure;
                r.detail = QStringLiteral("the published key is not this key's");
                r.advice = QStringLiteral("Publish the record of the key in use, or set the key the record is for.");
            } else {
                r.detail = QStringLiteral("published, matches the key");
                signingDomains.append(e.domain);
            }
        } catch (const BrevoraError& error) {
            const bool unanswered = error.kind() == ErrorKind::Network;
            r.level = unanswered ? Level::Warning : Level::Failure;
            r.detail = unanswered ? QStringLiteral("not checked: ") + error.message() : error.message();
            r.advice = unanswered ? QStringLiteral("Check again when the DNS answers.")
                                  : QStringLiteral("Set a key that can be read: the sender dialog's DKIM Keys..., or brevora dkim set or generate.");
        }
        results.append(r);
    }
    if (entries.isEmpty())
        results.append({QStringLiteral("DKIM %1").arg(from), Level::Warning, QStringLiteral("Brevora does not sign for this domain"),
                        QStringLiteral("Make sure the relay signs as %1, or let Brevora sign: Generate under the sender dialog's DKIM "
                                       "Keys..., or brevora dkim generate --domain %1 --selector NAME.").arg(from)});

    const QString org = organisational(from);
    attempt(QStringLiteral("DMARC %1").arg(org), [&] {
        // DMARC: the organisational domain's policy, and a domain that aligns with From.
        PreflightResult dmarc{QStringLiteral("DMARC %1").arg(org)};
        QStringList policy = recordsStartingWith(dns.txt(QStringLiteral("_dmarc.") + from), QStringLiteral("v=DMARC1"));
        if (policy.isEmpty() && org != from)
            policy = recordsStartingWith(dns.txt(QStringLiteral("_dmarc.") + org), QStringLiteral("v=DMARC1"));
        QString p;
        if (policy.isEmpty()) {
            dmarc.level = Level::Failure;
            dmarc.detail = QStringLiteral("no DMARC record");
            dmarc.advice = QStringLiteral("Bulk senders need one: publish _dmarc.%1 TXT \"v=DMARC1; p=none; rua=mailto:...\" to begin with.").arg(org);
        } else {
            dmarc.detail = policy.first();
            for (const QString& tag : policy.first().split(QLatin1Char(';')))
                if (tag.trimmed().startsWith(QLatin1String("p="), Qt::CaseInsensitive))
                    p = tag.trimmed().mid(2).toLower();
            const bool dkimAligned = std::any_of(signingDomains.begin(), signingDomains.end(),
                                                 [&](const QString& d) { return organisational(d) == org; });
            const bool spfAligned = organisational(returnPath) == org;
            if (!dkimAligned && !spfAligned) {
                dmarc.level = Level::Failure;
                dmarc.advice = QStringLiteral("Neither the DKIM domain nor the return path is %1: sign for it, or send bounces to an "
                                              "address of it.").arg(org);
            } else if (p == QLatin1String("none")) {
                dmarc.level = Level::Warning;
                dmarc.advice = QStringLiteral("The policy is none: receivers are told nothing; move to quarantine once reports are clean.");
            }
        }
        results.append(dmarc);

        // Free mail providers refuse bulk mail that claims to be from their users.
        static const QStringList freeMail{"gmail.com", "googlemail.com", "yahoo.com", "ymail.com", "hotmail.com", "outlook.com",
                                          "live.com", "aol.com", "icloud.com", "me.com", "gmx.com", "gmx.de", "web.de", "yandex.ru",
                                          "mail.ru", "qq.com", "163.com"};
        if (freeMail.contains(org) && (p == QLatin1String("reject") || p == QLatin1String("quarantine") || policy.isEmpty()))
            results.append({QStringLiteral("From %1").arg(from), Level::Failure, QStringLiteral("a free-mail address"),
                            QStringLiteral("%1 tells receivers to refuse mail from others: send from a domain of your own.").arg(org)});

    });

    // MX: bounces and replies can arrive.
    attempt(QStringLiteral("MX %1").arg(returnPath), [&] {
        PreflightResult mx{QStringLiteral("MX %1").arg(returnPath)};
        const QStringList exchanges = dns.mx(returnPath);
        if (exchanges.isEmpty()) {
            mx.level = Level::Warning;
            mx.detail = QStringLiteral("no MX record");
            mx.advice = QStringLiteral("Replies and bounces to %1 cannot arrive: publish an MX record.").arg(returnPath);
        } else {
            mx.detail = exchanges.join(QStringLiteral(", "));
        }
        results.append(mx);
    });
    return results;
}

QList<PreflightResult> CheckMessage(const QByteArray& message, const Unsubscribe& links)
{
    QList<PreflightResult> results;
    const qsizetype end = message.indexOf("\r\n\r\n");
    const QByteArray head = "\r\n" + message.left(end < 0 ? message.size() : end).toLower();
    const QByteArray body = end < 0 ? QByteArray() : message.mid(end + 4);
    const auto has = [&head](const char* name) { return head.contains(QByteArray("\r\n") + name + ':'); };
    const auto add = [&results](const QString& check, bool ok, Level otherwise, const QString& detail, const QString& advice) {
        results.append({check, ok ? Level::Pass : otherwise, detail, ok ? QString() : advice});
    };
    add(QStringLiteral("Message-ID and Date"), has("message-id") && has("date"), Level::Failure, QStringLiteral("in the headers"),
        QStringLiteral("Receivers refuse messages without them."));
    if (links.any()) {
        const bool oneClick = !links.url.trimmed().isEmpty();
        add(QStringLiteral("List-Unsubscribe"), has("list-unsubscribe") && (!oneClick || has("list-unsubscribe-post")), Level::Failure,
            oneClick ? QStringLiteral("with List-Unsubscribe-Post (one click)") : QStringLiteral("a mailto: link"),
            QStringLiteral("Set the content's unsubscribe links again."));
        const QByteArray text = body.toLower();
        const bool linkInBody = text.contains("unsubscribe") || (oneClick && text.contains(links.url.trimmed().section(u'?', 0, 0).toLower().toUtf8()));
        add(QStringLiteral("Unsubscribe link in the body"), linkInBody, Level::Warning, QStringLiteral("found"),
            QStringLiteral("Receivers want a visible way out too: put the unsubscribe link in the text (a placeholder fills it)."));
    } else {
        results.append({QStringLiteral("List-Unsubscribe"), Level::Failure, QStringLiteral("none"),
                        QStringLiteral("Bulk mail must offer one-click unsubscribe (RFC 8058): set an https: unsubscribe URL in the content.")});
    }
    if (head.contains("content-type: multipart/") || head.contains("content-type: text/html"))
        add(QStringLiteral("Text part"), !head.contains("content-type: text/html"), Level::Warning, QStringLiteral("HTML goes with text"),
            QStringLiteral("An HTML message without a text part looks like spam to some filters."));
    constexpr qsizetype kClipped = 102 * 1024; // where Gmail cuts a message short
    add(QStringLiteral("Size"), message.size() <= kClipped, Level::Warning, QStringLiteral("%1 KB").arg((message.size() + 1023) / 1024),
        QStringLiteral("Gmail shows only the first 102 KB of a message: move large parts to attachments or links."));
    return results;
}

PreflightResult CheckServerTls(const RunSelection& s, const CertificateDecision& decision)
{
    PreflightResult r{QStringLiteral("TLS %1").arg(s.ServerHost)};
    SmtpClient client;
    client.Host = s.ServerHost.trimmed();
    client.Port = s.ServerPort.trimmed().toInt();
    client.ReadTimeout = 15000;
    if (!s.Session.greetingName.isEmpty())
        client.HeloName = s.Session.greetingName;
    client.setCertificateDecision(decision);
    SecureTransport implicitTls;
    if (s.ImplicitTls)
        client.attachSecureTransport(&implicitTls);
    try {
        client.OpenSession();
        const bool secure = client.secure();
        client.CloseSession();
        r.level = secure ? Level::Pass : Level::Failure;
        r.detail = secure ? (s.ImplicitTls ? QStringLiteral("TLS from the first byte") : QStringLiteral("STARTTLS"))
                          : QStringLiteral("no STARTTLS offered");
        if (!secure)
            r.advice = QStringLiteral("The password and every message would cross the network in clear: use the server's TLS port.");
    } catch (const BrevoraError& e) {
        r.level = Level::Failure;
        r.detail = e.message();
        r.advice = QStringLiteral("Check the server's name and port, and its certificate.");
    }
    return r;
}

QList<PreflightResult> CheckBounceMailbox(const QString& sender, const CertificateDecision& decision)
{
    const BounceSetup setup = ReadBounceSetup(sender);
    if (setup.mailbox.isEmpty())
        return {};
    PreflightResult r{QStringLiteral("Bounce mailbox %1").arg(setup.mailbox.section(u'@', -1))};
    try {
        BounceMailbox(setup, decision).probe();
        r.detail = QStringLiteral("logged in");
    } catch (const BrevoraError& e) {
        r.level = Level::Failure;
        r.detail = e.message();
        r.advice = QStringLiteral("Bounces would pile up unread: check the mailbox and its password in the sender's settings.");
    }
    return {r};
}

QList<PreflightResult> CheckBeforeRun(const RunSelection& s, const QByteArray& message, const DnsLookups& dns,
                                      const CertificateDecision& decision)
{
    QList<PreflightResult> results = CheckSenderDomain(s, dns);
    results += CheckBounceMailbox(s.SenderAddress, decision);
    if (!s.ServerHost.trimmed().isEmpty())
        results.append(CheckServerTls(s, decision));
    if (!message.isEmpty())
        results += CheckMessage(message, s.UnsubscribeLinks);
    return results;
}
