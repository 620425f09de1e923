// The store's behaviour, the same cases against the SQLite file and against PostgreSQL.
#include "core/sendlog/sendlogstore.h"
#include "core/sendlog/historyexport.h"
#include "core/sendlog/storelocation.h"
#include "core/error.h"
#include "support/teststore.h"

#include <QDate>
#include <QDir>
#include <QSet>
#include <QTemporaryDir>
#include "core/run/pendinglist.h"
#include <gtest/gtest.h>
#include <unistd.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <mutex>
#include <thread>

namespace {

using Kind = StoreLocation::Kind;
} // namespace

// Names the kind in the test's name as CTest lists it.
void PrintTo(StoreLocation::Kind kind, std::ostream* out)
{
    *out << StoreKindName(kind);
}

namespace {

QStringList column(QSqlQuery q, int index)
{
    QStringList values;
    while (q.next())
        values.append(q.value(index).toString());
    return values;
}

QStringList entries(const QList<PendingRow>& rows)
{
    QStringList out;
    for (const PendingRow& r : rows)
        out.append(r.entry);
    return out;
}

class StoreTest : public ::testing::TestWithParam<Kind>
{
protected:
    void SetUp() override
    {
        test = std::make_unique<TestStore>(GetParam());
        ASSERT_TRUE(test->problem().isEmpty()) << test->problem().toStdString();
        ASSERT_NO_THROW(store = test->open());
    }
    QList<qint64> append(const QStringList& list, SendLogStore* into = nullptr)
    {
        QList<qint64> ids;
        EXPECT_TRUE((into ? into : store.get())->appendPending(list, &ids));
        return ids;
    }

    std::unique_ptr<TestStore> test;
    std::unique_ptr<SendLogStore> store;
};

TEST_P(StoreTest, PendingListKeepsOrderAndTextAndOutlivesTheConnection)
{
    QStringList list;
    for (int i = 0; i < 130; ++i) // two full statements of rows and a few single ones
        list.append(QStringLiteral("user%1@example.org,value %1").arg(i));
    list.append(QStringLiteral("quote'\"@example.org,it's \"quoted\""));
    list.append(QStringLiteral("lines@example.org,a\r\nb\tc \\ d"));
    list.append(QStringLiteral("ünï@例え.jp,日本語"));
    const QList<qint64> ids = append(list);
    ASSERT_EQ(ids.size(), list.size());
    EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
    EXPECT_EQ(QSet<qint64>(ids.begin(), ids.end()).size(), ids.size());

    auto other = test->open();
    bool ok = false;
    const QList<PendingRow> rows = other->pendingRows(&ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(entries(rows), list);
    EXPECT_EQ(rows.first().id, ids.first());
    EXPECT_EQ(rows.last().id, ids.last());

    ASSERT_TRUE(other->removePending({ids[0], ids[131]}));
    list.removeAt(131);
    list.removeAt(0);
    EXPECT_EQ(entries(store->pendingRows()), list);
}

TEST_P(StoreTest, DeliveryLeavesThePendingListForTheLogEverywhereOnceApplied)
{
    const QList<qint64> ids = append({"a@x.org,1", "b@x.org,2", "c@x.org,3"});
    auto other = test->open();
    ASSERT_TRUE(store->lockRun()) << store->lastError().toStdString();
    ASSERT_TRUE(store->journal().reserve("a@x.org,1"));
    ASSERT_TRUE(store->journal().record(ids[0], "a@x.org,1"));
    // Journalled: sent for this process at once, for the others once applied.
    EXPECT_TRUE(store->hasBeenSent("a@x.org,1"));
    EXPECT_FALSE(other->hasBeenSent("a@x.org,1"));
    EXPECT_EQ(entries(store->pendingRows()), (QStringList{"b@x.org,2", "c@x.org,3"}));
    ASSERT_TRUE(store->journal().flush()) << store->lastError().toStdString();
    EXPECT_TRUE(other->hasBeenSent("a@x.org,1"));
    EXPECT_FALSE(other->hasBeenSent("b@x.org,2"));
    EXPECT_EQ(other->sentAmong({"a@x.org,1", "b@x.org,2", "a@x.org,1"}), QSet<QString>{"a@x.org,1"});
    EXPECT_EQ(entries(other->pendingRows()), (QStringList{"b@x.org,2", "c@x.org,3"}));

    const QList<SendLogStore::LogRow> today = other->logRows(DayPattern(QDate::currentDate()));
    ASSERT_EQ(today.size(), 1);
    EXPECT_EQ(today[0].address, "a@x.org,1");
    EXPECT_TRUE(today[0].delivered);
    EXPECT_EQ(today[0].sentAt.size(), 19);
    store->unlockRun();
}

TEST_P(StoreTest, RefusalGoesToTheFailedListWithItsReplyAndComesBackOnRetry)
{
    const QList<qint64> ids = append({"gone@x.org", "later@x.org", "next@x.org"});
    ASSERT_TRUE(store->recordRefusal(ids[0], "gone@x.org", 550, "5.1.1 no such user", false));
    ASSERT_TRUE(store->recordRefusal(ids[1], "later@x.org", 451, "try again", true));
    auto other = test->open();
    EXPECT_EQ(entries(other->pendingRows()), (QStringList{"later@x.org", "next@x.org"}));
    const QList<SendLogStore::FailedRow> failed = other->failedRows();
    ASSERT_EQ(failed.size(), 1);
    EXPECT_EQ(failed[0].entry, "gone@x.org");
    EXPECT_EQ(failed[0].code, 550);
    EXPECT_EQ(failed[0].reason, "5.1.1 no such user");
    EXPECT_FALSE(other->hasBeenSent("gone@x.org"));

    QStringList seen;
    for (const SendLogStore::LogRow& row : other->logRows("%")) {
        EXPECT_FALSE(row.delivered);
        seen.append(QStringLiteral("%1 %2 %3").arg(row.address, QString::number(row.code.value_or(0)), row.reason));
    }
    EXPECT_EQ(seen, (QStringList{"gone@x.org 550 5.1.1 no such user", "later@x.org 451 try again"}));

    // Failed again under other spellings: one entry for an address comes back, none for an
    // address that is pending, or was mailed since.
    const QList<qint64> more = append({"Gone <GONE@x.org>", "x <later@X.org>", "sent@x.org", "Sent Too <sent@x.org>,1"});
    ASSERT_TRUE(store->recordRefusal(more[0], "Gone <GONE@x.org>", 550, "no", false));
    ASSERT_TRUE(store->recordRefusal(more[1], "x <later@X.org>", 550, "no", false));
    ASSERT_TRUE(store->recordRefusal(more[3], "Sent Too <sent@x.org>,1", 550, "no", false));
    store->lockRun();
    PendingList list(store.get());
    list.lockForRun();
    list.reserveDelivery(more[2]);
    list.recordDelivered(more[2]);
    list.unlockRun();
    ASSERT_TRUE(other->retryFailed());
    EXPECT_TRUE(store->failedRows().isEmpty());
    EXPECT_EQ(entries(store->pendingRows()), (QStringList{"later@x.org", "next@x.org", "gone@x.org"}));
}

TEST_P(StoreTest, SuppressionListIsSharedAndIgnoresCase)
{
    int added = -1;
    ASSERT_TRUE(store->suppression().add({"Ann@Example.COM", "bob@x.org,with,values", "  "}, "asked", &added));
    EXPECT_EQ(added, 2);
    ASSERT_TRUE(store->suppression().add({"Ann@example.com", "carl@x.org"}, "bounced", &added));
    EXPECT_EQ(added, 1); // Ann is there already, with her first reason
    auto other = test->open();
    EXPECT_EQ(other->suppression().reasonFor("Ann@EXAMPLE.com,1,2").value_or("-"), "asked");
    EXPECT_EQ(other->suppression().reasonFor("Ann Lee <ann@example.com>").value_or("-"), "asked"); // one key for an address
    const QHash<QString, QString> among = other->suppression().among({"bob@X.ORG,9", "dan@x.org", "carl@x.org"});
    EXPECT_EQ(among.value("bob@X.ORG,9"), "asked");
    EXPECT_EQ(among.value("carl@x.org"), "bounced");
    EXPECT_FALSE(among.contains("dan@x.org"));
    QStringList shown;
    for (const SuppressionList::Row& r : other->suppression().rows())
        shown.append(r.address + ' ' + r.reason);
    EXPECT_EQ(shown, (QStringList{"Ann@Example.COM asked", "bob@x.org asked", "carl@x.org bounced"}));
    bool found = false;
    ASSERT_TRUE(other->suppression().remove("bob@x.org", &found));
    EXPECT_TRUE(found);
    ASSERT_TRUE(other->suppression().remove("bob@x.org", &found));
    EXPECT_FALSE(found);
    EXPECT_FALSE(store->suppression().reasonFor("bob@x.org").has_value());
}

TEST_P(StoreTest, FieldNamesAndServerNotesAreSeenByEveryConnection)
{
    ASSERT_TRUE(store->saveFieldNames({"email", "first name", "city"}));
    ASSERT_TRUE(store->saveFieldNames({"email", "first_name"}));
    auto other = test->open();
    EXPECT_EQ(other->fieldNames(), (QStringList{"email", "first_name"}));

    const qint64 now = 1'800'000'000'000;
    ASSERT_TRUE(store->noteSentBy("Mail.Example.org", now - 5000));
    ASSERT_TRUE(other->noteSentBy("mail.example.org", now - 1000));
    ASSERT_TRUE(other->noteSentBy("other.example.org", now));
    qint64 earliest = 0;
    EXPECT_EQ(store->countSentBy("mail.example.org", now - 60000, &earliest), 2);
    EXPECT_EQ(earliest, now - 5000);
    EXPECT_EQ(other->countSentBy("MAIL.example.org", now - 2000), 1);
}

TEST_P(StoreTest, HistoryCountsEachDayAndAnswersDayPatterns)
{
    ASSERT_EQ(test->exec(LogRowStatement("a@x.org", true)), "");
    ASSERT_EQ(test->exec(LogRowStatement("b@x.org", true)), "");
    ASSERT_EQ(test->exec(LogRowStatement("c@x.org", false)), "");
    const QDate today = QDate::currentDate();
    auto other = test->open();
    const QList<SendLogStore::DayCount> days = other->countByDay(today.addDays(-2), today);
    ASSERT_EQ(days.size(), 3);
    EXPECT_EQ(days[0].delivered + days[0].failed + days[1].delivered + days[1].failed, 0);
    EXPECT_EQ(days[2].day, today);
    EXPECT_EQ(days[2].delivered, 2);
    EXPECT_EQ(days[2].failed, 1);
    EXPECT_EQ(LoggedAddresses(other->logRows(DayPattern(today))), (QStringList{"a@x.org", "b@x.org", "c@x.org"}));
    EXPECT_TRUE(LoggedAddresses(other->logRows(DayPattern(today.addDays(1)))).isEmpty());
    EXPECT_EQ(LoggedAddresses(other->logRows(today.toString("yyyy-MM-__ %"))).size(), 3);
}

TEST_P(StoreTest, ChangedByOthersSeesWritesOfAnotherConnection)
{
    append({"a@x.org"});
    EXPECT_TRUE(store->changedByOthers()); // the first time
    EXPECT_FALSE(store->changedByOthers());
    auto other = test->open();
    append({"b@x.org"}, other.get());
    EXPECT_TRUE(store->changedByOthers());
    EXPECT_FALSE(store->changedByOthers());
    ASSERT_TRUE(other->removePending({store->pendingRows().first().id}));
    EXPECT_TRUE(store->changedByOthers());
}

TEST_P(StoreTest, StoreOfALaterLayoutIsNotOpened)
{
    store.reset();
    ASSERT_EQ(test->exec("UPDATE store_version SET version = 99"), "");
    const QString refused = OpenFailure(test->location());
    EXPECT_NE(refused.indexOf("later release"), -1) << refused.toStdString();
    ASSERT_EQ(test->exec(QStringLiteral("UPDATE store_version SET version = %1").arg(StoreConnection::kSchemaVersion)), "");
    EXPECT_EQ(OpenFailure(test->location()), "");
}

// On SQLite one run holds the list; on a shared store runs claim disjoint parts of it.
TEST_P(StoreTest, RunsEitherExcludeOrShareWithoutTakingTheSameEntry)
{
    QStringList list;
    for (int i = 0; i < 25; ++i)
        list.append(QStringLiteral("r%1@x.org").arg(i));
    append(list);
    auto other = test->open();
    ASSERT_TRUE(store->lockRun());
    if (!store->claims()) {
        EXPECT_FALSE(other->lockRun());
        EXPECT_NE(other->lastError().indexOf("Another run"), -1);
        store.reset(); // a run that ends, however it ends, frees the list
        EXPECT_TRUE(other->lockRun()) << other->lastError().toStdString();
        return;
    }
    ASSERT_TRUE(other->lockRun());
    bool ok = false;
    const QList<PendingRow> first = store->claimPending(10, &ok);
    ASSERT_TRUE(ok) << store->lastError().toStdString();
    const QList<PendingRow> second = other->claimPending(100, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(entries(first), list.mid(0, 10));
    EXPECT_EQ(entries(second), list.mid(10));
    EXPECT_TRUE(store->claimPending(5).isEmpty());
    EXPECT_EQ(store->claims()->heldByOthers(), 15);

    QSet<qint64> held;
    ASSERT_TRUE(other->claims()->renew(&held));
    EXPECT_EQ(held.size(), 15);
    // A run that ends gives its claims back, all but the entries it delivered.
    ASSERT_TRUE(store->journal().record(first[0].id, first[0].entry));
    store->unlockRun();
    EXPECT_EQ(entries(other->claimPending(100)), list.mid(1, 9));
    EXPECT_TRUE(other->hasBeenSent(first[0].entry));
}

TEST_P(StoreTest, ClaimsOfARunThatStoppedRenewingGoToAnotherWhenTheLeaseEnds)
{
    append({"a@x.org", "b@x.org", "c@x.org"});
    auto other = test->open();
    if (!store->claims()) {
        // The lock of a run that died goes with its process; here, with its connection.
        ASSERT_TRUE(store->lockRun());
        store.reset();
        EXPECT_TRUE(other->lockRun());
        return;
    }
    store->claims()->setLeaseSeconds(60);
    ASSERT_EQ(store->claimPending(2).size(), 2);
    EXPECT_EQ(entries(other->claimPending(10)), QStringList{"c@x.org"});
    // The lease runs out (the run hung, or its machine went away).
    ASSERT_EQ(test->exec("UPDATE pending SET lease_until = now() - interval '1 second' WHERE entry <> 'c@x.org'"), "");
    EXPECT_EQ(store->claims()->heldByOthers(), 1);
    EXPECT_EQ(entries(other->claimPending(10)), (QStringList{"a@x.org", "b@x.org"}));
    QSet<qint64> held;
    ASSERT_TRUE(store->claims()->renew(&held));
    EXPECT_TRUE(held.isEmpty()); // the first run learns they are no longer its own
}

// Four runs at once, each through a connection of its own on a thread of its own.
TEST_P(StoreTest, FourRunsDeliverEveryEntryExactlyOnce)
{
    constexpr int kEntries = 2000;
    QStringList list;
    for (int i = 0; i < kEntries; ++i)
        list.append(QStringLiteral("m%1@x.org").arg(i));
    append(list);
    store.reset();
    std::mutex mutex;
    QStringList delivered;
    QList<int> perRun;
    QStringList errors;
    std::vector<std::thread> runs;
    for (int r = 0; r < 4; ++r)
        runs.emplace_back([&] {
            SendLogStore own(test->location());
            int mine = 0;
            QString error;
            if (own.lockRun()) {
                for (int round = 0; round < kEntries; ++round) {
                    bool ok = true;
                    const QList<PendingRow> rows = own.claims() ? own.claimPending(16, &ok) : own.pendingRows(&ok);
                    if (!ok)
                        error = own.lastError();
                    if (rows.isEmpty())
                        break;
                    for (const PendingRow& row : rows) {
                        if (!own.journal().record(row.id, row.entry))
                            error = own.lastError();
                        std::lock_guard lock(mutex);
                        delivered.append(row.entry);
                        ++mine;
                    }
                    if (!own.journal().flush())
                        error = own.lastError();
                }
                own.unlockRun();
            }
            std::lock_guard lock(mutex);
            perRun.append(mine);
            if (!error.isEmpty())
                errors.append(error);
        });
    for (std::thread& t : runs)
        t.join();
    EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
    EXPECT_EQ(delivered.size(), kEntries);
    EXPECT_EQ(QSet<QString>(delivered.begin(), delivered.end()).size(), kEntries);
    auto after = test->open();
    EXPECT_TRUE(after->pendingRows().isEmpty());
    const QStringList logged = LoggedAddresses(after->logRows("%"));
    EXPECT_EQ(logged.size(), kEntries);
    EXPECT_EQ(QSet<QString>(logged.begin(), logged.end()).size(), kEntries);
    const int working = int(std::count_if(perRun.begin(), perRun.end(), [](int n) { return n > 0; }));
    if (after->claims())
        EXPECT_GE(working, 2); // they drained it together
    else
        EXPECT_EQ(working, 1); // one held the list
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreTest, ::testing::Values(Kind::SQLite, Kind::PostgreSQL),
                         [](const auto& info) { return StoreKindName(info.param); });

TEST(StoreUrl, ReadsWhatLibpqReadsAndRefusesWhatItMustNotKeep)
{
    const StoreLocation full = ParseStoreUrl("postgresql://mailer@db.example.org:6543/campaigns?sslmode=require");
    EXPECT_TRUE(full.shared());
    EXPECT_EQ(full.user, "mailer");
    EXPECT_EQ(full.host, "db.example.org");
    EXPECT_EQ(full.port, 6543);
    EXPECT_EQ(full.database, "campaigns");
    EXPECT_EQ(full.options, "sslmode='require';connect_timeout='10'");
    EXPECT_EQ(full.shown(), "postgresql://mailer@db.example.org:6543/campaigns");
    const StoreLocation brief = ParseStoreUrl("postgres://localhost/list");
    EXPECT_EQ(brief.port, 5432);
    EXPECT_TRUE(brief.user.isEmpty());

    const auto refusal = [](const QString& url) {
        try {
            ParseStoreUrl(url);
        } catch (const BrevoraError& e) {
            EXPECT_EQ(e.kind(), ErrorKind::Usage);
            return e.message();
        }
        return QStringLiteral("accepted");
    };
    EXPECT_NE(refusal("postgresql://u:secret@h/db").indexOf("~/.pgpass"), -1);
    EXPECT_NE(refusal("postgresql://u@h:5432/").indexOf("no database"), -1);
    EXPECT_NE(refusal("mysql://u@h/db").indexOf("postgresql://"), -1);
    EXPECT_NE(refusal("postgresql://u@h/db?host=elsewhere").indexOf("host"), -1);
    EXPECT_NE(refusal("postgresql://u@h/db?sslmode=require%3Bhost%3Dx").indexOf("not allowed"), -1);
    // A TAB or line break inside an allowed value once passed host, port or options to libpq
    // while the URL shown stayed the same; a quoted value keeps spaces and quotes as text.
    for (const QString& hostile : {QStringLiteral("postgresql://u@h/db?application_name=x%09host%3Devil"),
                                   QStringLiteral("postgresql://u@h/db?application_name=x%0Aport%3D1"),
                                   QStringLiteral("postgresql://u@h/db?sslmode=require\thost=evil")})
        EXPECT_NE(refusal(hostile).indexOf("control character"), -1) << hostile.toStdString();
    EXPECT_EQ(ParseStoreUrl("postgresql://u@h/db?application_name=it's%20me%20host%3Devil&connect_timeout=3").options,
              "application_name='it\\'s me host=evil';connect_timeout='3'");
    // A password given in the URL is refused without being repeated.
    EXPECT_EQ(refusal("postgresql://u:s3cret@h/db").indexOf("s3cret"), -1);
    EXPECT_EQ(refusal("postgresql://u:s3cret@h/db?x=1").indexOf("s3cret"), -1);
}

// A server that takes the connection and never answers fails the store within the connect time
// limit (it once took minutes).
TEST(StoreUrl, SilentServerFailsWithinTheConnectTimeout)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof at;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&at), &length), 0);
    QTemporaryDir data;
    SetAppDir(data.path());
    const StoreLocation silent = ParseStoreUrl(QStringLiteral("postgresql://u@127.0.0.1:%1/db?connect_timeout=2").arg(ntohs(at.sin_port)));
    EXPECT_THROW(SendLogStore store(silent), BrevoraError);
    ::close(listener);
}

TEST(StoreUrl, OptionBeforeEnvironmentBeforeSettingBeforeTheFile)
{
    QTemporaryDir data;
    SetAppDir(data.path());
    qunsetenv("BREVORA_STORE");
    EXPECT_FALSE(ChosenStore().shared());
    EXPECT_EQ(ChosenStore().path, data.path() + "/db/sendlog.db");
    WriteStoreUrl("postgresql://a@setting/db");
    EXPECT_EQ(ChosenStore().host, "setting");
    qputenv("BREVORA_STORE", "postgresql://a@environment/db");
    EXPECT_EQ(ChosenStore().host, "environment");
    QStringList args{"send", "--store", "postgresql://a@option/db", "--list", "f"};
    ApplyStoreOption(args);
    EXPECT_EQ(args, (QStringList{"send", "--list", "f"}));
    EXPECT_EQ(ChosenStore().host, "option");
    QStringList missing{"send", "--store"};
    EXPECT_THROW(ApplyStoreOption(missing), BrevoraError);
    qunsetenv("BREVORA_STORE");
}

TEST(StoreUrl, PasswordComesFromThePasswordFileAsLibpqReadsIt)
{
    const QString url = ClusterUrl();
    ASSERT_FALSE(url.isEmpty()) << "no PostgreSQL cluster";
    const QByteArray password = qgetenv("PGPASSWORD");
    const StoreLocation at = ParseStoreUrl(url);
    QTemporaryDir home;
    const QByteArray oldHome = qgetenv("HOME");
    qunsetenv("PGPASSWORD");
    qputenv("HOME", home.path().toLocal8Bit());
    SetAppDir(home.path());
    const auto writePassFile = [&](const QByteArray& secret) {
        QFile file(home.path() + "/.pgpass");
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(at.host.toUtf8() + ':' + QByteArray::number(at.port) + ":*:" + at.user.toUtf8() + ':' + secret + '\n');
        file.close();
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    };
    writePassFile("wrong");
    const QString refused = OpenFailure(at);
    EXPECT_NE(refused.indexOf("password"), -1) << refused.toStdString();
    writePassFile(password);
    EXPECT_EQ(OpenFailure(at), "");
    qputenv("HOME", oldHome);
    qputenv("PGPASSWORD", password);
}

} // namespace
