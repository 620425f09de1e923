#include "core/run/pendinglist.h"
#include "core/run/sendingrun.h"
#include "core/text/codepage.h"
#include "core/sendlog/claims.h"
#include "support/scriptedserver.h"
#include "support/sink.h"
#include "support/testrun.h"
#include "support/teststore.h"
#include "support/wait.h"

#include <QRegularExpression>
#include <QElapsedTimer>
#include <QScopeGuard>
#include <QSet>
#include <atomic>
#include <gtest/gtest.h>

// Runs over a shared PostgreSQL store: each claims entries as it goes, so that several drain one
// list together and the entries of a run that died go to the others.
namespace {

// One run with a connection to the store of its own, as another process would have.
struct Runner
{
    explicit Runner(const StoreLocation& at)
        : store(at)
        , list(&store)
        , run(list)
    {
        run.setBodyProvider([] { return QStringList{"Hello"}; });
        record.follow(run, 0);
    }
    void start(int port, int inFlight)
    {
        RunSelection s = LocalSelection(port);
        s.Speed.inFlight = inFlight;
        run.StartRun(s);
    }
    bool done() const { return record.finishedCount > 0 && !run.running(); }
    int delivered() const { return int(record.lines.filter("Sending is ok: ").size()); }

    SendLogStore store;
    PendingList list;
    SendingRun run;
    RunRecord record;
    QStringList& lines = record.lines;
    RunOutcome& outcome = record.outcome;
};

class SharedRunTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CodePage::setName("CP1252");
        ASSERT_TRUE(shared.problem().isEmpty()) << shared.problem().toStdString();
    }
    QStringList fill(int count)
    {
        QStringList entries;
        for (int i = 0; i < count; ++i)
            entries << QStringLiteral("r%1@example.org").arg(i);
        SendLogStore filler(shared.location());
        EXPECT_TRUE(filler.appendPending(entries, nullptr)) << filler.lastError().toStdString();
        return entries;
    }
    QStringList logged()
    {
        SendLogStore reader(shared.location());
        return DeliveredAddresses(reader);
    }

    TestStore shared{StoreLocation::Kind::PostgreSQL};
};

TEST_F(SharedRunTest, TwoRunsDrainOneListTogetherEachEntryOnce)
{
    Sink sink;
    ASSERT_GT(sink.port(), 0);
    const QStringList entries = fill(600);
    Runner first(shared.location());
    Runner second(shared.location());
    ASSERT_EQ(first.list.count(), 600);
    first.start(sink.port(), 8);
    second.start(sink.port(), 8);
    ASSERT_TRUE(waitUntil([&] { return first.done() && second.done(); }, 60000));
    EXPECT_EQ(first.outcome, RunOutcome::Completed);
    EXPECT_EQ(second.outcome, RunOutcome::Completed);
    EXPECT_EQ(first.delivered() + second.delivered(), 600);
    EXPECT_GT(first.delivered(), 0);
    EXPECT_GT(second.delivered(), 0);

    QStringList sent = logged();
    EXPECT_EQ(sent.size(), 600);
    EXPECT_EQ(QSet<QString>(sent.begin(), sent.end()), QSet<QString>(entries.begin(), entries.end()));
    SendLogStore after(shared.location());
    EXPECT_TRUE(after.pendingRows().isEmpty());
    EXPECT_EQ(after.claims()->heldByOthers(), 0);
    QStringList received;
    for (const QByteArray& m : sink.messages(600))
        received.append(RecipientOf(m));
    EXPECT_EQ(received.size(), 600);
    EXPECT_EQ(QSet<QString>(received.begin(), received.end()).size(), 600);
}

TEST_F(SharedRunTest, EntriesOfARunThatStoppedGoToAnotherWhenItsLeaseEnds)
{
    Sink sink;
    ASSERT_GT(sink.port(), 0);
    const QStringList entries = fill(20);
    // A run that claimed five entries and then went silent (its process hung or was killed).
    SendLogStore silent(shared.location());
    silent.claims()->setLeaseSeconds(Claims::kShortestLease);
    ASSERT_TRUE(silent.lockRun());
    ASSERT_EQ(silent.claimPending(5).size(), 5);

    Runner runner(shared.location());
    QElapsedTimer timer;
    timer.start();
    runner.start(sink.port(), 4);
    ASSERT_TRUE(waitUntil([&] { return runner.done(); }, 30000));
    EXPECT_EQ(runner.outcome, RunOutcome::Completed);
    EXPECT_EQ(runner.lines.filter("Waiting for 5 entries that other runs are sending").size(), 1);
    EXPECT_GE(timer.elapsed(), (Claims::kShortestLease - 1) * 1000); // not before the lease ended
    EXPECT_EQ(runner.delivered(), 20);
    const QStringList sent = logged();
    EXPECT_EQ(QSet<QString>(sent.begin(), sent.end()), QSet<QString>(entries.begin(), entries.end()));
    EXPECT_EQ(sent.size(), 20);
    // The silent run learns that its claims are gone.
    QSet<qint64> held{-1};
    ASSERT_TRUE(silent.claims()->renew(&held));
    EXPECT_TRUE(held.isEmpty());
}

// The list of a run on a shared store shows its claimed entries first, in order, and takes each
// out from there as it is delivered; read again, it is in the store's order.
TEST_F(SharedRunTest, ClaimedEntriesComeFirstAndLeaveFromThere)
{
    const QStringList entries = fill(10);
    SendLogStore other(shared.location());
    ASSERT_TRUE(other.lockRun());
    ASSERT_EQ(other.claimPending(4).size(), 4);

    SendLogStore store(shared.location());
    PendingList list(&store);
    ASSERT_EQ(list.entries(), entries);
    list.lockForRun();
    const int first = list.nextRowToSend();
    ASSERT_EQ(first, 0);
    EXPECT_EQ(list.entries(), entries.mid(4) + entries.mid(0, 4));
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(list.rowOf(list.idAt(i)), i) << i;
    const qint64 third = list.idAt(2);
    list.reserveDelivery(third);
    list.recordDelivered(third);
    EXPECT_EQ(list.entries(), QStringList({entries[4], entries[5], entries[7], entries[8], entries[9]}) + entries.mid(0, 4));
    EXPECT_EQ(list.rowOf(list.idAt(4)), 4);
    EXPECT_EQ(list.rowOf(list.idAt(5)), 5);
    EXPECT_EQ(list.nextRowToSend(), 0);
    list.unlockRun();
    list.reload(true);
    EXPECT_EQ(list.entries(), entries.mid(0, 6) + entries.mid(7));
}

} // namespace

namespace {

// A run held up past the safe part of its lease (the process stopped, the machine asleep) while a
// message waited to go out: another run took its claims meanwhile. That message never goes out
// from the run that woke (each stop once gave some thirty such second copies).
TEST_F(SharedRunTest, ARunHeldUpPastItsLeaseSendsNothingItLost)
{
    std::atomic<qint64> asleep{0};
    QElapsedTimer clock;
    clock.start();
    Claims::setClock([&] { return clock.elapsed() + asleep.load(); });
    const auto restore = qScopeGuard([] { Claims::setClock({}); });
    fill(10);
    ScriptedServer server;
    server.send("220 test ESMTP\r\n").expect("EHLO tester").send("250-test\r\n250-PIPELINING\r\n250 CHUNKING\r\n")
        .expect("RSET").readLine().readLine().readChunk().mark().pause(1500).send("250 ok\r\n250 ok\r\n250 ok\r\n250 ok\r\n")
        .drain();
    server.start();
    Runner runner(shared.location());
    runner.start(server.port(), 1); // one message on its way, the next one waiting ready
    ASSERT_TRUE(waitUntil([&] { return server.marked(); }, 10000));
    asleep = 3600 * 1000;
    EXPECT_EQ(shared.exec("UPDATE pending SET claimed_by = 'another run', lease_until = now() + interval '1 hour'"), "");
    ASSERT_TRUE(waitUntil([&] { return !runner.lines.filter("held up past the safe part").isEmpty(); }, 10000))
        << runner.lines.join(" | ").toStdString();
    runner.run.StopRun();
    ASSERT_TRUE(waitUntil([&] { return runner.done(); }, 10000));
    EXPECT_TRUE(server.finish());
    EXPECT_EQ(server.received().count("RCPT TO:"), 1) << server.received().toStdString();
    EXPECT_EQ(logged(), QStringList{"r0@example.org"});
}

} // namespace
