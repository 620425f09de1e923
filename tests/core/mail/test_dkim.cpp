#include "core/mail/dkim.h"
#include "core/run/preflight.h"
#include "core/run/prepare.h"
#include "core/run/sendingrun.h"
#include "core/sendlog/sendlogstore.h"
#include "core/settings/dkimsettings.h"
#include "core/text/codepage.h"
#include "support/python.h"
#include "support/sink.h"
#include "support/smtpd.h"
#include "support/tempdir.h"
#include "support/testcert.h"
#include "support/testrun.h"
#include "support/wait.h"

#include <QDateTime>
#include <QSet>
#include <gtest/gtest.h>

namespace {

// dkimpy (Debian's python3-dkim) checks every signature of the message, its key records answered
// from the arguments ("name=value"): prints one word a signature.
const char* kVerify = R"(
import sys, dkim
records = dict(a.split('=', 1) for a in sys.argv[2:])
def dns(name, timeout=5):
    name = name.decode().rstrip('.')
    return records.get(name, '').encode() or None
message = open(sys.argv[1], 'rb').read()
count = len([l for l in message.split(b'\r\n\r\n', 1)[0].split(b'\n') if l.lower().startswith(b'dkim-signature:')])
for i in range(count):
    try:
        print('pass' if dkim.DKIM(message).verify(idx=i, dnsfunc=dns) else 'fail')
    except Exception as e:
        print('fail', e)
)";

struct Keys
{
    QTemporaryDir dir;
    QList<Dkim::Key> keys;
    QStringList records;
    Keys()
    {
        keys.append(Dkim::GenerateKey(dir.filePath("rsa.pem"), "example.com", "rsa1", Dkim::KeyType::Rsa));
        keys.append(Dkim::GenerateKey(dir.filePath("ed.pem"), "example.com", "ed1", Dkim::KeyType::Ed25519));
        for (const Dkim::Key& k : keys)
            records.append(Dkim::RecordName(k) + '=' + QString::fromLatin1(Dkim::DnsRecord(k)));
    }
    QString verify(const QByteArray& message) const { return pythonOnMessage(message, kVerify, records).trimmed(); }
};

} // namespace

// Every shape of message we send, signed with an RSA and an Ed25519 key, passes dkimpy; a byte
// changed in a signed header or in the body fails it. A key too weak or missing is refused with
// its reason.
TEST(Dkim, SignedMessagesOfEveryShapePassAVerifierWeDidNotWrite)
{
    const Keys keys;
    QTemporaryDir dir;
    writeAll(dir.filePath("report.pdf"), QByteArray(3000, 'x'));
    struct Shape
    {
        const char* codePage;
        QString subject;
        QStringList body;
        bool attachment, unsubscribe;
    };
    const QList<Shape> shapes{
        {"CP1252", "Spring news", {"Hello [= PARAM1 =],", "", "  see   you  ", "", ""}, false, false},
        {"GBK", QString::fromUtf8("春季新闻 [= PARAM1 =]"), {QString::fromUtf8("你好 [= PARAM1 =]"), "."}, false, true},
        {"SHIFT_JIS", QString::fromUtf8("春のお知らせ"), {QString::fromUtf8("こんにちは"), ".dotted line"}, true, false},
        {"UTF-8", QString::fromUtf8("Frühling"), {"<html><body><p>Hello [= PARAM1 =]</p></body></html>"}, true, true},
    };
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.codePage);
        CodePage::setName(shape.codePage);
        EmailMessage base;
        base.From = {"news@example.com", "News"};
        base.Subject = shape.subject;
        MessageExtras extras;
        extras.dkimKeys = keys.keys;
        if (shape.attachment)
            extras.files = {dir.filePath("report.pdf")};
        if (shape.unsubscribe)
            extras.links = {"mailto:leave@example.com", "https://example.com/leave?u=[= EMAIL =]"};
        if (shape.attachment && shape.unsubscribe)
            extras.headers = {"spring:news:example", "Club news <news.example.com>", {{"X-Campaign", "spring [= PARAM1 =]"}}};
        const QByteArray message = MessageFileBytes(base, "ann@example.org,Ann", shape.body, extras);
        EXPECT_EQ(keys.verify(message), "pass\npass");
        if (shape.unsubscribe)
            EXPECT_TRUE(message.left(message.indexOf("\r\n\r\n")).contains("list-unsubscribe:list-unsubscribe-post"));
        if (!extras.headers.custom.isEmpty()) {
            EXPECT_TRUE(message.contains("list-unsubscribe-post:feedback-id:list-id;")) << message.left(800).toStdString();
            EXPECT_TRUE(message.contains("\r\nX-Campaign: spring Ann\r\n"));
            EXPECT_TRUE(message.contains("\r\nFeedback-ID: spring:news:example\r\n"));
        }
        QByteArray header = message;
        header.replace("To: ann@example.org", "To: ann@example.net");
        EXPECT_EQ(keys.verify(header).count("fail"), 2);
        QByteArray body = message;
        body[body.size() - 3] = body[body.size() - 3] == 'x' ? 'y' : 'x';
        EXPECT_EQ(keys.verify(body).count("fail"), 2);
    }
    CodePage::setName("CP1252");

    // Headers of the user's own are checked like every header.
    for (const auto& [name, value, reason] : QList<std::tuple<QString, QString, QString>>{
             {"X-Ok", "fine", ""}, {"Subject", "x", "written by Brevora"}, {"Content-Type", "x", "written by Brevora"},
             {"X Bad", "x", "not a header name"}, {"X-Long", QString(901, 'a'), "longer than"}, {"X-Break", "a\nb", "line break"}}) {
        ContentHeaders h;
        h.custom = {{name, value}};
        try {
            CheckContentHeaders(h);
            EXPECT_TRUE(reason.isEmpty()) << name.toStdString();
        } catch (const BrevoraError& e) {
            EXPECT_TRUE(!reason.isEmpty() && e.message().contains(reason)) << e.message().toStdString();
        }
    }

    writeAll(dir.filePath("none.pem"), "no key here");
    QProcess::execute("openssl", {"genrsa", "-out", dir.filePath("weak.pem"), "1024"});
    for (const auto& [file, reason] : QList<std::pair<QString, QString>>{{"missing.pem", "cannot be read"},
                                                                           {"none.pem", "holds no private key"},
                                                                           {"weak.pem", "RSA key of 1024 bits"}}) {
        try {
            Dkim::LoadKey(dir.filePath(file), "example.com", "s");
            ADD_FAILURE() << file.toStdString();
        } catch (const BrevoraError& e) {
            EXPECT_TRUE(e.message().contains(reason)) << e.message().toStdString();
        }
    }
}

// Through DATA (aiosmtpd, dot-stuffed on the wire) and BDAT (our sink), what the server stores
// carries signatures that verify: the body hash covers the bytes before any framing. A key file
// that cannot be read stops the run before it connects.
TEST(Dkim, WhatTheServerStoresVerifiesThroughDataAndBdat)
{
    const Keys keys;
    CodePage::setName("CP1252");
    QTemporaryDir data;
    SetAppDir(data.path() + '/');
    WriteDkimEntry({"example.com", "rsa1", keys.dir.filePath("rsa.pem")});
    WriteDkimEntry({"example.com", "ed1", keys.dir.filePath("ed.pem")});
    for (int transport = 0; transport < 3; ++transport) {
        SCOPED_TRACE(transport == 0 ? "DATA" : transport == 1 ? "BDAT" : "a key that cannot be read");
        std::unique_ptr<Smtpd> smtpd;
        std::unique_ptr<Sink> sink;
        // BDAT to a server that takes 7 messages a session: signatures still being made when a
        // session ends go with the next one.
        if (transport == 0)
            smtpd = std::make_unique<Smtpd>();
        else
            sink = std::make_unique<Sink>(QStringList{"-m", "7"});
        const int port = smtpd ? smtpd->port() : sink->port();
        ASSERT_GT(port, 0);
        SendLogStore store(data.filePath(QStringLiteral("db%1/sendlog.db").arg(transport)));
        PendingList list(&store);
        QStringList entries{"ann@example.org,Ann", "bob@example.org,Bob"};
        for (int i = 0; transport == 1 && i < 28; ++i)
            entries.append(QStringLiteral("r%1@example.org,R%1").arg(i));
        list.append(entries);
        SendingRun run(list);
        run.setBodyProvider([] { return QStringList{"Hello [= PARAM1 =]", ".a line that starts with a dot", "", "Bye"}; });
        RunRecord record;
        record.follow(run, 0);
        if (transport == 2) {
            WriteDkimEntry({"example.com", "gone", data.filePath("gone.pem")});
            try {
                run.StartRun(LocalSelection(port));
                ADD_FAILURE() << "the run started without its key";
            } catch (const BrevoraError& e) {
                EXPECT_TRUE(e.message().contains("cannot be read")) << e.message().toStdString();
            }
            EXPECT_EQ(sink->sessions(0, 500).size(), 0);
            continue;
        }
        run.StartRun(LocalSelection(port));
        ASSERT_TRUE(waitUntil([&] { return record.finishedCount > 0; }, 30000));
        const QList<QByteArray> received = smtpd ? smtpd->messages(2) : sink->messages(int(entries.size()));
        ASSERT_EQ(received.size(), entries.size());
        const QStringList delivered = DeliveredAddresses(store);
        EXPECT_EQ(delivered.size(), entries.size());
        EXPECT_EQ(QSet<QString>(delivered.begin(), delivered.end()).size(), entries.size()) << "sent twice";
        for (const QByteArray& m : received) {
            EXPECT_TRUE(m.contains("\r\n.a line that starts with a dot\r\n"));
            EXPECT_EQ(keys.verify(m), "pass\npass");
        }
    }
}

// The parts of the check that need no DNS: the server's TLS (none on a plain server, implicit TLS
// trusted by its fingerprint) and the message written for the first entry.
TEST(Preflight, TheServerAndTheMessageAreChecked)
{
    CodePage::setName("CP1252");
    QTemporaryDir dir;
    TestCert cert;
    cert.writePem(dir.path());
    Sink plain;
    Sink tls({"-c", dir.filePath("cert.pem"), "-k", dir.filePath("key.pem")});
    ASSERT_GT(plain.port(), 0);
    ASSERT_GT(tls.port(), 0);
    RunSelection s = LocalSelection(plain.port());
    const auto trust = [&cert](const CertificateInfo& info) { return info.sha256 == cert.sha256; };
    EXPECT_EQ(CheckServerTls(s, trust).level, PreflightResult::Level::Failure);
    s.ServerPort = QString::number(tls.port());
    s.ImplicitTls = true;
    const PreflightResult secure = CheckServerTls(s, trust);
    EXPECT_EQ(secure.level, PreflightResult::Level::Pass) << secure.detail.toStdString();
    EXPECT_EQ(CheckServerTls(s, [](const CertificateInfo&) { return false; }).level, PreflightResult::Level::Failure);

    // One row a case: the content's links and body, and the levels the checks give, in order.
    EmailMessage base;
    base.From = {"news@example.com", "News"};
    base.Subject = "Spring news";
    struct Case
    {
        Unsubscribe links;
        QStringList body;
        QStringList levels;
    };
    const QList<Case> cases{
        {{}, {"Hello"}, {"pass", "failure", "pass"}},
        {{"", "https://example.com/leave"}, {"Hello", "Leave: https://example.com/leave?u=[= EMAIL =]"}, {"pass", "pass", "pass", "pass"}},
        {{"mailto:leave@example.com", ""}, {"Hello"}, {"pass", "pass", "warning", "pass"}},
        {{"", "https://example.com/leave"}, {"<html><body><p>Hi</p><a href=\"https://example.com/leave\">unsubscribe</a></body></html>"},
         {"pass", "pass", "pass", "pass", "pass"}},
        {{"", "https://example.com/leave"}, {QString(120 * 1024, 'x'), "unsubscribe"}, {"pass", "pass", "pass", "warning"}},
    };
    for (const Case& c : cases) {
        MessageExtras extras;
        extras.links = c.links;
        QStringList levels;
        for (const PreflightResult& r : CheckMessage(MessageFileBytes(base, "ann@example.org", c.body, extras), c.links))
            levels.append(LevelName(r.level));
        EXPECT_EQ(levels, c.levels) << c.body.first().left(40).toStdString();
    }
}
