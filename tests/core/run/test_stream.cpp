#include "core/run/pendinglist.h"
#include "core/run/sendingrun.h"
#include "core/sendlog/sendlogstore.h"
#include "core/text/codepage.h"
#include "support/scriptedserver.h"
#include "support/sink.h"
#include "support/tempdir.h"
#include "support/testrun.h"
#include "support/wait.h"

#include <QRegularExpression>
#include <QSet>
#include <QSqlQuery>
#include <QVariant>
#include <gtest/gtest.h>

// A run with an interval of 0 streams its messages: one wait a message with PIPELINING, a window
// of BDAT transactions with CHUNKING, over one connection or several.
namespace {

const QByteArray kGreeting = "220 test ESMTP\r\n";
const QByteArray kEhloChunking = "250-test\r\n250-PIPELINING\r\n250-CHUNKING\r\n250 8BITMIME\r\n";
const QByteArray kEhloPipelining = "250-test\r\n250-PIPELINING\r\n250 8BITMIME\r\n";
const QByteArray kOk = "250 ok\r\n";

class StreamTest : public ::testing::Test
{
protected:
    void SetUp() override { open("first"); }

    // A store of its own (in a folder of that name), its list and a run over it.
    void open(const QString& name)
    {
        run.reset();
        list.reset();
        store.reset();
        CodePage::setName("CP1252");
        store = std::make_unique<SendLogStore>(dir.path() + "/" + name + "/db/sendlog.db");
        list = std::make_unique<PendingList>(store.get());
        run = std::make_unique<SendingRun>(*list);
        run->setBodyProvider([this] { return body; });
        record = RunRecord();
        record.follow(*run, 0);
    }

    RunSelection selection(int port, int inFlight = 32, int connections = 1) const
    {
        RunSelection s = LocalSelection(port);
        s.Speed.inFlight = inFlight;
        s.Speed.connections = connections;
        return s;
    }
    void add(const QStringList& entries)
    {
        list->append(entries);
        run->countListChange();
    }
    bool runToTheEnd(const RunSelection& s)
    {
        finishedCount = 0;
        lines.clear();
        run->StartRun(s);
        return waitUntil([this] { return finishedCount > 0 && !run->running(); }, 30000);
    }
    QStringList logged() { return DeliveredAddresses(*store); }
    QStringList failed()
    {
        QStringList entries;
        for (const SendLogStore::FailedRow& r : store->failedRows())
            entries << QStringLiteral("%1 %2").arg(r.entry).arg(r.code);
        return entries;
    }
    // The three transactions of a, b and c, each as RSET, MAIL, RCPT and BDAT with its data.
    static void readThreeTransactions(ScriptedServer& server)
    {
        for (const char* who : {"a", "b", "c"})
            server.expect("RSET").expect("MAIL FROM:<me@example.com>")
                .expect(QByteArray("RCPT TO:<") + who + "@example.org>").readChunk();
    }

    ScopedWorkDir dir;
    std::unique_ptr<SendLogStore> store;
    std::unique_ptr<PendingList> list;
    std::unique_ptr<SendingRun> run;
    QStringList body{"Hello"};
    RunRecord record;
    QStringList& lines = record.lines;
    RunOutcome& outcome = record.outcome;
    int& finishedCount = record.finishedCount;
};

} // namespace

// What the server stores is the same whether the message went with DATA (dot-stuffed, ended by
// a ".") or with BDAT (as it is, its size counted): lines that start with dots, a lone dot, a
// line longer than 998 bytes, 8-bit text, a NUL, and a bare CR and LF inside a line.
TEST_F(StreamTest, DataAndBdatStoreTheSameBytes)
{
    body = {".leading dot", ".", "..two", QString(1200, 'w'), QStringLiteral("Gr\u00fc\u00dfe [= PARAM1 =]"),
            QStringLiteral("nul\u0000here"), "bare\rcr and\nlf", "end"};
    const QStringList entries{"a@example.org,Ann", "b@example.org,Bo", "c@example.org,Cy"};
    QList<QByteArray> stored[2];
    for (int chunking = 0; chunking < 2; ++chunking) {
        SCOPED_TRACE(chunking ? "BDAT" : "DATA");
        Sink sink(chunking ? QStringList() : QStringList{"-C"});
        ASSERT_GT(sink.port(), 0);
        add(entries);
        ASSERT_TRUE(runToTheEnd(selection(sink.port())));
        EXPECT_EQ(outcome, RunOutcome::Completed) << lines.join(" | ").toStdString();
        stored[chunking] = sink.messages(3);
        ASSERT_EQ(stored[chunking].size(), 3);
        open("second"); // the session's figures are written when it ends
        const QList<QJsonObject> sessions = sink.sessions();
        ASSERT_EQ(sessions.size(), 1);
        EXPECT_EQ(sessions[0]["bdat"].toInt(), chunking ? 3 : 0);
        EXPECT_EQ(sessions[0]["data"].toInt(), chunking ? 0 : 3);
    }
    static const QRegularExpression varying("\r\n(Date|Message-ID): [^\r\n]*");
    for (int i = 0; i < 3; ++i) {
        const QString viaData = QString::fromLatin1(stored[0][i]).replace(varying, "\r\n\\1: -");
        const QString viaBdat = QString::fromLatin1(stored[1][i]).replace(varying, "\r\n\\1: -");
        EXPECT_EQ(viaData, viaBdat);
        EXPECT_TRUE(viaBdat.contains("\r\n.leading dot\r\n.\r\n..two\r\n")) << viaBdat.toStdString();
    }
}

// With PIPELINING alone, each message costs one wait: its data goes out with the next message's
// envelope. The sink counts the times it had to answer before the client wrote again.
TEST_F(StreamTest, PipeliningAloneCostsOneRoundTripAMessage)
{
    Sink sink({"-C"});
    ASSERT_GT(sink.port(), 0);
    QStringList entries;
    for (int i = 0; i < 200; ++i)
        entries << QStringLiteral("r%1@example.org").arg(i);
    add(entries);
    ASSERT_TRUE(runToTheEnd(selection(sink.port())));
    EXPECT_EQ(outcome, RunOutcome::Completed);
    run.reset();
    ASSERT_EQ(sink.messages(200).size(), 200);
    const QList<QJsonObject> sessions = sink.sessions();
    ASSERT_EQ(sessions.size(), 1);
    // The turns between the first MAIL and the last message's reply: one a message and one for the
    // first envelope (201 here) when the next message is always ready in time, two a message (400)
    // without the pattern. A slow machine may miss the odd one; it never comes near two.
    EXPECT_LT(sessions[0]["turns_in_window"].toInt(), 300) << sessions[0]["turns_in_window"].toInt();
    EXPECT_EQ(sessions[0]["msgs"].toInt(), 200);
}

// A refusal in the middle of a window of BDAT transactions. With stop, the run stops there: the
// message after it, which the server took, is recorded as delivered; the refused one stays
// pending. With skip it goes to the failed list. Nothing is recorded that was not accepted.
TEST_F(StreamTest, RefusalInTheMiddleOfAWindow)
{
    for (const RefusalChoice choice : {RefusalChoice::Stop, RefusalChoice::Skip}) {
        SCOPED_TRACE(choice == RefusalChoice::Stop ? "stop" : "skip");
        open(choice == RefusalChoice::Stop ? "stop" : "skip");
        ScriptedServer server;
        server.send(kGreeting).expect("EHLO tester").send(kEhloChunking);
        readThreeTransactions(server);
        server.send(kOk + kOk + kOk + "250 queued a\r\n")
            .send(kOk + kOk + "550 5.1.1 no such user\r\n" + "554 5.5.1 no valid recipients\r\n")
            .send(kOk + kOk + kOk + "250 queued c\r\n")
            .expect("QUIT");
        server.start();
        add({"a@example.org", "b@example.org", "c@example.org"});
        run->setRefusalChoice(choice);
        ASSERT_TRUE(runToTheEnd(selection(server.port())));
        EXPECT_TRUE(server.finish());
        EXPECT_TRUE(server.problems().isEmpty()) << server.problems().join("; ").toStdString();
        EXPECT_EQ(logged(), (QStringList{"a@example.org", "c@example.org"}));
        EXPECT_TRUE(lines.contains("Sending failed: b@example.org--5.1.1 no such user\r\n")) << lines.join(" | ").toStdString();
        if (choice == RefusalChoice::Stop) {
            EXPECT_EQ(outcome, RunOutcome::Refused);
            EXPECT_EQ(list->entries(), QStringList{"b@example.org"});
            EXPECT_TRUE(failed().isEmpty());
        } else {
            EXPECT_EQ(outcome, RunOutcome::Completed);
            EXPECT_EQ(list->count(), 0);
            EXPECT_EQ(failed(), QStringList{"b@example.org 550"});
        }
    }
}

// The server ends the connection in the middle of a window, with a 421 or by closing: only the
// message whose reply was read is delivered; those after it stay pending, in their order.
TEST_F(StreamTest, ConnectionEndingInTheMiddleOfAWindow)
{
    for (const bool with421 : {true, false}) {
        SCOPED_TRACE(with421 ? "421" : "closed");
        open(with421 ? "421" : "closed");
        ScriptedServer server;
        server.send(kGreeting).expect("EHLO tester").send(kEhloChunking);
        readThreeTransactions(server);
        server.send(kOk + kOk + kOk + "250 queued a\r\n");
        if (with421)
            server.send("421 4.3.2 shutting down\r\n");
        server.close();
        server.start();
        add({"a@example.org", "b@example.org", "c@example.org"});
        run->setReconnectDelays({}); // what the lost session leaves, without connecting again
        ASSERT_TRUE(runToTheEnd(selection(server.port())));
        EXPECT_TRUE(server.finish());
        EXPECT_EQ(outcome, RunOutcome::Refused);
        EXPECT_EQ(logged(), QStringList{"a@example.org"});
        EXPECT_EQ(list->entries(), (QStringList{"b@example.org", "c@example.org"}));
        EXPECT_TRUE(failed().isEmpty());
        const QString reason = with421 ? "4.3.2 shutting down\r\n" : "Connection Closed Gracefully.";
        EXPECT_TRUE(lines.contains("Sending failed: b@example.org--" + reason)) << lines.join(" | ").toStdString();
    }
}

// With PIPELINING alone the next message's envelope goes out with this message's data, so it is
// under way when this one's refusal is read. With stop it is finished and recorded (the server
// took it); the refused one and the rest stay pending.
TEST_F(StreamTest, RefusedDataWithTheNextEnvelopeOnItsWay)
{
    ScriptedServer server;
    server.send(kGreeting).expect("EHLO tester").send(kEhloPipelining)
        .expect("RSET").expect("MAIL FROM:<me@example.com>").expect("RCPT TO:<a@example.org>").expect("DATA")
        .send(kOk + kOk + kOk + "354 go\r\n").readData()
        .expect("RSET").expect("MAIL FROM:<me@example.com>").expect("RCPT TO:<b@example.org>").expect("DATA")
        .send("554 5.7.1 spam\r\n").pause(300) // the run hears of the refusal before the next replies
        .send(kOk + kOk + kOk + "354 go\r\n").readData().send("250 queued b\r\n")
        .expect("QUIT");
    server.start();
    add({"a@example.org", "b@example.org", "c@example.org"});
    ASSERT_TRUE(runToTheEnd(selection(server.port())));
    EXPECT_TRUE(server.finish());
    EXPECT_TRUE(server.problems().isEmpty()) << server.problems().join("; ").toStdString();
    EXPECT_EQ(outcome, RunOutcome::Refused);
    EXPECT_EQ(logged(), QStringList{"b@example.org"});
    EXPECT_EQ(list->entries(), (QStringList{"a@example.org", "c@example.org"}));
    EXPECT_EQ(lines.filter("Sending").join(" | "),
              "Sending failed: a@example.org--5.7.1 spam\r\n | Sending is ok: b@example.org");
}

// Several connections take entries from the one list: each entry goes out once, over all of them.
TEST_F(StreamTest, SeveralConnectionsDeliverEachEntryOnce)
{
    Sink sink;
    ASSERT_GT(sink.port(), 0);
    QStringList entries;
    for (int i = 0; i < 400; ++i)
        entries << QStringLiteral("r%1@example.org").arg(i);
    add(entries);
    ASSERT_TRUE(runToTheEnd(selection(sink.port(), 8, 4)));
    EXPECT_EQ(outcome, RunOutcome::Completed);
    EXPECT_EQ(lines.filter("Connecting Server:").size(), 4);
    EXPECT_EQ(lines.filter("Sending is ok: ").size(), 400);
    EXPECT_EQ(list->count(), 0);
    QStringList sent = logged();
    sent.sort();
    QStringList expected = entries;
    expected.sort();
    EXPECT_EQ(sent, expected);
    run.reset();
    QSet<QString> received;
    for (const QByteArray& m : sink.messages(400))
        received.insert(RecipientOf(m));
    EXPECT_EQ(received.size(), 400);
    int sessionsThatSent = 0;
    for (const QJsonObject& s : sink.sessions(4))
        sessionsThatSent += s["msgs"].toInt() > 0 ? 1 : 0;
    EXPECT_GE(sessionsThatSent, 2);
}

// The server answers a whole window and resets the connection: the next write fails, but the
// replies that came before it say the messages were delivered, and they are recorded, not sent
// again (they once were, by the next session or run).
TEST_F(StreamTest, RepliesReadBeforeABrokenWriteCount)
{
    ScriptedServer server;
    server.send(kGreeting).expect("EHLO tester").send(kEhloChunking);
    readThreeTransactions(server);
    server.send(kOk + kOk + kOk + "250 queued a\r\n" + kOk + kOk + kOk + "250 queued b\r\n" + kOk + kOk + kOk
                + "250 queued c\r\n")
        .reset();
    server.start();
    add({"a@example.org", "b@example.org", "c@example.org", "d@example.org"});
    run->setReconnectDelays({});
    ASSERT_TRUE(runToTheEnd(selection(server.port(), 3)));
    EXPECT_TRUE(server.finish());
    EXPECT_EQ(logged(), (QStringList{"a@example.org", "b@example.org", "c@example.org"})) << lines.join(" | ").toStdString();
    EXPECT_EQ(list->entries(), QStringList{"d@example.org"});
}

// Mail servers limit the messages of a session (100 is a common default) and answer the next
// MAIL FROM with 452: that ends the session, not the run, and refuses nobody. Each message goes
// once, with DATA and with BDAT, in the default mode where a refusal would end the run.
TEST_F(StreamTest, ServerLimitOfMessagesASessionEndsOnlyTheSession)
{
    for (const bool chunking : {false, true}) {
        SCOPED_TRACE(chunking ? "BDAT" : "DATA");
        open(chunking ? "bdat" : "data");
        Sink sink(chunking ? QStringList{"-m", "100"} : QStringList{"-m", "100", "-C"});
        ASSERT_GT(sink.port(), 0);
        QStringList entries;
        for (int i = 0; i < 250; ++i)
            entries << QStringLiteral("r%1@example.org").arg(i);
        add(entries);
        run->setReconnectDelays({10, 10, 10, 10, 10});
        ASSERT_TRUE(runToTheEnd(selection(sink.port())));
        EXPECT_EQ(outcome, RunOutcome::Completed) << lines.join(" | ").toStdString();
        EXPECT_EQ(sink.messages(250).size(), 250);
        QStringList sent = logged();
        sent.sort();
        entries.sort();
        EXPECT_EQ(sent, entries);
        EXPECT_TRUE(list->entries().isEmpty());
        EXPECT_TRUE(failed().isEmpty());
        EXPECT_TRUE(lines.filter("Sending failed").isEmpty()) << lines.join(" | ").toStdString();
        EXPECT_EQ(lines.filter("The server ended the session: 452 4.5.3").size(), 2);
    }
}

// A server that names its largest message (SIZE) hears each message's size with MAIL FROM, and a
// message larger than that is refused before a byte of it goes out, saying both sizes. It fails
// alone, in the default mode too: it could never go, and would stop every run that reached it.
TEST_F(StreamTest, MessageLargerThanTheServerTakesNeverGoesOut)
{
    ScriptedServer server;
    server.send(kGreeting).expect("EHLO tester").send("250-test\r\n250-PIPELINING\r\n250-CHUNKING\r\n250 SIZE 2000\r\n")
        .expect("RSET").readLine().expect("RCPT TO:<a@example.org>").readChunk().send(kOk + kOk + kOk + kOk)
        .expect("RSET").readLine().expect("RCPT TO:<c@example.org>").readChunk().send(kOk + kOk + kOk + kOk)
        .expect("QUIT");
    server.start();
    body = {"[= PARAM1 =]"};
    add({"a@example.org,small", "b@example.org," + QString(3000, 'x'), "c@example.org,small"});
    ASSERT_TRUE(runToTheEnd(selection(server.port(), 1)));
    EXPECT_TRUE(server.finish());
    EXPECT_TRUE(server.problems().isEmpty()) << server.problems().join("; ").toStdString();
    EXPECT_EQ(logged(), (QStringList{"a@example.org,small", "c@example.org,small"}));
    ASSERT_EQ(store->failedRows().size(), 1);
    EXPECT_TRUE(store->failedRows()[0].reason.contains(QRegularExpression("^The message is \\d+ bytes; the server takes at most 2000\\.$")))
        << store->failedRows()[0].reason.toStdString();
    EXPECT_TRUE(QRegularExpression("MAIL FROM:<me@example.com> SIZE=\\d+\r\n").match(QString::fromLatin1(server.received())).hasMatch());
}
