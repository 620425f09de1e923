// The session against a real SMTP server (aiosmtpd): what it stores is what the writer wrote, over
// plain, implicit TLS and STARTTLS sessions, with and without a login.
#include "core/error.h"
#include "core/mail/messagewriter.h"
#include "core/smtp/smtpclient.h"
#include "core/text/codepage.h"
#include "support/deliver.h"
#include "support/smtpd.h"
#include "support/testcert.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

// The writer's bytes as the server stores them: dots unstuffed, the Message-ID masked.
QByteArray normalized(const QByteArray& data)
{
    static const QRegularExpression id("Message-ID: <[^>\r\n]+>");
    return QString::fromLatin1(data).replace(id, "Message-ID: <ID>").toLatin1();
}

class RealServer : public ::testing::Test
{
protected:
    void SetUp() override { CodePage::setName("CP1252"); }
    void prepare(SmtpClient& c, int port)
    {
        c.Host = "127.0.0.1";
        c.Port = port;
        c.HeloName = "tester";
        c.ReadTimeout = 10000;
    }
    void logInDeliverAndClose(SmtpClient& c, Smtpd& server)
    {
        ASSERT_TRUE(c.OfferedAuthSchemes().contains("LOGIN"));
        c.setLoginMechanism(LoginMechanism::Login);
        c.Username = "user";
        c.Password = "pa55";
        EXPECT_TRUE(c.LogIn());
        deliverAndCompare(c, server, true);
        c.CloseSession();
    }
    void deliverAndCompare(SmtpClient& c, Smtpd& server, bool eightBit)
    {
        const EmailMessage m = SampleMessage();
        DeliverMessage(c, m);
        const QList<QByteArray> received = server.messages(1);
        ASSERT_EQ(received.size(), 1);
        EXPECT_EQ(normalized(received[0]), normalized(WriteMessage(m, {eightBit}).data));
    }
};

TEST_F(RealServer, PlainSessionDeliversExactlyWhatTheWriterProduced)
{
    Smtpd server;
    ASSERT_GT(server.port(), 0) << server.error().toStdString();
    SmtpClient c;
    prepare(c, server.port());
    c.OpenSession();
    EXPECT_TRUE(c.capabilities().eightBitMime);
    deliverAndCompare(c, server, true);
    // The long line made that body quoted-printable; a short 8-bit body goes out as 8bit.
    EXPECT_FALSE(server.envelope(0).contains("BODY=8BITMIME"));
    EmailMessage m = SampleMessage();
    m.Body = {QStringLiteral("Gr\u00fc\u00dfe")};
    DeliverMessage(c, m);
    ASSERT_EQ(server.messages(2).size(), 2);
    EXPECT_TRUE(server.envelope(1).contains("BODY=8BITMIME"));
    EXPECT_TRUE(server.messages(2)[1].endsWith("\r\n\r\nGr\xfc\xdf" "e\r\n"));
    c.CloseSession();
}

TEST_F(RealServer, AuthLoginThenDelivery)
{
    Smtpd server({"--auth", "user:pa55"});
    ASSERT_GT(server.port(), 0);
    SmtpClient c;
    prepare(c, server.port());
    c.OpenSession();
    logInDeliverAndClose(c, server);
}

TEST_F(RealServer, ImplicitTlsWithACertificateAcceptedByFingerprint)
{
    QTemporaryDir certs;
    TestCert cert;
    cert.writePem(certs.path());
    Smtpd server({"--implicit-tls"}, certs.path());
    ASSERT_GT(server.port(), 0) << server.error().toStdString();
    SecureTransport tls;
    SmtpClient c;
    prepare(c, server.port());
    c.attachSecureTransport(&tls);
    try {
        c.OpenSession();
        FAIL() << "an unverified certificate was accepted";
    } catch (const BrevoraError& e) {
        EXPECT_EQ(e.message(), "Error connecting with SSL.");
    }
    c.setCertificateDecision([&](const CertificateInfo& info) { return info.sha256 == cert.sha256; });
    c.OpenSession();
    EXPECT_TRUE(c.secure());
    deliverAndCompare(c, server, true);
    c.CloseSession();
}

TEST_F(RealServer, StartTlsBeforeLogin)
{
    QTemporaryDir certs;
    TestCert cert;
    cert.writePem(certs.path());
    // The server offers AUTH only inside TLS: the login can only succeed after the upgrade.
    Smtpd server({"--starttls", "--auth", "user:pa55"}, certs.path());
    ASSERT_GT(server.port(), 0) << server.error().toStdString();
    SmtpClient c;
    prepare(c, server.port());
    c.setCertificateDecision([&](const CertificateInfo& info) { return info.sha256 == cert.sha256; });
    c.OpenSession();
    EXPECT_TRUE(c.secure());
    logInDeliverAndClose(c, server);
}

} // namespace
