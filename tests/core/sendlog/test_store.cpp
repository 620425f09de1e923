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
#include <gtest/gtest.h>
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

QStringList entries(const QList<TDM::PendingRow>& rows)
{
    QStringList out;
    for (const TDM::PendingRow& r : rows)
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
        store = test->open();
        ASSERT_TRUE(store->isOpen()) << store->lastError().toStdString();
    }
    QList<qint64> append(const QStringList& list, TDM* into = nullptr)
    {
        QList<qint64> ids;
        EXPECT_TRUE((into ? into : store.get())->AppendPending(list, &ids));
        return ids;
    }

    std::unique_ptr<TestStore> test;
    std::unique_ptr<TDM> store;
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
    const QList<TDM::PendingRow> rows = other->LoadPending(&ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(entries(rows), list);
    EXPECT_EQ(rows.first().id, ids.first());
    EXPECT_EQ(rows.last().id, ids.last());

    ASSERT_TRUE(other->RemovePending({ids[0], ids[131]}));
    list.removeAt(131);
    list.removeAt(0);
    EXPECT_EQ(entries(store->LoadPending()), list);
}

TEST_P(StoreTest, DeliveryLeavesThePendingListForTheLogEverywhereOnceApplied)
{
    const QList<qint64> ids = append({"a@x.org,1", "b@x.org,2", "c@x.org,3"});
    auto other = test->open();
    ASSERT_TRUE(store->LockRun()) << store->lastError().toStdString();
    ASSERT_TRUE(store->ReserveDelivery("a@x.org,1"));
    ASSERT_TRUE(store->RecordDelivery(ids[0], "a@x.org,1"));
    // Journalled: sent for this process at once, for the others once applied.
    EXPECT_TRUE(store->HasBeenSent("a@x.org,1"));
    EXPECT_FALSE(other->HasBeenSent("a@x.org,1"));
    EXPECT_EQ(entries(store->LoadPending()), (QStringList{"b@x.org,2", "c@x.org,3"}));
    ASSERT_TRUE(store->FlushDeliveries()) << store->lastError().toStdString();
    EXPECT_TRUE(other->HasBeenSent("a@x.org,1"));
    EXPECT_FALSE(other->HasBeenSent("b@x.org,2"));
    EXPECT_EQ(other->SentAmong({"a@x.org,1", "b@x.org,2", "a@x.org,1"}), QSet<QString>{"a@x.org,1"});
    EXPECT_EQ(entries(other->LoadPending()), (QStringList{"b@x.org,2", "c@x.org,3"}));

    QSqlQuery today = other->QueryByDate(DayPattern(QDate::currentDate()));
    ASSERT_TRUE(today.next());
    EXPECT_EQ(today.value(1).toString(), "a@x.org,1");
    EXPECT_TRUE(TDM::TypeIsTrue(today.value(2)));
    EXPECT_EQ(today.value(0).toString().size(), 19);
    EXPECT_FALSE(today.next());
    store->UnlockRun();
}

TEST_P(StoreTest, RefusalGoesToTheFailedListWithItsReplyAndComesBackOnRetry)
{
    const QList<qint64> ids = append({"gone@x.org", "later@x.org", "next@x.org"});
    ASSERT_TRUE(store->RecordRefusal(ids[0], "gone@x.org", 550, "5.1.1 no such user", false));
    ASSERT_TRUE(store->RecordRefusal(ids[1], "later@x.org", 451, "try again", true));
    auto other = test->open();
    EXPECT_EQ(entries(other->LoadPending()), (QStringList{"later@x.org", "next@x.org"}));
    const QList<TDM::FailedRow> failed = other->LoadFailed();
    ASSERT_EQ(failed.size(), 1);
    EXPECT_EQ(failed[0].entry, "gone@x.org");
    EXPECT_EQ(failed[0].code, 550);
    EXPECT_EQ(failed[0].reason, "5.1.1 no such user");
    EXPECT_FALSE(other->HasBeenSent("gone@x.org"));

    QSqlQuery log = other->QueryByDate("%");
    QStringList seen;
    while (log.next()) {
        EXPECT_FALSE(TDM::TypeIsTrue(log.value(2)));
        seen.append(QStringLiteral("%1 %2 %3").arg(log.value(1).toString(), log.value(3).toString(), log.value(4).toString()));
    }
    EXPECT_EQ(seen, (QStringList{"gone@x.org 550 5.1.1 no such user", "later@x.org 451 try again"}));

    ASSERT_TRUE(other->RetryFailed());
    EXPECT_TRUE(store->LoadFailed().isEmpty());
    EXPECT_EQ(entries(store->LoadPending()), (QStringList{"later@x.org", "next@x.org", "gone@x.org"}));
}

TEST_P(StoreTest, SuppressionListIsSharedAndIgnoresTheCaseOfTheDomain)
{
    int added = -1;
    ASSERT_TRUE(store->AddSuppressed({"Ann@Example.COM", "bob@x.org,with,values", "  "}, "asked", &added));
    EXPECT_EQ(added, 2);
    ASSERT_TRUE(store->AddSuppressed({"Ann@example.com", "carl@x.org"}, "bounced", &added));
    EXPECT_EQ(added, 1); // Ann is there already, with her first reason
    auto other = test->open();
    EXPECT_EQ(other->SuppressionOf("Ann@EXAMPLE.com,1,2").value_or("-"), "asked");
    EXPECT_FALSE(other->SuppressionOf("ann@example.com").has_value()); // the local part keeps its case
    const QHash<QString, QString> among = other->SuppressedAmong({"bob@X.ORG,9", "dan@x.org", "carl@x.org"});
    EXPECT_EQ(among.value("bob@X.ORG,9"), "asked");
    EXPECT_EQ(among.value("carl@x.org"), "bounced");
    EXPECT_FALSE(among.contains("dan@x.org"));
    QStringList shown;
    for (const TDM::SuppressedRow& r : other->LoadSuppressed())
        shown.append(r.address + ' ' + r.reason);
    EXPECT_EQ(shown, (QStringList{"Ann@Example.COM asked", "bob@x.org asked", "carl@x.org bounced"}));
    bool found = false;
    ASSERT_TRUE(other->RemoveSuppressed("bob@x.org", &found));
    EXPECT_TRUE(found);
    ASSERT_TRUE(other->RemoveSuppressed("bob@x.org", &found));
    EXPECT_FALSE(found);
    EXPECT_FALSE(store->SuppressionOf("bob@x.org").has_value());
}

TEST_P(StoreTest, FieldNamesAndServerNotesAreSeenByEveryConnection)
{
    ASSERT_TRUE(store->SaveFieldNames({"email", "first name", "city"}));
    ASSERT_TRUE(store->SaveFieldNames({"email", "first_name"}));
    auto other = test->open();
    EXPECT_EQ(other->LoadFieldNames(), (QStringList{"email", "first_name"}));

    const qint64 now = 1'800'000'000'000;
    ASSERT_TRUE(store->NoteSentBy("Mail.Example.org", now - 5000));
    ASSERT_TRUE(other->NoteSentBy("mail.example.org", now - 1000));
    ASSERT_TRUE(other->NoteSentBy("other.example.org", now));
    qint64 earliest = 0;
    EXPECT_EQ(store->CountSentBy("mail.example.org", now - 60000, &earliest), 2);
    EXPECT_EQ(earliest, now - 5000);
    EXPECT_EQ(other->CountSentBy("MAIL.example.org", now - 2000), 1);
}

TEST_P(StoreTest, HistoryCountsEachDayAndAnswersDayPatterns)
{
    ASSERT_TRUE(store->AddSendRecord("a@x.org", true));
    ASSERT_TRUE(store->AddSendRecord("b@x.org", true));
    ASSERT_TRUE(store->AddSendRecord("c@x.org", false));
    const QDate today = QDate::currentDate();
    auto other = test->open();
    const QList<TDM::DayCount> days = other->CountByDay(today.addDays(-2), today);
    ASSERT_EQ(days.size(), 3);
    EXPECT_EQ(days[0].delivered + days[0].failed + days[1].delivered + days[1].failed, 0);
    EXPECT_EQ(days[2].day, today);
    EXPECT_EQ(days[2].delivered, 2);
    EXPECT_EQ(days[2].failed, 1);
    EXPECT_EQ(column(other->QueryByDate(DayPattern(today)), 1), (QStringList{"a@x.org", "b@x.org", "c@x.org"}));
    EXPECT_TRUE(column(other->QueryByDate(DayPattern(today.addDays(1))), 1).isEmpty());
    EXPECT_EQ(column(other->QueryByDate(today.toString("yyyy-MM-__ %")), 1).size(), 3);
}

TEST_P(StoreTest, ChangedByOthersSeesWritesOfAnotherConnection)
{
    append({"a@x.org"});
    EXPECT_TRUE(store->ChangedByOthers()); // the first time
    EXPECT_FALSE(store->ChangedByOthers());
    auto other = test->open();
    append({"b@x.org"}, other.get());
    EXPECT_TRUE(store->ChangedByOthers());
    EXPECT_FALSE(store->ChangedByOthers());
    ASSERT_TRUE(other->RemovePending({store->LoadPending().first().id}));
    EXPECT_TRUE(store->ChangedByOthers());
}

TEST_P(StoreTest, StoreOfALaterLayoutIsNotOpened)
{
    store.reset();
    ASSERT_EQ(test->exec("UPDATE store_version SET version = 99"), "");
    auto later = test->open();
    EXPECT_FALSE(later->isOpen());
    EXPECT_NE(later->lastError().indexOf("later release"), -1) << later->lastError().toStdString();
    ASSERT_EQ(test->exec(QStringLiteral("UPDATE store_version SET version = %1").arg(TDM::kSchemaVersion)), "");
    EXPECT_TRUE(test->open()->isOpen());
}

// On SQLite one run holds the list; on a shared store runs claim disjoint parts of it.
TEST_P(StoreTest, RunsEitherExcludeOrShareWithoutTakingTheSameEntry)
{
    QStringList list;
    for (int i = 0; i < 25; ++i)
        list.append(QStringLiteral("r%1@x.org").arg(i));
    append(list);
    auto other = test->open();
    ASSERT_TRUE(store->LockRun());
    if (!store->SharesList()) {
        EXPECT_FALSE(other->LockRun());
        EXPECT_NE(other->lastError().indexOf("Another run"), -1);
        store.reset(); // a run that ends, however it ends, frees the list
        EXPECT_TRUE(other->LockRun()) << other->lastError().toStdString();
        return;
    }
    ASSERT_TRUE(other->LockRun());
    bool ok = false;
    const QList<TDM::PendingRow> first = store->ClaimPending(10, &ok);
    ASSERT_TRUE(ok) << store->lastError().toStdString();
    const QList<TDM::PendingRow> second = other->ClaimPending(100, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(entries(first), list.mid(0, 10));
    EXPECT_EQ(entries(second), list.mid(10));
    EXPECT_TRUE(store->ClaimPending(5).isEmpty());
    EXPECT_EQ(store->ClaimedByOthers(), 15);

    QSet<qint64> held;
    ASSERT_TRUE(other->RenewClaims(&held));
    EXPECT_EQ(held.size(), 15);
    // A run that ends gives its claims back, all but the entries it delivered.
    ASSERT_TRUE(store->RecordDelivery(first[0].id, first[0].entry));
    store->UnlockRun();
    EXPECT_EQ(entries(other->ClaimPending(100)), list.mid(1, 9));
    EXPECT_TRUE(other->HasBeenSent(first[0].entry));
}

TEST_P(StoreTest, ClaimsOfARunThatStoppedRenewingGoToAnotherWhenTheLeaseEnds)
{
    append({"a@x.org", "b@x.org", "c@x.org"});
    auto other = test->open();
    if (!store->SharesList()) {
        // The lock of a run that died goes with its process; here, with its connection.
        ASSERT_TRUE(store->LockRun());
        store.reset();
        EXPECT_TRUE(other->LockRun());
        return;
    }
    store->SetLeaseSeconds(60);
    ASSERT_EQ(store->ClaimPending(2).size(), 2);
    EXPECT_EQ(entries(other->ClaimPending(10)), QStringList{"c@x.org"});
    // The lease runs out (the run hung, or its machine went away).
    ASSERT_EQ(test->exec("UPDATE pending SET lease_until = now() - interval '1 second' WHERE entry <> 'c@x.org'"), "");
    EXPECT_EQ(store->ClaimedByOthers(), 1);
    EXPECT_EQ(entries(other->ClaimPending(10)), (QStringList{"a@x.org", "b@x.org"}));
    QSet<qint64> held;
    ASSERT_TRUE(store->RenewClaims(&held));
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
            TDM own(test->location());
            int mine = 0;
            QString error;
            if (own.LockRun()) {
                for (int round = 0; round < kEntries; ++round) {
                    bool ok = true;
                    const QList<TDM::PendingRow> rows = own.SharesList() ? own.ClaimPending(16, &ok) : own.LoadPending(&ok);
                    if (!ok)
                        error = own.lastError();
                    if (rows.isEmpty())
                        break;
                    for (const TDM::PendingRow& row : rows) {
                        if (!own.RecordDelivery(row.id, row.entry))
                            error = own.lastError();
                        std::lock_guard lock(mutex);
                        delivered.append(row.entry);
                        ++mine;
                    }
                    if (!own.FlushDeliveries())
                        error = own.lastError();
                }
                own.UnlockRun();
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
    EXPECT_TRUE(after->LoadPending().isEmpty());
    const QStringList logged = column(after->QueryByDate("%"), 1);
    EXPECT_EQ(logged.size(), kEntries);
    EXPECT_EQ(QSet<QString>(logged.begin(), logged.end()).size(), kEntries);
    const int working = int(std::count_if(perRun.begin(), perRun.end(), [](int n) { return n > 0; }));
    if (after->SharesList())
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
    EXPECT_EQ(full.options, "sslmode=require");
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
    {
        TDM refused(at);
        EXPECT_FALSE(refused.isOpen());
        EXPECT_NE(refused.lastError().indexOf("password"), -1) << refused.lastError().toStdString();
    }
    writePassFile(password);
    {
        TDM store(at);
        EXPECT_TRUE(store.isOpen()) << store.lastError().toStdString();
    }
    qputenv("HOME", oldHome);
    qputenv("PGPASSWORD", password);
}

} // namespace
