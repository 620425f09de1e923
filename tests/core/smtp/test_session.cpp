#include "support/deliver.h"
#include "core/text/codepage.h"
#include "core/error.h"
#include "support/scriptedserver.h"
#include "support/testcert.h"
#include "core/smtp/smtpclient.h"
#include "core/smtp/socketstream.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QRegularExpression>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>
#include <chrono>
#include <thread>

namespace {

const QByteArray kGreeting = "220 test.example ESMTP\r\n";
const QByteArray kEhloPlain = "250-test.example\r\n250 HELP\r\n";
const QByteArray kEhloPipelining = "250-test.example\r\n250-PIPELINING\r\n250 8BITMIME\r\n";

class SessionTest : public ::testing::Test
{
protected:
    void SetUp() override { CodePage::setName("CP1252"); }

    void connectTo(ScriptedServer& server)
    {
        server.start();
        client.Host = "127.0.0.1";
        client.Port = server.port();
        client.HeloName = "tester";
        client.ReadTimeout = 5000;
    }

    QString failureOf(const std::function<void()>& action)
    {
        try {
            action();
        } catch (const BrevoraError& e) {
            return e.message();
        }
        return QStringLiteral("<no failure>");
    }

    static EmailMessage message(const QString& to = "ann@example.org")
    {
        EmailMessage m;
        m.From = {"me@example.com", ""};
        m.Subject = "Hi";
        SetRecipientsText(m.Recipients, to);
        m.ContentType = "text/plain";
        m.Body = {"Hello"};
        return m;
    }

    void expectClean(ScriptedServer& server)
    {
        EXPECT_TRUE(server.finish());
        EXPECT_TRUE(server.problems().isEmpty()) << server.problems().join("; ").toStdString();
    }

    SmtpClient client;
};

} // namespace

TEST_F(SessionTest, OpensWithEhloAndCollectsAuthSchemes)
{
    ScriptedServer server;
    server.send(kGreeting)
        .expect("EHLO tester")
        .send("250-test.example\r\n250-AUTH=LOGIN\r\n250-AUTH LOGIN PLAIN\r\n250-auth login cram-md5\r\n"
              "250-AUTHENTICATE X\r\n250 SIZE 100\r\n")
        .expect("QUIT");
    connectTo(server);
    client.OpenSession();
    EXPECT_EQ(client.OfferedAuthSchemes(), (QStringList{"LOGIN", "PLAIN", "CRAM-MD5"}));
    EXPECT_TRUE(client.Connected());
    EXPECT_EQ(failureOf([&] { client.OpenSession(); }), "Already connected.");
    client.CloseSession();
    EXPECT_FALSE(client.Connected());
    expectClean(server);
}

TEST_F(SessionTest, FallsBackToHeloAndReadsOddReplies)
{
    ScriptedServer server;
    server.send("\r\n  \r\n" + kGreeting) // blank lines before a reply are skipped
        .expect("EHLO tester")
        .send("500 What?\r\n")
        .expect("HELO tester")
        .send("250-first\r\n250-second\r\n250\r\n") // ends with the bare code
        .expect("QUIT");
    connectTo(server);
    client.OpenSession();
    EXPECT_TRUE(client.OfferedAuthSchemes().isEmpty());
    EXPECT_EQ(client.lastReply().Text, (QStringList{"first", "second", ""}));
    EXPECT_EQ(client.lastReply().TextCode, "250");
    EXPECT_EQ(client.lastReply().NumericCode, 250);
    client.CloseSession();
    expectClean(server);
}

TEST_F(SessionTest, ReadsAReplyArrivingOneByteAtATime)
{
    ScriptedServer server;
    const QByteArray reply = "220-one\r\n220 two\r\n";
    for (char c : reply)
        server.send(QByteArray(1, c)).pause(1);
    server.expect("EHLO tester").send(kEhloPlain).expect("QUIT");
    connectTo(server);
    client.OpenSession();
    client.CloseSession();
    expectClean(server);
}

TEST_F(SessionTest, BadGreetingWritesQuitAndFails)
{
    ScriptedServer server;
    server.send("554 go away\r\n").expect("QUIT");
    connectTo(server);
    EXPECT_EQ(failureOf([&] { client.OpenSession(); }), "go away\r\n");
    EXPECT_FALSE(client.Connected());
    expectClean(server);
}

TEST_F(SessionTest, LogsInWithLogin)
{
    ScriptedServer server;
    server.send(kGreeting)
        .expect("EHLO tester")
        .send("250-x\r\n250 AUTH LOGIN\r\n")
        .expect("AUTH LOGIN")
        .send("334 VXNlcm5hbWU6\r\n")
        .expect("dXNlcg==")
        .send("334 UGFzc3dvcmQ6\r\n")
        .expect("") // an empty password is an empty line
        .send("235 ok\r\n")
        .expect("QUIT");
    connectTo(server);
    client.OpenSession();
    client.Username = "user";
    client.Password = "";
    EXPECT_FALSE(client.LogIn()); // atNone: nothing is sent
    client.setLoginMechanism(LoginMechanism::Login);
    EXPECT_TRUE(client.LogIn());
    client.CloseSession();
    expectClean(server);
}

TEST_F(SessionTest, RefusedLoginStepFails)
{
    ScriptedServer server;
    server.send(kGreeting).expect("EHLO tester").send("250 AUTH LOGIN\r\n").expect("AUTH LOGIN").send("535 no\r\n").drain();
    connectTo(server);
    client.OpenSession();
    client.setLoginMechanism(LoginMechanism::Login);
    EXPECT_EQ(failureOf([&] { client.LogIn(); }), "no\r\n");
    client.CloseSession();
    expectClean(server);
}

// AUTH PLAIN and XOAUTH2 send the payloads of their published examples (RFC 4616; the XOAUTH2
// documentation's), XOAUTH2 with the token its command prints at each login. A refused XOAUTH2
// login answers the server's challenge with an empty line and fails with the final reply, the
// session still open.
TEST_F(SessionTest, PlainAndXOAuth2SendTheDocumentedPayloads)
{
    const QByteArray xoauth2 = "AUTH XOAUTH2 dXNlcj1zb21ldXNlckBleGFtcGxlLmNvbQFhdXRoPUJlYXJlciB5YTI5LnZGOWRmdDRxbVRj"
                               "Mk52YjNSbGNrQmhkSFJoZG1semRHRXVZMjl0Q2cBAQ==";
    ScriptedServer server;
    server.send(kGreeting).expect("EHLO tester").send("250-x\r\n250 AUTH PLAIN XOAUTH2\r\n")
        .expect("AUTH PLAIN AHRpbQB0YW5zdGFhZnRhbnN0YWFm").send("235 2.7.0 ok\r\n")
        .expect(xoauth2).send("235 2.7.0 ok\r\n")
        .expect(xoauth2).send("334 eyJzdGF0dXMiOiI0MDEifQ==\r\n").expect("").send("535 5.7.8 token expired\r\n")
        .expect("QUIT");
    connectTo(server);
    client.OpenSession();
    client.Username = "tim";
    client.Password = "tanstaaftanstaaf";
    client.setLoginMechanism(LoginMechanism::Plain);
    EXPECT_TRUE(client.LogIn());
    client.Username = "someuser@example.com";
    client.TokenCommand = "/bin/echo \"  ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg  \"";
    client.setLoginMechanism(LoginMechanism::XOAuth2);
    EXPECT_TRUE(client.LogIn());
    EXPECT_EQ(failureOf([&] { client.LogIn(); }), "5.7.8 token expired\r\n");
    EXPECT_TRUE(client.Connected());
    client.CloseSession();
    expectClean(server);
}

// The token command runs without a shell and within its time limit. One that fails, prints
// nothing, hangs, cannot start, or prints two words ends the login with its own reason before
// anything is sent. One cut short takes what it started with it.
TEST_F(SessionTest, TokenCommandThatFailsOrHangsEndsTheLogin)
{
    ScriptedServer server;
    server.send(kGreeting).expect("EHLO tester").send("250-x\r\n250 AUTH XOAUTH2\r\n").expect("QUIT");
    connectTo(server);
    client.OpenSession();
    client.setLoginMechanism(LoginMechanism::XOAuth2);
    client.TokenTimeout = 500;
    QTemporaryDir work;
    const QString pidFile = work.filePath("child.pid");
    const QByteArray spawning = "sh -c \"sleep 30 & echo $! > " + pidFile.toLocal8Bit() + "; wait\"";
    const struct
    {
        const char* command;
        const char* reason;
    } cases[] = {
        {spawning.constData(), "took longer than 0.5 s."},
        {"sh -c \"echo no such account >&2; exit 3\"", "failed (exit status 3): no such account"},
        {"/bin/true", "printed no token."},
        {"sleep 30", "took longer than 0.5 s."},
        {"/nonexistent/token-tool", "could not be started"},
        {"/bin/echo two words", "printed more than one token"},
        {"/bin/echo a;b $(rm -rf x)", "printed more than one token"}, // no shell: the words stay words
    };
    for (const auto& c : cases) {
        client.TokenCommand = c.command;
        const QString failure = failureOf([&] { client.LogIn(); });
        EXPECT_TRUE(failure.startsWith(QStringLiteral("The token command \"%1\" ").arg(c.command))) << failure.toStdString();
        EXPECT_TRUE(failure.contains(c.reason)) << failure.toStdString();
        EXPECT_TRUE(client.Connected());
    }
    QFile pid(pidFile);
    ASSERT_TRUE(pid.open(QIODevice::ReadOnly));
    const pid_t child = pid_t(pid.readAll().trimmed().toInt());
    ASSERT_GT(child, 0);
    for (int i = 0; i < 100 && ::kill(child, 0) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_NE(::kill(child, 0), 0) << "the token command's child is still running";
    client.CloseSession();
    expectClean(server);
}

TEST_F(SessionTest, DeliversInLockstepWithoutPipelining)
{
    ScriptedServer server;
    server.send(kGreeting)
        .expect("EHLO tester")
        .send(kEhloPlain)
        .expect("RSET").send("250 ok\r\n")
        .expect("MAIL FROM:<me@example.com>").send("250 ok\r\n")
        .expect("RCPT TO:<ann@example.org>").send("251 forwarded\r\n")
        .expect("DATA").send("354 go\r\n")
        .readData().send("250 queued\r\n")
        .expect("QUIT");
    connectTo(server);
    client.OpenSession();
    DeliverMessage(client, message());
    client.CloseSession();
    expectClean(server);
    EXPECT_TRUE(server.received().contains("\r\n\r\nHello\r\n.\r\nQUIT\r\n"));
}

TEST_F(SessionTest, RefusedRecipientKeepsTheSessionForTheNextMessage)
{
    for (bool pipelining : {false, true}) {
        SCOPED_TRACE(pipelining ? "pipelining" : "lockstep");
        ScriptedServer server;
        server.send(kGreeting).expect("EHLO tester").send(pipelining ? kEhloPipelining : kEhloPlain);
        if (pipelining) {
            server.expect("RSET").expect("MAIL FROM:<me@example.com>").expect("RCPT TO:<bad@example.org>").expect("DATA")
                .send("250 ok\r\n250 ok\r\n550 no such user\r\n554 no valid recipients\r\n");
            server.expect("RSET").expect("MAIL FROM:<me@example.com>").expect("RCPT TO:<ann@example.org>").expect("DATA")
                .send("250 ok\r\n250 ok\r\n250 ok\r\n354 go\r\n");
        } else {
            server.expect("RSET").send("250 ok\r\n").expect("MAIL FROM:<me@example.com>").send("250 ok\r\n")
                .expect("RCPT TO:<bad@example.org>").send("550 no such user\r\n");
            server.expect("RSET").send("250 ok\r\n").expect("MAIL FROM:<me@example.com>").send("250 ok\r\n")
                .expect("RCPT TO:<ann@example.org>").send("250 ok\r\n").expect("DATA").send("354 go\r\n");
        }
        server.readData().send("250 queued\r\n").expect("QUIT");
        connectTo(server);
        client.OpenSession();
        EXPECT_EQ(failureOf([&] { DeliverMessage(client, message("bad@example.org")); }), "no such user\r\n");
        EXPECT_TRUE(client.Connected());
        DeliverMessage(client, message());
        client.CloseSession();
        expectClean(server);
    }
}

TEST_F(SessionTest, PipelinedGroupGoesOutInOneWrite)
{
    ScriptedServer server;
    server.send(kGreeting).expect("EHLO tester").send(kEhloPipelining)
        .readLine().readLine().readLine().readLine()
        .send("250 ok\r\n250 ok\r\n250 ok\r\n354 go\r\n")
        .readData().send("250 queued\r\n").expect("QUIT");
    connectTo(server);
    client.OpenSession();
    DeliverMessage(client, message());
    client.CloseSession();
    expectClean(server);
    EXPECT_TRUE(server.received().contains(
        "RSET\r\nMAIL FROM:<me@example.com>\r\nRCPT TO:<ann@example.org>\r\nDATA\r\n"));
}

TEST_F(SessionTest, NoRecipientButDataAcceptedEndsTheDataAtOnce)
{
    ScriptedServer server;
    server.send(kGreeting).expect("EHLO tester").send(kEhloPipelining)
        .expect("RSET").expect("MAIL FROM:<me@example.com>").expect("RCPT TO:<bad@example.org>").expect("DATA")
        .send("250 ok\r\n250 ok\r\n550 unknown\r\n354 go\r\n")
        .expect(".").send("554 no valid recipients\r\n")
        .expect("QUIT");
    connectTo(server);
    client.OpenSession();
    EXPECT_EQ(failureOf([&] { DeliverMessage(client, message("bad@example.org")); }), "unknown\r\n");
    client.CloseSession();
    expectClean(server);
}

TEST_F(SessionTest, MessageWithoutRecipientFailsAtData)
{
    ScriptedServer server;
    server.send(kGreeting).expect("EHLO tester").send(kEhloPlain)
        .expect("RSET").send("250 ok\r\n")
        .expect("MAIL FROM:<me@example.com>").send("250 ok\r\n")
        .expect("DATA").send("503 need RCPT\r\n").expect("QUIT");
    connectTo(server);
    client.OpenSession();
    EXPECT_EQ(failureOf([&] { DeliverMessage(client, message("")); }), "need RCPT\r\n");
    client.CloseSession();
    expectClean(server);
}

TEST_F(SessionTest, EightBitBodyAsksForBodyEightBitMime)
{
    ScriptedServer server;
    server.send(kGreeting).expect("EHLO tester").send(kEhloPipelining)
        .expect("RSET").expect("MAIL FROM:<me@example.com> BODY=8BITMIME").readLine().readLine()
        .send("250 ok\r\n250 ok\r\n250 ok\r\n354 go\r\n").readData().send("250 ok\r\n").expect("QUIT");
    connectTo(server);
    client.OpenSession();
    EmailMessage m = message();
    m.Body = {QStringLiteral("Gr\u00fc\u00dfe")};
    DeliverMessage(client, m);
    client.CloseSession();
    expectClean(server);
    EXPECT_TRUE(server.received().contains("Content-Transfer-Encoding: 8bit"));
}

TEST_F(SessionTest, ServerClosingWith421EndsTheSession)
{
    ScriptedServer server;
    server.send(kGreeting).expect("EHLO tester").send(kEhloPlain)
        .expect("RSET").send("250 ok\r\n")
        .expect("MAIL FROM:<me@example.com>").send("421 shutting down\r\n").drain();
    connectTo(server);
    client.OpenSession();
    EXPECT_EQ(failureOf([&] { DeliverMessage(client, message()); }), "shutting down\r\n");
    EXPECT_FALSE(client.Connected());
    EXPECT_EQ(failureOf([&] { DeliverMessage(client, message()); }), "Not Connected");
    client.CloseSession();
    expectClean(server);
    EXPECT_FALSE(server.received().contains("QUIT"));
    EXPECT_EQ(server.received().count("RSET"), 1);
}

TEST_F(SessionTest, HostileAddressIsRefusedBeforeAnythingIsWritten)
{
    ScriptedServer server;
    server.send(kGreeting).expect("EHLO tester").send(kEhloPlain).expect("QUIT");
    connectTo(server);
    client.OpenSession();
    EmailMessage m = message();
    m.Recipients = {{"ann@example.org>\r\nRCPT TO:<evil@x.com", ""}};
    EXPECT_NE(failureOf([&] { DeliverMessage(client, m); }), "<no failure>");
    m = message();
    m.From.Address = "me@x.com\r\nDATA";
    EXPECT_NE(failureOf([&] { DeliverMessage(client, m); }), "<no failure>");
    client.CloseSession();
    expectClean(server);
    EXPECT_EQ(server.received(), "EHLO tester\r\nQUIT\r\n");
}

TEST_F(SessionTest, OverlongReplyLineFails)
{
    ScriptedServer server;
    server.send("220 " + QByteArray(16381, 'x') + "\r\n").drain();
    connectTo(server);
    EXPECT_EQ(failureOf([&] { client.OpenSession(); }), "Max line length exceeded.");
    expectClean(server);

    ScriptedServer fits;
    fits.send("220 " + QByteArray(16380, 'x') + "\r\n").expect("EHLO tester").send(kEhloPlain).expect("QUIT");
    connectTo(fits);
    client.OpenSession();
    client.CloseSession();
    expectClean(fits);
}

TEST_F(SessionTest, PeerClosingMidReplyOrMidData)
{
    ScriptedServer server;
    server.send(kGreeting).expect("EHLO tester").send("250-partial\r\n").close();
    connectTo(server);
    EXPECT_EQ(failureOf([&] { client.OpenSession(); }), "Connection Closed Gracefully.");
    EXPECT_FALSE(client.Connected());
    expectClean(server);

    ScriptedServer data;
    data.send(kGreeting).expect("EHLO tester").send(kEhloPlain)
        .expect("RSET").send("250 ok\r\n").expect("MAIL FROM:<me@example.com>").send("250 ok\r\n")
        .expect("RCPT TO:<ann@example.org>").send("250 ok\r\n").expect("DATA").send("354 go\r\n").readLine().close();
    connectTo(data);
    client.OpenSession();
    EXPECT_EQ(failureOf([&] { DeliverMessage(client, message()); }), "Connection Closed Gracefully.");
    EXPECT_EQ(failureOf([&] { DeliverMessage(client, message()); }), "Connection Closed Gracefully.");
    EXPECT_NO_THROW(client.CloseSession()); // nothing is written to a peer known to be gone
    expectClean(data);
}

TEST_F(SessionTest, StalledServerTimesOut)
{
    ScriptedServer server;
    server.send(kGreeting).expect("EHLO tester").pause(1500).drain();
    connectTo(server);
    client.ReadTimeout = 300;
    EXPECT_EQ(failureOf([&] { client.OpenSession(); }), "Socket Error # 10060\r\nConnection timed out.");
    EXPECT_FALSE(client.Connected());
    server.finish();
}

TEST_F(SessionTest, ConnectFailuresAreNumbered)
{
    int port = 0;
    {
        ScriptedServer closed; // reserves a port that nobody listens on afterwards
        port = closed.port();
    }
    client.Host = "127.0.0.1";
    client.Port = port;
    EXPECT_EQ(failureOf([&] { client.OpenSession(); }), "Socket Error # 10061\r\nConnection refused.");
    client.Host = "no-such-host.invalid";
    EXPECT_EQ(failureOf([&] { client.OpenSession(); }), "Socket Error # 11001\r\nHost not found.");
    EXPECT_EQ(failureOf([&] { DeliverMessage(client, message()); }), "Not Connected");
}

TEST_F(SessionTest, ImplicitTlsVerifiesTheCertificateThroughTheDecision)
{
    TestCert cert;
    SecureTransport tls;
    {
        ScriptedServer server;
        server.startTls(cert).drain();
        connectTo(server);
        client.attachSecureTransport(&tls);
        CertificateInfo seen;
        client.setCertificateDecision([&](const CertificateInfo& info) {
            seen = info;
            return false;
        });
        EXPECT_EQ(failureOf([&] { client.OpenSession(); }), "Error connecting with SSL.");
        EXPECT_EQ(seen.sha256, cert.sha256);
        EXPECT_EQ(seen.host, "127.0.0.1");
        EXPECT_FALSE(seen.reason.isEmpty());
        server.finish();
        EXPECT_TRUE(server.received().isEmpty()); // nothing was sent, let alone a password
    }
    ScriptedServer server;
    server.startTls(cert).send(kGreeting).expect("EHLO tester").send(kEhloPlain).expect("QUIT");
    connectTo(server);
    client.setCertificateDecision([&](const CertificateInfo& info) { return info.sha256 == cert.sha256; });
    client.OpenSession();
    EXPECT_TRUE(client.secure());
    client.CloseSession();
    expectClean(server);
}

TEST_F(SessionTest, StartTlsUpgradesBeforeAuthentication)
{
    TestCert cert;
    ScriptedServer server;
    server.send(kGreeting).expect("EHLO tester").send("250-x\r\n250-STARTTLS\r\n250 AUTH PLAIN\r\n")
        .expect("STARTTLS").send("220 go ahead\r\n").startTls(cert)
        .expect("EHLO tester").send("250-x\r\n250 AUTH LOGIN\r\n").expect("QUIT");
    connectTo(server);
    client.setCertificateDecision([&](const CertificateInfo& info) { return info.sha256 == cert.sha256; });
    client.OpenSession();
    EXPECT_TRUE(client.secure());
    EXPECT_EQ(client.OfferedAuthSchemes(), QStringList{"LOGIN"}); // collected afresh
    client.CloseSession();
    expectClean(server);
}

TEST_F(SessionTest, RepliesInjectedBeforeStartTlsAreRefused)
{
    TestCert cert;
    ScriptedServer server;
    server.send(kGreeting).expect("EHLO tester").send("250-x\r\n250 STARTTLS\r\n")
        .expect("STARTTLS").send("220 go ahead\r\n250-injected\r\n250 AUTH LOGIN\r\n").drain();
    connectTo(server);
    client.setCertificateDecision([](const CertificateInfo&) { return true; });
    EXPECT_EQ(failureOf([&] { client.OpenSession(); }), "The server sent data before the TLS handshake.");
    EXPECT_FALSE(client.Connected());
    server.finish();
}

// A reply whose lines carry different codes can never end: it is a protocol error at once, not
// a wait for the time-out.
TEST_F(SessionTest, ReplyWithMixedCodesFailsAtOnce)
{
    ScriptedServer server;
    server.send(kGreeting).expect("EHLO tester").send("250-first\r\n550-second\r\n550 no\r\n").drain();
    connectTo(server);
    // A wait for more of the reply would end in the time-out's error, not this one.
    EXPECT_EQ(failureOf([&] { client.OpenSession(); }), "The server's reply mixes the codes 250 and 550.");
    EXPECT_FALSE(client.Connected());
    expectClean(server);
}

// Bytes in an address that would end it early and pass the rest on as SMTP parameters, another
// recipient or raw 8-bit text: refused by name before anything is written.
TEST_F(SessionTest, AddressesThatWouldBecomeParametersAreRefused)
{
    ScriptedServer server;
    server.send(kGreeting).expect("EHLO tester").send(kEhloPlain).expect("QUIT");
    connectTo(server);
    client.OpenSession();
    const struct
    {
        QString recipient;
        QString sender;
        const char* says;
    } cases[] = {
        {"victim@x.com> NOTIFY=SUCCESS", "me@example.com", "holds \">\""},
        {"a@x.com b@y.com", "me@example.com", "\" \""},
        {"ann@example.org", "me@x.com> SIZE=1", "sender address"},
        {QString::fromUtf8("j\u00f6rg@x.com"), "me@example.com", "not ASCII"},
    };
    for (const auto& c : cases) {
        EmailMessage m = message();
        m.Recipients = {{c.recipient, ""}};
        m.From.Address = c.sender;
        const QString failure = failureOf([&] { DeliverMessage(client, m); });
        EXPECT_TRUE(failure.contains(QLatin1String(c.says))) << failure.toStdString();
    }
    client.CloseSession();
    expectClean(server);
    EXPECT_EQ(server.received(), "EHLO tester\r\nQUIT\r\n");
}

// A server that drips its reply a byte at a time, each within the read limit, once held the
// session forever: the whole reply has to arrive within the limit.
TEST_F(SessionTest, ReplyDrippedByteByByteTimesOut)
{
    ScriptedServer server;
    for (char c : QByteArray("220 a greeting that takes its time\r\n"))
        server.send(QByteArray(1, c)).pause(150);
    server.drain();
    connectTo(server);
    client.ReadTimeout = 1000;
    EXPECT_EQ(failureOf([&] { client.OpenSession(); }), SocketErrorFromErrno(ETIMEDOUT));
    EXPECT_FALSE(client.Connected());
    // The greeting was cut short: no EHLO ever followed it.
    server.finish();
    EXPECT_FALSE(server.received().contains("EHLO"));
}

// Stopping a run interrupts the session from another thread. A wait for the greeting, or for any
// reply but the one that ends a transaction, ends at once with "Stopped." and a QUIT; the reply
// after the data is still read, or a message the server took would be sent again by the next run.
TEST_F(SessionTest, InterruptEndsAWaitButNotTheOneForTheFinalReply)
{
    {
        ScriptedServer server;
        server.mark().pause(1500).drain();
        connectTo(server);
        client.ReadTimeout = 10000; // a wait not cut short ends in the time-out's error
        std::thread stopper([this, &server] {
            server.waitForMark();
            client.interrupt(false);
        });
        EXPECT_EQ(failureOf([&] { client.OpenSession(); }), "Stopped.");
        stopper.join();
        EXPECT_FALSE(client.Connected());
        EXPECT_TRUE(server.finish());
        EXPECT_EQ(server.received(), "QUIT\r\n");
    }
    client.clearInterrupt();
    {
        ScriptedServer server;
        server.send(kGreeting).expect("EHLO tester").send(kEhloPlain)
            .expect("RSET").send("250 ok\r\n").expect("MAIL FROM:<me@example.com>").send("250 ok\r\n")
            .expect("RCPT TO:<ann@example.org>").send("250 ok\r\n").expect("DATA").send("354 go\r\n").readData()
            .mark().pause(400).send("250 queued\r\n").expect("QUIT");
        connectTo(server);
        client.OpenSession();
        // Stopped once the whole message is out: the session is waiting for its final reply.
        std::thread stopper([this, &server] {
            server.waitForMark();
            client.interrupt(false);
        });
        EXPECT_EQ(failureOf([&] { DeliverMessage(client, message()); }), "<no failure>");
        stopper.join();
        // The next wait is cut short at once.
        EXPECT_EQ(failureOf([&] { DeliverMessage(client, message()); }), "Stopped.");
        expectClean(server);
    }
}

// A stop that comes just before a message's data is written has shut the reading side already:
// the data must not go out then, or the server would take a message whose reply can no longer be
// read (it would be sent again by the next run). Once the data is out, the stop waits for its reply.
TEST(SocketInterrupter, DataGoesOutOnlyWhileItsReplyCanBeRead)
{
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    {
        SocketInterrupter stopBeforeData;
        ASSERT_TRUE(stopBeforeData.watch(fds[0]));
        stopBeforeData.interrupt(false);
        stopBeforeData.setAwaitingFinalReply(true); // the data was about to go out
        EXPECT_TRUE(stopBeforeData.stopsWrites());
        stopBeforeData.watch(-1);
    }
    {
        SocketInterrupter stopAfterData;
        ASSERT_TRUE(stopAfterData.watch(fds[1]));
        stopAfterData.setAwaitingFinalReply(true);
        stopAfterData.interrupt(false);
        EXPECT_FALSE(stopAfterData.stopsWrites()); // its reply is still to be read
        char byte = 'x';
        EXPECT_EQ(::write(fds[0], &byte, 1), 1);
        EXPECT_EQ(::read(fds[1], &byte, 1), 1); // and can be
        stopAfterData.setAwaitingFinalReply(false);
        EXPECT_TRUE(stopAfterData.stopsWrites());
        EXPECT_EQ(::read(fds[1], &byte, 1), 0); // the stop took effect
        stopAfterData.watch(-1);
    }
    ::close(fds[0]);
    ::close(fds[1]);
}

// Without a name set, the greeting carries one a server that wants a qualified name accepts: the
// machine's fully qualified name, else the address literal of the local end (a short host name
// was refused with 504 by such servers).
TEST_F(SessionTest, GreetsWithAQualifiedNameOrAnAddressLiteral)
{
    ScriptedServer server;
    server.send(kGreeting).readLine().send(kEhloPlain).expect("QUIT");
    connectTo(server);
    client.HeloName.clear();
    client.OpenSession();
    client.CloseSession();
    expectClean(server);
    const QString ehlo = QString::fromLatin1(server.received()).section("\r\n", 0, 0);
    EXPECT_TRUE(QRegularExpression("^EHLO (\\[127\\.0\\.0\\.1\\]|[a-z0-9-]+(\\.[a-z0-9-]+)+)$").match(ehlo).hasMatch()) << ehlo.toStdString();
}
