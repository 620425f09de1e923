#include "core/run/pendinglist.h"
#include "core/run/sendingrun.h"
#include "core/text/codepage.h"
#include "core/text/textutil.h"
#include "core/error.h"
#include "core/sendlog/sendlogstore.h"
#include "core/smtp/socketstream.h"
#include "support/faultystream.h"
#include "support/netnshost.h"
#include "support/python.h"
#include "support/rawsql.h"
#include "support/scriptedserver.h"
#include "support/smtpd.h"
#include "support/tempdir.h"
#include "support/testrun.h"
#include "support/wait.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QElapsedTimer>
#include <QSqlQuery>
#include <QVariant>
#include <gtest/gtest.h>

namespace {

class RunTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CodePage::setName("CP1252");
        store = std::make_unique<SendLogStore>(dir.path() + "/db/sendlog.db");
        list = std::make_unique<PendingList>(store.get());
        run = std::make_unique<SendingRun>(*list);
        run->setBodyProvider([this] { return body; });
        record.follow(*run, 5);
    }

    RunSelection selection(int port, const QString& ssl = "0") const
    {
        RunSelection s = LocalSelection(port);
        s.ImplicitTls = ssl == "1";
        s.ServerAccount = "user";
        s.ServerPassword = "secret";
        s.SenderName = "Me";
        return s;
    }

    void add(const QStringList& entries)
    {
        list->append(entries);
        run->countListChange();
    }

    bool waitForEnd() { return waitUntil([this] { return finishedCount > 0 && !run->running(); }); }

    // Another program breaks the store under the run: deliveries can be journalled but not applied.
    void dropSendLogTable()
    {
        ASSERT_EQ(execAsAnotherProgram(dir.path() + "/db/sendlog.db", "DROP TABLE sendlog"), "");
    }

    int logRows()
    {
        return int(store->logRows("%").size());
    }

    QTemporaryDir dir;
    std::unique_ptr<SendLogStore> store;
    std::unique_ptr<PendingList> list;
    std::unique_ptr<SendingRun> run;
    QStringList body{"Dear [= PARAM1 =],", "hello."};
    RunRecord record;
    QStringList& lines = record.lines;
    QStringList& errors = record.errors;
    RunOutcome& outcome = record.outcome;
    int& finishedCount = record.finishedCount;
};

} // namespace

TEST_F(RunTest, DeliversTheWholeListAndRecordsEachEntry)
{
    Smtpd smtpd;
    ASSERT_GT(smtpd.port(), 0) << smtpd.error().toStdString();
    add({"a@example.org,Ann", "b@example.org", "c@example.org"});
    run->StartRun(selection(smtpd.port()));
    ASSERT_TRUE(waitForEnd());
    EXPECT_EQ(lines, (QStringList{"Connecting Server:127.0.0.1", "The server does not require authentication",
                                  "Authentication is ok", "Sending is ok: a@example.org,Ann",
                                  "Sending is ok: b@example.org", "Sending is ok: c@example.org",
                                  "All emails have been sent"}));
    EXPECT_EQ(outcome, RunOutcome::Completed);
    EXPECT_EQ(run->pendingCount(), 0);
    EXPECT_EQ(run->sentCount(), 3);
    EXPECT_EQ(run->allCount(), 3);
    EXPECT_EQ(list->count(), 0);
    EXPECT_EQ(logRows(), 3);
    EXPECT_TRUE(store->hasBeenSent("a@example.org,Ann"));
    const QList<QByteArray> received = smtpd.messages(3);
    ASSERT_EQ(received.size(), 3);
    EXPECT_TRUE(received[0].contains("\r\n\r\nDear Ann,\r\nhello.\r\n"));
    EXPECT_TRUE(received[1].contains("\r\n\r\nDear  ,\r\nhello.\r\n"));
    // Nothing pending survives into the next start.
    EXPECT_TRUE(store->pendingRows().isEmpty());
}

TEST_F(RunTest, FirstRefusalEndsTheRunAndKeepsTheRest)
{
    Smtpd smtpd;
    ASSERT_GT(smtpd.port(), 0);
    add({"a@example.org", "refuse@example.org", "c@example.org"});
    run->StartRun(selection(smtpd.port()));
    ASSERT_TRUE(waitForEnd());
    ASSERT_EQ(lines.size(), 7);
    EXPECT_EQ(lines[3], "Sending is ok: a@example.org");
    EXPECT_TRUE(lines[4].startsWith("Sending failed: refuse@example.org--5.1.1 Mailbox unavailable\r\n")) << lines[4].toStdString();
    EXPECT_EQ(lines[5], "All emails have been sent");
    EXPECT_EQ(lines[6], "This run: 1 sent, 1 refused, 0 suppressed, 2 still pending.");
    EXPECT_EQ(outcome, RunOutcome::Refused);
    EXPECT_EQ(list->entries(), (QStringList{"refuse@example.org", "c@example.org"}));
    EXPECT_EQ(run->sentCount(), 1);
    EXPECT_EQ(run->pendingCount(), 2);
    EXPECT_EQ(logRows(), 1);
    // The pending list comes back in order at the next start.
    PendingList reloaded(store.get());
    EXPECT_EQ(reloaded.entries(), (QStringList{"refuse@example.org", "c@example.org"}));
}

TEST_F(RunTest, RefusalGivesTheSameLinesWithAndWithoutPipelining)
{
    QList<QStringList> results;
    for (bool pipelining : {false, true}) {
        lines.clear();
        finishedCount = 0;
        QList<int> all;
        for (int i = 0; i < list->count(); ++i)
            all.append(i);
        list->removeRowsAt(all);
        run->countListChange();
        add({"bad@example.org", "next@example.org"});
        ScriptedServer server;
        server.send("220 hi\r\n").expect("EHLO tester");
        if (pipelining)
            server.send("250-x\r\n250 PIPELINING\r\n").readLine().readLine().readLine().readLine()
                .send("250 ok\r\n250 ok\r\n550 5.1.1 no such user\r\n554 no valid recipients\r\n");
        else
            server.send("250 x\r\n").expect("RSET").send("250 ok\r\n").readLine().send("250 ok\r\n").readLine()
                .send("550 5.1.1 no such user\r\n");
        server.expect("QUIT");
        server.start();
        run->StartRun(selection(server.port()));
        ASSERT_TRUE(waitForEnd());
        EXPECT_TRUE(server.finish());
        EXPECT_TRUE(server.problems().isEmpty()) << server.problems().join(";").toStdString();
        results.append(lines);
        EXPECT_EQ(list->entries(), (QStringList{"bad@example.org", "next@example.org"}));
    }
    EXPECT_EQ(results[0], results[1]);
    EXPECT_EQ(results[0][3], "Sending failed: bad@example.org--5.1.1 no such user\r\n");
}

TEST_F(RunTest, LogsInWhenTheServerOffersLogin)
{
    Smtpd smtpd({"--auth", "user:secret"});
    ASSERT_GT(smtpd.port(), 0) << smtpd.error().toStdString();
    add({"a@example.org"});
    run->StartRun(selection(smtpd.port()));
    ASSERT_TRUE(waitForEnd());
    EXPECT_EQ(lines.mid(0, 5), (QStringList{"Connecting Server:127.0.0.1", "The server requires authentication",
                                           "Authentication begins", "Authentication is ok",
                                           "Sending is ok: a@example.org"}));

    Smtpd wrong({"--auth", "user:other"});
    lines.clear();
    finishedCount = 0;
    add({"b@example.org"});
    run->StartRun(selection(wrong.port()));
    ASSERT_TRUE(waitForEnd());
    // The seed's line, then the server's own words and where the password is changed.
    ASSERT_GE(lines.size(), 2);
    EXPECT_EQ(lines[lines.size() - 2], "Authentication failed");
    EXPECT_TRUE(lines.last().startsWith("Reason: the server answered \"535 ")) << lines.last().toStdString();
    EXPECT_TRUE(lines.last().endsWith("\". Check the account and password under Setting, SMTP Server.")) << lines.last().toStdString();
    EXPECT_EQ(outcome, RunOutcome::AuthFailed);
    EXPECT_FALSE(run->running());
}

TEST_F(RunTest, StopBetweenMessages)
{
    Smtpd smtpd;
    add({"a@example.org", "b@example.org", "c@example.org"});
    run->setInterval(300);
    run->StartRun(selection(smtpd.port()));
    ASSERT_TRUE(waitUntil([this] { return run->sentCount() == 1; }));
    run->StopRun();
    ASSERT_TRUE(waitForEnd());
    EXPECT_EQ(lines.last(), "This run: 1 sent, 0 refused, 0 suppressed, 2 still pending.");
    EXPECT_EQ(list->count(), 2);
    EXPECT_EQ(outcome, RunOutcome::Completed);
}

TEST_F(RunTest, TestSendTouchesNeitherTheListNorTheLog)
{
    Smtpd smtpd;
    add({"a@example.org"});
    run->StartRun(selection(smtpd.port()), "probe@example.org");
    ASSERT_TRUE(waitForEnd());
    EXPECT_EQ(lines.mid(3), (QStringList{"Sending is ok: probe@example.org", "All emails have been sent"}));
    EXPECT_EQ(run->sentCount(), 0);
    EXPECT_EQ(logRows(), 0);
    EXPECT_EQ(list->entries(), QStringList{"a@example.org"});
    EXPECT_EQ(smtpd.messages(1).size(), 1);
}

TEST_F(RunTest, BadPortIsAConversionErrorBeforeAnything)
{
    add({"a@example.org"});
    RunSelection s = selection(25);
    s.ServerPort = "";
    try {
        run->StartRun(s);
        FAIL();
    } catch (const BrevoraError& e) {
        EXPECT_EQ(e.message(), "'' is not a valid integer value");
    }
    s.ServerPort = " 25";
    EXPECT_THROW(run->StartRun(s), BrevoraError);
    EXPECT_TRUE(lines.isEmpty());
    EXPECT_FALSE(run->running());
}

TEST_F(RunTest, ConnectionFailureLeavesTheWindowIdle)
{
    int port;
    {
        ScriptedServer gone;
        port = gone.port();
    }
    add({"a@example.org"});
    RunSelection s = selection(port);
    s.ServerHost = " 127.0.0.1";
    run->StartRun(s);
    ASSERT_TRUE(waitForEnd());
    // The reason names the host and port it could not reach.
    EXPECT_EQ(lines, (QStringList{"Connecting Server: 127.0.0.1", "Connecting Server Failed: 127.0.0.1",
                                  QStringLiteral("Reason: Socket Error # 10061 Connection refused. (127.0.0.1, port %1)").arg(port)}));
    EXPECT_EQ(outcome, RunOutcome::ConnectFailed);
    EXPECT_FALSE(run->running());
}

// The first message is written in full before connecting: a message that cannot be prepared is
// told at Start, not after the login, and nothing changes.
TEST_F(RunTest, UnpreparableMessageStopsTheRunBeforeItConnects)
{
    ScriptedServer server; // nothing may connect
    server.start();
    add({"a@example.org"});
    body.clear();
    try {
        run->StartRun(selection(server.port()));
        FAIL() << "the run started";
    } catch (const BrevoraError& e) {
        EXPECT_EQ(e.message(), "The content has no text: its body file is empty or cannot be read.");
    }
    EXPECT_FALSE(run->running());
    EXPECT_EQ(server.acceptedConnections(), 0);
    EXPECT_EQ(list->entries(), QStringList{"a@example.org"});
    list->lockForRun(); // the run let go of the list
    list->unlockRun();
}

TEST_F(RunTest, UnrecordableDeliveryIsReportedAndKeptForLater)
{
    Smtpd smtpd;
    add({"a@example.org", "b@example.org"});
    dropSendLogTable();
    run->StartRun(selection(smtpd.port()));
    ASSERT_TRUE(waitForEnd());
    ASSERT_GE(lines.size(), 2);
    EXPECT_TRUE(lines[lines.size() - 2].startsWith("Recording failed: ")) << lines.join("|").toStdString();
    EXPECT_EQ(lines.last(), "All emails have been sent");
    EXPECT_EQ(outcome, RunOutcome::RecordFailed);
    // Both were delivered: neither is pending, and the duplicate check knows them.
    EXPECT_TRUE(list->entries().isEmpty());
    EXPECT_TRUE(store->hasBeenSent("a@example.org"));

    // The next start, with a store that works again, records them.
    run.reset();
    list.reset();
    store.reset();
    SendLogStore reopened(dir.path() + "/db/sendlog.db");
    EXPECT_TRUE(reopened.hasBeenSent("a@example.org"));
    EXPECT_TRUE(reopened.hasBeenSent("b@example.org"));
    EXPECT_TRUE(reopened.pendingRows().isEmpty());
}

TEST_F(RunTest, MessageWrittenAheadGivesWayToChangesBeforeItsTick)
{
    Smtpd smtpd;
    add({"a@example.org,Ann", "b@example.org,Bob", "c@example.org,Cy"});
    run->setInterval(300);
    run->StartRun(selection(smtpd.port()));
    ASSERT_TRUE(waitUntil([this] { return run->sentCount() == 1; }));
    // Between two ticks the user deletes the next entry and edits the content.
    list->removeRowsAt({0});
    run->countListChange();
    body = QStringList{"Hello [= PARAM1 =]!"};
    ASSERT_TRUE(waitForEnd());
    EXPECT_EQ(lines.mid(3), (QStringList{"Sending is ok: a@example.org,Ann", "Sending is ok: c@example.org,Cy",
                                         "All emails have been sent"}));
    const QList<QByteArray> received = smtpd.messages(2);
    ASSERT_EQ(received.size(), 2);
    EXPECT_TRUE(received[0].contains("\r\n\r\nDear Ann,\r\nhello.\r\n"));
    EXPECT_TRUE(received[1].contains("\r\n\r\nHello Cy!\r\n"));
    EXPECT_TRUE(received[1].contains("To: c@example.org"));
    EXPECT_FALSE(store->hasBeenSent("b@example.org,Bob"));
}

TEST_F(RunTest, BatchThatCannotBeAppliedMidRunStopsTheRunAndLosesNothing)
{
    Smtpd smtpd;
    QStringList entries;
    for (int i = 0; i < 400; ++i)
        entries.append(QStringLiteral("r%1@example.org").arg(i));
    add(entries);
    dropSendLogTable();
    run->setInterval(0);
    run->StartRun(selection(smtpd.port()));
    ASSERT_TRUE(waitForEnd());
    EXPECT_EQ(outcome, RunOutcome::RecordFailed);
    // The batch fell due during the run (by count or by age), long before the list's end.
    ASSERT_GE(lines.size(), 3);
    EXPECT_TRUE(lines.last().startsWith("This run: ")) << lines.last().toStdString();
    const QString failed = lines[lines.size() - 3];
    EXPECT_TRUE(failed.startsWith("Recording failed: r")) << failed.toStdString();
    EXPECT_TRUE(failed.contains("@example.org--")) << failed.toStdString();
    EXPECT_GT(list->count(), 0);
    // Every delivered entry left the list and is known as sent; every other one is still pending.
    for (int i = 0; i < 400; ++i)
        EXPECT_NE(list->contains(entries[i]), store->hasBeenSent(entries[i])) << i;
    EXPECT_EQ(run->sentCount() + list->count(), 400);
}

// Every read and write of a run fails in turn: each failure ends in its own activity line, with
// the session closed and every entry either delivered and recorded or still pending, in order.
TEST_F(RunTest, EveryReadAndWriteThatFailsLeavesAClosedSessionAndAnIntactList)
{
    Smtpd smtpd({"--auth", "user:secret"});
    ASSERT_GT(smtpd.port(), 0) << smtpd.error().toStdString();
    const QStringList entries{"a@example.org", "b@example.org"};
    auto counter = std::make_shared<FaultyStream::Counter>();

    const auto runOnce = [&](int failAt) {
        finishedCount = 0;
        lines.clear();
        QList<int> all;
        for (int i = 0; i < list->count(); ++i)
            all.append(i);
        list->removeRowsAt(all);
        add(entries);
        *counter = FaultyStream::Counter{0, failAt, false, {}};
        run->smtp().setStreamOpener(FaultyStream::opener(counter));
        run->StartRun(selection(smtpd.port()));
        return waitForEnd();
    };
    run->setReconnectDelays({}); // what one lost session leaves, without connecting again
    ASSERT_TRUE(runOnce(0));
    ASSERT_EQ(outcome, RunOutcome::Completed);
    const int operations = counter->operations;
    ASSERT_GT(operations, 10);

    const QString reset = SocketErrorFromErrno(ECONNRESET);
    for (int failAt = 1; failAt <= operations; ++failAt) {
        SCOPED_TRACE(failAt);
        store->journal().flush();
        const int rowsBefore = logRows();
        ASSERT_TRUE(runOnce(failAt));
        EXPECT_FALSE(run->connected());
        EXPECT_FALSE(run->running());

        QStringList delivered;
        for (const QString& line : lines)
            if (line.startsWith("Sending is ok: "))
                delivered.append(line.mid(15));
        EXPECT_EQ(delivered, entries.mid(0, delivered.size()));
        EXPECT_EQ(list->entries(), entries.mid(delivered.size()));
        for (const QString& e : delivered)
            EXPECT_TRUE(store->hasBeenSent(e));
        store->journal().flush();
        EXPECT_EQ(logRows() - rowsBefore, delivered.size());

        switch (outcome) {
        case RunOutcome::ConnectFailed:
            ASSERT_GE(lines.size(), 2);
            EXPECT_EQ(lines[lines.size() - 2], "Connecting Server Failed:127.0.0.1");
            EXPECT_TRUE(lines.last().startsWith("Reason: " + PrintableText(reset, true))) << lines.last().toStdString();
            break;
        case RunOutcome::AuthFailed:
            EXPECT_TRUE(lines.contains("Authentication failed")) << lines.join('|').toStdString();
            break;
        case RunOutcome::Refused:
            ASSERT_GE(lines.size(), 2);
            ASSERT_GE(lines.size(), 3);
            EXPECT_EQ(lines[lines.size() - 3], "Sending failed: " + entries[delivered.size()] + "--" + reset);
            EXPECT_EQ(lines[lines.size() - 2], "All emails have been sent");
            // A lost connection refused nobody: what is left is pending.
            EXPECT_EQ(lines.last(), QStringLiteral("This run: %1 sent, 0 refused, 0 suppressed, %2 still pending.")
                                        .arg(delivered.size()).arg(entries.size() - delivered.size()));
            break;
        case RunOutcome::Completed:
            // Only the QUIT at the end may fail unseen (or, with replies arriving in fewer pieces
            // this time, nothing failed): the list was delivered by then.
            EXPECT_TRUE(!counter->failed || counter->failedWrite == "QUIT\r\n");
            EXPECT_EQ(delivered, entries);
            break;
        default:
            ADD_FAILURE() << "unexpected outcome " << int(outcome);
        }
    }
}

// A run (or a test send) without a sender, a server or a content stops before connecting and
// says what is missing and where to set it up.
TEST_F(RunTest, NoSenderStopsBeforeConnecting)
{
    ScriptedServer server; // nothing may reach it
    server.start();
    add({"a@example.org"});
    const struct
    {
        std::function<void(RunSelection&)> unset;
        const char* says;
    } cases[] = {
        {[](RunSelection& s) { s.SenderAddress = "  "; }, "Setting, Your Email Address"},
        {[](RunSelection& s) { s.ServerHost = ""; }, "No SMTP server is selected. Add one under Setting, SMTP Server"},
        {[](RunSelection& s) { s.ContentTitle = ""; }, "No content is selected. Add one under Setting, Email Content"},
    };
    for (const auto& c : cases) {
        RunSelection s = selection(server.port());
        c.unset(s);
        for (const QString& test : {QString(), QStringLiteral("probe@example.org")}) {
            try {
                run->StartRun(s, test);
                ADD_FAILURE() << "no error";
            } catch (const BrevoraError& e) {
                EXPECT_EQ(e.kind(), ErrorKind::Usage);
                EXPECT_TRUE(e.message().contains(c.says)) << e.message().toStdString();
            }
        }
    }
    EXPECT_TRUE(lines.isEmpty());
    EXPECT_FALSE(run->running());
    EXPECT_EQ(server.acceptedConnections(), 0);
}

// Two runs over one store (two windows, a window and the command line, two command lines): the
// second refuses before connecting, and a run starts from the list as the store holds it.
TEST_F(RunTest, SecondRunOnTheSameStoreRefusesAndARunStartsFromTheStoredList)
{
    Smtpd smtpd;
    add({"a@example.org", "b@example.org"});
    SendLogStore otherStore(dir.path() + "/db/sendlog.db");
    PendingList otherList(&otherStore);
    SendingRun other(otherList);
    run->setInterval(300);
    run->StartRun(selection(smtpd.port()));
    ASSERT_TRUE(run->running());
    lines.clear();
    try {
        other.StartRun(selection(smtpd.port()));
        ADD_FAILURE() << "the second run started";
    } catch (const BrevoraError& e) {
        EXPECT_TRUE(e.message().startsWith("Another run is using this list")) << e.message().toStdString();
    }
    EXPECT_FALSE(other.running());
    ASSERT_TRUE(waitForEnd());
    EXPECT_EQ(smtpd.messages(2).size(), 2);

    // The other process added an entry meanwhile; its run sees it, and only it.
    otherList.reload();
    otherList.append({"c@example.org"});
    finishedCount = 0;
    run->StartRun(selection(smtpd.port()));
    ASSERT_TRUE(waitForEnd());
    EXPECT_EQ(smtpd.messages(3).size(), 3);
    EXPECT_TRUE(list->entries().isEmpty());
    EXPECT_EQ(run->sentCount(), 3);
}

// Deliveries journalled by a process that ended, which cannot be applied to the send log: they
// count as sent, are not pending, and no run starts (it would send them again).
TEST_F(RunTest, UnappliedJournalBlocksRunsAndCountsAsSent)
{
    add({"a@example.org", "b@example.org"});
    const qint64 firstId = store->pendingRows().first().id;
    run.reset();
    list.reset();
    store.reset();
    ASSERT_EQ(execAsAnotherProgram(dir.path() + "/db/sendlog.db",
                                   "CREATE TRIGGER damaged BEFORE INSERT ON sendlog BEGIN SELECT RAISE(ABORT, 'disk I/O error'); END"),
              "");
    writeAll(dir.path() + "/db/sendlog.db-deliveries-1-2-dead",
             DeliveryJournal::line(firstId, "2026-01-01 00:00:00", "a@example.org"));

    store = std::make_unique<SendLogStore>(dir.path() + "/db/sendlog.db");
    list = std::make_unique<PendingList>(store.get());
    run = std::make_unique<SendingRun>(*list);
    EXPECT_EQ(list->entries(), QStringList{"b@example.org"});
    EXPECT_TRUE(store->hasBeenSent("a@example.org"));
    EXPECT_TRUE(store->journal().unappliedReason().startsWith("1 deliveries recorded in ")) << store->journal().unappliedReason().toStdString();
    EXPECT_TRUE(store->journal().unappliedReason().contains("disk I/O error"));
    ScriptedServer server;
    server.start();
    EXPECT_THROW(run->StartRun(selection(server.port())), BrevoraError);
    EXPECT_EQ(server.acceptedConnections(), 0);
}

// A message written ahead carries the time it was written; used much later, its Date would lie.
TEST_F(RunTest, EveryMessageIsDatedWhenItGoesOut)
{
    Smtpd smtpd;
    add({"a@example.org", "b@example.org"});
    // Paced two seconds apart, the second message cannot be written before its tick: written
    // ahead, at the start, it would carry the first one's time.
    run->setInterval(2000);
    run->StartRun(selection(smtpd.port()));
    ASSERT_TRUE(waitForEnd());
    const QList<QByteArray> messages = smtpd.messages(2);
    ASSERT_EQ(messages.size(), 2);
    QList<QDateTime> dated;
    for (const QByteArray& m : messages) {
        const qsizetype at = m.indexOf("\r\nDate: ") + 8;
        const QByteArray date = m.mid(at, m.indexOf("\r\n", at) - at);
        dated.append(QDateTime::fromString(QString::fromLatin1(date), Qt::RFC2822Date));
        ASSERT_TRUE(dated.last().isValid()) << date.constData();
    }
    EXPECT_GE(dated[0].secsTo(dated[1]), 1); // whole seconds: at least one of the two between them
}

// Another program removes an entry's pending row while the run has it in memory: its delivery is
// logged, and the run stops and says so rather than carrying on over a list it no longer knows.
TEST_F(RunTest, DeliveryWhosePendingRowIsGoneStopsTheRun)
{
    Smtpd smtpd;
    add({"a@example.org", "b@example.org", "c@example.org"});
    run->setInterval(300);
    run->StartRun(selection(smtpd.port()));
    ASSERT_TRUE(waitUntil([this] { return run->sentCount() == 1; }));
    ASSERT_EQ(execAsAnotherProgram(dir.path() + "/db/sendlog.db", "DELETE FROM pending WHERE entry = 'c@example.org'"), "");
    ASSERT_TRUE(waitForEnd());
    EXPECT_EQ(outcome, RunOutcome::RecordFailed);
    ASSERT_GE(lines.size(), 2);
    EXPECT_TRUE(lines[lines.size() - 2].contains("no longer in the pending list")) << lines.join("|").toStdString();
    EXPECT_TRUE(store->hasBeenSent("c@example.org"));
}

// An address the session could not carry safely is the message's fault, found before a byte of it
// goes out: the run ends as for any message that cannot be prepared, and the entry stays first.
TEST_F(RunTest, HostileAddressEndsTheRunBeforeItsMessageGoesOut)
{
    ScriptedServer server;
    server.start();
    add({"victim@example.org", "next@example.org"});
    RunSelection s = selection(server.port());
    s.SenderAddress = "me@example.com>\rRCPT TO:<other@example.org";
    try {
        run->StartRun(s);
        FAIL() << "the run started";
    } catch (const BrevoraError& e) {
        EXPECT_TRUE(e.message().contains("control character")) << e.message().toStdString();
    }
    EXPECT_EQ(server.acceptedConnections(), 0);
    EXPECT_EQ(list->count(), 2);
}

// Without TLS the password is readable on the way: no login to a server that is not this machine
// unless the user allowed it for that server. (Every other run test logs in over loopback.)
TEST_F(RunTest, NoLoginWithoutTlsToAnotherHostUnlessAllowed)
{
    NamespaceHost host;
    if (!host.up())
        GTEST_SKIP() << "a network namespace cannot be made here (root and iproute2 are needed)";
    Smtpd smtpd({"--auth", "user:secret", "--host", host.address()}, {}, host.launcher());
    ASSERT_GT(smtpd.port(), 0) << smtpd.error().toStdString();
    add({"a@example.org"});
    RunSelection s = selection(smtpd.port());
    s.ServerHost = host.address();
    run->StartRun(s);
    ASSERT_TRUE(waitForEnd());
    EXPECT_EQ(outcome, RunOutcome::AuthFailed);
    ASSERT_GE(lines.size(), 3);
    EXPECT_EQ(lines[1], "The server requires authentication");
    EXPECT_TRUE(lines[2].startsWith("Login refused: " + host.address() + " offers no TLS")) << lines[2].toStdString();
    EXPECT_FALSE(lines.contains("Authentication begins"));
    EXPECT_EQ(list->count(), 1);

    lines.clear();
    finishedCount = 0;
    s.AllowPlainLogin = true;
    run->StartRun(s);
    ASSERT_TRUE(waitForEnd());
    EXPECT_EQ(outcome, RunOutcome::Completed) << lines.join("|").toStdString();
    EXPECT_TRUE(lines.contains("Authentication is ok"));
    EXPECT_EQ(smtpd.messages(1).size(), 1);
}

// With skip, a refused recipient does not stop the run: it goes to the failed list with its code
// and reason, the send log keeps a row for it, and the others are delivered.
TEST_F(RunTest, SkipMovesARefusedRecipientToTheFailedListAndGoesOn)
{
    Smtpd smtpd;
    ASSERT_GT(smtpd.port(), 0);
    add({"a@example.org", "b@example.org", "refuse@example.org", "c@example.org", "d@example.org"});
    run->setRefusalChoice(RefusalChoice::Skip);
    run->StartRun(selection(smtpd.port()));
    ASSERT_TRUE(waitForEnd());
    EXPECT_EQ(outcome, RunOutcome::Completed);
    EXPECT_EQ(run->refusedCount(), 1);
    EXPECT_TRUE(lines.contains("Sending failed: refuse@example.org--5.1.1 Mailbox unavailable\r\n"));
    EXPECT_EQ(smtpd.messages(4).size(), 4);
    EXPECT_TRUE(list->entries().isEmpty());
    const QList<SendLogStore::FailedRow> failed = store->failedRows();
    ASSERT_EQ(failed.size(), 1);
    EXPECT_EQ(failed[0].entry, "refuse@example.org");
    EXPECT_EQ(failed[0].code, 550);
    EXPECT_EQ(failed[0].reason, "5.1.1 Mailbox unavailable");
    EXPECT_FALSE(store->hasBeenSent("refuse@example.org"));
    int refusedRows = 0;
    for (const SendLogStore::LogRow& row : store->logRows("%"))
        if (row.address == "refuse@example.org") {
            ++refusedRows;
            EXPECT_FALSE(row.delivered);
            EXPECT_EQ(row.code, 550);
        }
    EXPECT_EQ(refusedRows, 1);

    // The failed list goes back to the pending list on request.
    ASSERT_TRUE(store->retryFailed());
    EXPECT_TRUE(store->failedRows().isEmpty());
    ASSERT_EQ(store->pendingRows().size(), 1);
    EXPECT_EQ(store->pendingRows().first().entry, "refuse@example.org");
}

// A transient refusal (4xx) sends the entry behind the others and tries it again after a while.
TEST_F(RunTest, SkipTriesATransientRefusalAgainLater)
{
    ScriptedServer server;
    server.send("220 hi\r\n").expect("EHLO tester").send("250 x\r\n")
        .expect("RSET").send("250 ok\r\n").expect("MAIL FROM:<me@example.com>").send("250 ok\r\n")
        .expect("RCPT TO:<a@example.org>").send("450 4.2.1 try later\r\n")
        .expect("RSET").send("250 ok\r\n").expect("MAIL FROM:<me@example.com>").send("250 ok\r\n")
        .expect("RCPT TO:<b@example.org>").send("250 ok\r\n").expect("DATA").send("354 go\r\n").readData().send("250 ok\r\n")
        .expect("RSET").send("250 ok\r\n").expect("MAIL FROM:<me@example.com>").send("250 ok\r\n")
        .expect("RCPT TO:<a@example.org>").send("250 ok\r\n").expect("DATA").send("354 go\r\n").readData().send("250 ok\r\n")
        .expect("QUIT");
    server.start();
    add({"a@example.org", "b@example.org"});
    run->setRefusalChoice(RefusalChoice::Skip);
    run->setRetryDelays({300});
    run->StartRun(selection(server.port()));
    ASSERT_TRUE(waitForEnd());
    EXPECT_TRUE(server.finish());
    EXPECT_TRUE(server.problems().isEmpty()) << server.problems().join(";").toStdString();
    EXPECT_EQ(outcome, RunOutcome::Completed);
    EXPECT_EQ(run->refusedCount(), 0);
    EXPECT_EQ(lines.mid(3, 4), (QStringList{"Sending failed: a@example.org--4.2.1 try later\r\n",
                                            lines[4], "Sending is ok: b@example.org", "Sending is ok: a@example.org"}));
    EXPECT_TRUE(lines[4].startsWith("Trying a@example.org again at ")) << lines[4].toStdString();
    EXPECT_TRUE(store->hasBeenSent("a@example.org"));
    EXPECT_TRUE(store->failedRows().isEmpty());
    EXPECT_TRUE(list->entries().isEmpty());
}

// A connection lost between messages is opened again after a wait, whatever the refusal choice
// (a lost connection is no refusal), and the run goes on with the message that had not gone out.
TEST_F(RunTest, ALostConnectionIsOpenedAgainInBothModes)
{
    Smtpd smtpd;
    ASSERT_GT(smtpd.port(), 0);
    auto counter = std::make_shared<FaultyStream::Counter>();
    run->smtp().setStreamOpener(FaultyStream::opener(counter));
    add({"one@example.org"});
    run->StartRun(selection(smtpd.port()));
    ASSERT_TRUE(waitForEnd());
    const int writesForOne = counter->writes; // greeting to QUIT, one message
    ASSERT_EQ(smtpd.messages(1).size(), 1);

    run->setReconnectDelays({50});
    int received = 1;
    for (const RefusalChoice choice : {RefusalChoice::Stop, RefusalChoice::Skip}) {
        SCOPED_TRACE(choice == RefusalChoice::Stop ? "stop" : "skip");
        *counter = FaultyStream::Counter{};
        counter->failWriteAt = writesForOne; // the first write of the second message
        finishedCount = 0;
        lines.clear();
        add({"a@example.org", "b@example.org", "c@example.org"});
        run->setRefusalChoice(choice);
        run->StartRun(selection(smtpd.port()));
        ASSERT_TRUE(waitForEnd());
        EXPECT_TRUE(counter->failed);
        EXPECT_EQ(outcome, RunOutcome::Completed) << lines.join("|").toStdString();
        EXPECT_TRUE(lines.contains("Connection lost; connecting again in 0.05 s (try 1 of 5)")) << lines.join("|").toStdString();
        EXPECT_EQ(lines.count("Connecting Server:127.0.0.1"), 2);
        EXPECT_TRUE(list->entries().isEmpty());
        // Each recipient exactly once: the lost message had not gone out.
        received += 3;
        ASSERT_EQ(smtpd.messages(received).size(), received);
        QStringList to;
        for (int i = received - 3; i < received; ++i)
            to << QString::fromLatin1(smtpd.envelope(i)).section('\n', 1, 1);
        EXPECT_EQ(to, (QStringList{"a@example.org", "b@example.org", "c@example.org"}));
    }
}

// A per-minute limit, counted from the store, holds the run until the minute has passed; the
// clock is the test's, so nobody waits a minute.
TEST_F(RunTest, PerMinuteLimitWaitsAndSaysUntilWhen)
{
    Smtpd smtpd;
    ASSERT_GT(smtpd.port(), 0);
    qint64 now = QDateTime(QDate(2026, 12, 8), QTime(14, 0, 0)).toMSecsSinceEpoch();
    run->setClock([&now] { return now; });
    add({"a@example.org", "b@example.org", "c@example.org", "d@example.org"});
    RunSelection s = selection(smtpd.port());
    s.Limits.perMinute = 2;
    run->StartRun(s);
    ASSERT_TRUE(waitUntil([&] { return lines.contains("Per-minute limit of 2 reached; sending resumes at 14:01:00"); }))
        << lines.join("|").toStdString();
    EXPECT_EQ(run->sentCount(), 2);
    EXPECT_TRUE(run->running());
    // Another run, or another process, through the same server counts as well: the store holds it.
    EXPECT_EQ(store->countSentBy("127.0.0.1", now - 59999), 2);
    now += 61000;
    ASSERT_TRUE(waitForEnd());
    EXPECT_EQ(run->sentCount(), 4);
    EXPECT_EQ(smtpd.messages(4).size(), 4);
}

// Stop once acted only between messages: against a server that said nothing it waited for the
// read limit (a minute by default), the window frozen all along. Now it cuts short every wait
// (a connect, the greeting, a TLS handshake, a reply in the middle of a run) long before the read
// limit (the benchmark times it); the run ends as a stop does, with no failure reported, the entry
// still pending and the list free for the next run.
TEST_F(RunTest, StopCutsEveryWaitShort)
{
    const QByteArray greeting = "220 test ESMTP\r\n";
    const QByteArray ehlo = "250-test\r\n250 PIPELINING\r\n";
    struct Phase
    {
        const char* name;
        std::function<void(ScriptedServer&)> script;
        QString ssl;
        QString reached; // the last line shown before the wait
    } phases[] = {
        {"greeting", [](ScriptedServer& s) { s.mark().pause(2000).drain(); }, "0", "Connecting Server:127.0.0.1"},
        {"TLS handshake", [](ScriptedServer& s) { s.mark().pause(2000).drain(); }, "1", "Connecting Server:127.0.0.1"},
        {"reply to the data",
         [&](ScriptedServer& s) {
             s.send(greeting).expect("EHLO tester").send(ehlo).expect("RSET").send("250 ok\r\n")
                 .expect("MAIL FROM:<me@example.com>").send("250 ok\r\n").expect("RCPT TO:<a@example.org>")
                 .send("250 ok\r\n").expect("DATA").mark().pause(2000).drain();
         },
         "0", "Authentication is ok"},
    };
    add({"a@example.org"});
    run->smtp().ReadTimeout = 30000;
    for (const Phase& phase : phases) {
        SCOPED_TRACE(phase.name);
        ScriptedServer server;
        phase.script(server);
        server.start();
        lines.clear();
        finishedCount = 0;
        run->StartRun(selection(server.port(), phase.ssl));
        ASSERT_TRUE(waitUntil([&] { return !lines.isEmpty() && lines.last() == phase.reached; }, 3000));
        ASSERT_TRUE(waitUntil([&] { return server.marked(); }, 5000)); // the session is at its wait, or about to be
        run->StopRun();
        // The read limit is 30 s: ending within 5 s, the wait was cut short.
        ASSERT_TRUE(waitUntil([this] { return finishedCount > 0; }, 5000));
        EXPECT_EQ(outcome, RunOutcome::Completed);
        EXPECT_EQ(lines.mid(lines.size() - 2),
                  (QStringList{"All emails have been sent", "This run: 0 sent, 0 refused, 0 suppressed, 1 still pending."}));
        EXPECT_TRUE(run->stoppedByUser());
        EXPECT_TRUE(lines.filter("failed", Qt::CaseInsensitive).isEmpty()) << lines.join(" | ").toStdString();
        EXPECT_EQ(list->entries(), QStringList{"a@example.org"});
        EXPECT_FALSE(run->connected());
    }
    EXPECT_EQ(logRows(), 0);

    NamespaceHost host;
    if (!host.up())
        GTEST_SKIP() << "a host off loopback needs root and iproute2";
    SCOPED_TRACE("connect");
    lines.clear();
    finishedCount = 0;
    RunSelection s = selection(25);
    s.ServerHost = host.unusedAddress();
    run->StartRun(s);
    ASSERT_TRUE(run->running());
    run->StopRun();
    ASSERT_TRUE(waitUntil([this] { return finishedCount > 0; }, 5000));
    EXPECT_EQ(lines, (QStringList{"Connecting Server:" + host.unusedAddress(), "All emails have been sent",
                                  "This run: 0 sent, 0 refused, 0 suppressed, 1 still pending."}));
    list->lockForRun(); // the run let go of the list
    list->unlockRun();
}

// A server that offers only PLAIN once heard "The server does not require authentication" and
// refused every message; automatic login now takes PLAIN there. XOAUTH2 logs in with the token
// its command prints. A mechanism the user picked that the server does not offer is refused
// before anything is sent, naming what the server offers.
TEST_F(RunTest, LogsInTheWayTheServerOffers)
{
    {
        Smtpd plainOnly({"--auth", "user:secret", "--mechanisms", "PLAIN"});
        ASSERT_GT(plainOnly.port(), 0);
        add({"a@example.org"});
        run->StartRun(selection(plainOnly.port()));
        ASSERT_TRUE(waitForEnd());
        EXPECT_EQ(outcome, RunOutcome::Completed) << lines.join(" | ").toStdString();
        EXPECT_TRUE(lines.contains("The server requires authentication"));
        EXPECT_EQ(plainOnly.messages(1).size(), 1);
    }
    {
        Smtpd oauth({"--auth", "user:unused", "--mechanisms", "XOAUTH2", "--token", "tok-123"});
        ASSERT_GT(oauth.port(), 0);
        RunSelection s = selection(oauth.port());
        s.Login.mechanism = LoginMechanism::XOAuth2;
        s.Login.tokenCommand = "/bin/echo tok-123";
        add({"b@example.org"});
        lines.clear();
        finishedCount = 0;
        run->StartRun(s);
        ASSERT_TRUE(waitForEnd());
        EXPECT_EQ(outcome, RunOutcome::Completed) << lines.join(" | ").toStdString();
        EXPECT_EQ(oauth.messages(1).size(), 1);

        // A token the server does not take, and a command that fails, end the run at the login.
        s.Login.tokenCommand = "/bin/echo stale";
        add({"c@example.org"});
        lines.clear();
        finishedCount = 0;
        run->StartRun(s);
        ASSERT_TRUE(waitForEnd());
        EXPECT_EQ(outcome, RunOutcome::AuthFailed);
        EXPECT_EQ(lines.mid(lines.size() - 2, 1), QStringList{"Authentication failed"});
        EXPECT_TRUE(lines.last().startsWith("Reason: the server answered \"535 ")) << lines.last().toStdString();
        s.Login.tokenCommand = "/bin/false";
        lines.clear();
        finishedCount = 0;
        run->StartRun(s);
        ASSERT_TRUE(waitForEnd());
        EXPECT_EQ(outcome, RunOutcome::AuthFailed);
        EXPECT_EQ(lines.mid(lines.size() - 2),
                  (QStringList{"Authentication failed", "Reason: The token command \"/bin/false\" failed (exit status 1)."}));

        s.Login.mechanism = LoginMechanism::Plain;
        lines.clear();
        finishedCount = 0;
        run->StartRun(s);
        ASSERT_TRUE(waitForEnd());
        EXPECT_EQ(outcome, RunOutcome::AuthFailed);
        EXPECT_EQ(lines.last(), "Login refused: 127.0.0.1 does not offer AUTH PLAIN (it offers XOAUTH2). "
                                "Pick another login for this server.");
        EXPECT_EQ(oauth.messages(2, 300).size(), 1);
    }
}

namespace {
// What Python's e-mail parser, with every defect an error, reads from a message: the named
// headers, one "name: value" line each (value unfolded).
QStringList parsedHeaders(const QByteArray& message, const QStringList& names)
{
    return pythonOnMessage(message,
                           "import sys, email, email.policy\n"
                           "m = email.message_from_binary_file(open(sys.argv[1], 'rb'), policy=email.policy.strict)\n"
                           "for n in sys.argv[2:]:\n"
                           "    print('%s: %s' % (n, m[n]))\n",
                           names)
        .trimmed()
        .split('\n');
}
} // namespace

// A content with unsubscribe links: every message carries its recipient's own links as RFC 8058
// asks, read back by a strict parser from what the server received.
TEST_F(RunTest, UnsubscribeLinksReachEachRecipient)
{
    Smtpd smtpd;
    add({"ann@example.org,Ann", "bo+news@example.org,Bo"});
    RunSelection s = selection(smtpd.port());
    s.UnsubscribeLinks = {"mailto:leave@example.com?subject=[= EMAIL =]",
                          "https://lists.example.com/unsubscribe?who=[= EMAIL =]&name=[= PARAM1 =]&list=monthly-letter-2026"};
    run->StartRun(s);
    ASSERT_TRUE(waitForEnd());
    const QList<QByteArray> received = smtpd.messages(2);
    ASSERT_EQ(received.size(), 2);
    EXPECT_EQ(parsedHeaders(received[0], {"List-Unsubscribe", "List-Unsubscribe-Post"}),
              (QStringList{"List-Unsubscribe: <mailto:leave@example.com?subject=ann%40example.org>, "
                           "<https://lists.example.com/unsubscribe?who=ann%40example.org&name=Ann&list=monthly-letter-2026>",
                           "List-Unsubscribe-Post: List-Unsubscribe=One-Click"}));
    EXPECT_EQ(parsedHeaders(received[1], {"List-Unsubscribe"}),
              (QStringList{"List-Unsubscribe: <mailto:leave@example.com?subject=bo%2Bnews%40example.org>, "
                           "<https://lists.example.com/unsubscribe?who=bo%2Bnews%40example.org&name=Bo&list=monthly-letter-2026>"}));
}

// A suppressed address is never mailed, whichever the refusal choice: the run moves it to the
// failed list with the reason "suppressed" and goes on. Letter case does not matter.
TEST_F(RunTest, SuppressedAddressesNeverReachTheServer)
{
    ASSERT_TRUE(store->suppression().add({"Left@Example.ORG"}, "unsubscribed"));
    EXPECT_TRUE(store->suppression().reasonFor("Left@example.org,Lee").has_value());
    EXPECT_TRUE(store->suppression().reasonFor("left@example.org").has_value());
    for (const RefusalChoice choice : {RefusalChoice::Stop, RefusalChoice::Skip}) {
        SCOPED_TRACE(choice == RefusalChoice::Stop ? "stop" : "skip");
        Smtpd smtpd;
        add({"a@example.org", "Left@example.org,Lee", "c@example.org"});
        run->setRefusalChoice(choice);
        lines.clear();
        finishedCount = 0;
        run->StartRun(selection(smtpd.port()));
        ASSERT_TRUE(waitForEnd());
        EXPECT_EQ(outcome, RunOutcome::Completed);
        EXPECT_TRUE(lines.contains("Sending skipped: Left@example.org,Lee--suppressed")) << lines.join(" | ").toStdString();
        const QList<QByteArray> received = smtpd.messages(2);
        ASSERT_EQ(received.size(), 2);
        EXPECT_EQ(smtpd.messages(3, 300).size(), 2);
        EXPECT_TRUE(smtpd.envelope(0).contains("a@example.org"));
        EXPECT_TRUE(smtpd.envelope(1).contains("c@example.org"));
        EXPECT_EQ(list->count(), 0);
        const QList<SendLogStore::FailedRow> failed = store->failedRows();
        ASSERT_EQ(failed.size(), 1);
        EXPECT_EQ(failed[0].entry, "Left@example.org,Lee");
        EXPECT_EQ(failed[0].reason, "suppressed");
        ASSERT_TRUE(store->retryFailed());
        list->reload(true);
        list->removeRowsAt({0});
        run->countListChange();
    }
    bool found = false;
    ASSERT_TRUE(store->suppression().remove("left@example.org", &found));
    EXPECT_TRUE(found);
    EXPECT_TRUE(store->suppression().rows().isEmpty());
}

// An HTML content arrives as multipart/alternative, its text part generated from the HTML, as
// Python's e-mail parser reads it from what the server received; a plain content stays one part.
TEST_F(RunTest, HtmlArrivesWithATextAlternative)
{
    Smtpd smtpd;
    body = {"<html><body><p>Dear [= PARAM1 =],</p>", "<p>see <a href=\"https://example.com/x\">the news</a>.</p></body></html>"};
    add({"ann@example.org,Ann"});
    run->StartRun(selection(smtpd.port()));
    ASSERT_TRUE(waitForEnd());
    QList<QByteArray> received = smtpd.messages(1);
    ASSERT_EQ(received.size(), 1);
    EXPECT_EQ(pythonOnMessage(received[0], "import sys, email, email.policy\n"
                                           "m = email.message_from_binary_file(open(sys.argv[1], 'rb'), policy=email.policy.strict)\n"
                                           "print(m.get_content_type())\n"
                                           "for p in m.iter_parts():\n"
                                           "    print(p.get_content_type() + ' ' + repr(p.get_content()))\n")
                  .split('\n'),
              (QStringList{"multipart/alternative", "text/plain 'Dear Ann,\\n\\nsee the news (https://example.com/x).'",
                           "text/html '<html><body><p>Dear Ann,</p>\\n<p>see <a href=\"https://example.com/x\">the news</a>.</p></body></html>'",
                           ""}));

    body = {"Dear [= PARAM1 =],", "plain words."};
    add({"bo@example.org,Bo"});
    finishedCount = 0;
    run->StartRun(selection(smtpd.port()));
    ASSERT_TRUE(waitForEnd());
    received = smtpd.messages(2);
    ASSERT_EQ(received.size(), 2);
    EXPECT_TRUE(received[1].contains("\r\nContent-Type: text/plain; charset=\"ISO-8859-1\"\r\n"));
    EXPECT_TRUE(received[1].endsWith("\r\n\r\nDear Bo,\r\nplain words.\r\n"));
    EXPECT_FALSE(received[1].contains("multipart"));
}

// Once a message's data is out, its reply is what tells whether it was delivered: Stop cuts every
// other wait at once, but waits for that reply (a server that answers in 1.5 s once lost it: the
// message arrived, and the next run sent it again).
TEST_F(RunTest, StopWaitsForTheReplyToDataAlreadyWritten)
{
    ScriptedServer server;
    server.send("220 test ESMTP\r\n").expect("EHLO tester").send("250 test\r\n").expect("RSET").send("250 ok\r\n")
        .expect("MAIL FROM:<me@example.com>").send("250 ok\r\n").expect("RCPT TO:<a@example.org>").send("250 ok\r\n")
        .expect("DATA").send("354 go\r\n").readData().mark().pause(1500).send("250 queued\r\n").expect("QUIT");
    server.start();
    add({"a@example.org", "b@example.org"});
    run->StartRun(selection(server.port()));
    ASSERT_TRUE(waitUntil([&] { return server.marked(); }, 5000));
    QThread::msleep(100); // the whole message is out: the session waits for its reply
    run->StopRun();
    EXPECT_EQ(lines.last(), "Stopping: waiting for the server's reply to the messages on their way");
    ASSERT_TRUE(waitForEnd());
    EXPECT_TRUE(server.finish());
    EXPECT_TRUE(server.problems().isEmpty()) << server.problems().join("; ").toStdString();
    EXPECT_TRUE(lines.contains("Sending is ok: a@example.org")) << lines.join(" | ").toStdString();
    EXPECT_EQ(list->entries(), QStringList{"b@example.org"});
    EXPECT_EQ(logRows(), 1);
}
