#include "core/sendlog/sendlogstore.h"
#include "core/sendlog/historyexport.h"
#include "core/settings/settingsfile.h"
#include "support/rawsql.h"
#include "support/tempdir.h"
#include "support/teststore.h"
#include "core/error.h"

#include <QSet>
#include <sys/stat.h>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <gtest/gtest.h>

namespace {

void insertRow(const QString& dbPath, const QString& date, const QString& address, const QVariant& type)
{
    SendLogStore store(dbPath);
    QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "raw-insert");
    {
        db.setDatabaseName(dbPath);
        db.open();
        QSqlQuery insert(db);
        insert.prepare("INSERT INTO sendlog VALUES (?, ?, ?)");
        insert.addBindValue(date);
        insert.addBindValue(address);
        insert.addBindValue(type.typeId() == QMetaType::Bool ? QVariant(type.toBool() ? 1 : 0) : type);
        insert.exec();
        db.close();
    }
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase("raw-insert");
}


} // namespace

TEST(SendLog, CreatesItsFolderFileAndTable)
{
    ScopedWorkDir work;
    SendLogStore store(work.file("db/sendlog.db"));
    EXPECT_TRUE(QFile::exists(work.file("db/sendlog.db")));
    EXPECT_FALSE(store.hasBeenSent("a@b.com"));
    EXPECT_EQ(execAsAnotherProgram(work.file("db/sendlog.db"), LogRowStatement("a@b.com", true)), "");
    EXPECT_TRUE(store.hasBeenSent("a@b.com"));
    const QList<SendLogStore::LogRow> today = store.logRows(DayPattern(QDate::currentDate()));
    ASSERT_EQ(today.size(), 1);
    EXPECT_EQ(today[0].sentAt.size(), 19);
    EXPECT_EQ(today[0].address, "a@b.com");
    EXPECT_TRUE(today[0].delivered);
}

// A delivery counts for every entry that goes to the same mailbox: values, display names, angle
// brackets and letter case aside; nothing else matches (no pattern, no failed row).
TEST(SendLog, MatchesDeliveredAddressesByOneKey)
{
    QTemporaryDir dir;
    SendLogStore store(dir.path() + "/log.db");
    const QStringList tricky{"o'brien@x.com", "100%@x.com", "back\\slash@x.com", "q\"uote@x.com", "a@x.com,Ann,Lee"};
    for (const QString& a : tricky)
        ASSERT_EQ(execAsAnotherProgram(dir.path() + "/log.db", LogRowStatement(a, true)), "");
    ASSERT_EQ(execAsAnotherProgram(dir.path() + "/log.db", LogRowStatement("failed@x.com", false)), "");
    for (const QString& a : tricky)
        EXPECT_TRUE(store.hasBeenSent(a)) << a.toStdString();
    for (const char* same : {"a@x.com", "A@X.COM,Annie", "Ann Lee <a@X.com>", "<a@x.com>,Ann", "a@x.com (Ann)", "O'Brien@X.com"})
        EXPECT_TRUE(store.hasBeenSent(same)) << same;
    for (const char* other : {"failed@x.com", "1000%@x.com", "o''brien@x.com", "b@x.com,a@x.com"})
        EXPECT_FALSE(store.hasBeenSent(other)) << other;
    EXPECT_EQ(store.sentAmong({"x@y.com", "ANN <A@x.com>", "a@x.com,Ann", "failed@x.com"}),
              (QSet<QString>{"ANN <A@x.com>", "a@x.com,Ann"}));
    // A row another program adds later is read as well.
    ASSERT_EQ(execAsAnotherProgram(dir.path() + "/log.db", LogRowStatement("late@x.com", true)), "");
    EXPECT_TRUE(store.hasBeenSent("Late@x.com"));
}

// A store of the layout before one key per address: its suppression keys are made the same as
// new ones when it is opened, two that now fall together keeping one row.
TEST(SendLog, EarlierSuppressionKeysAreReadByTheOneKey)
{
    QTemporaryDir dir;
    const QString path = dir.path() + "/log.db";
    { SendLogStore first(path); }
    for (const char* sql : {"UPDATE store_version SET version = 1",
                            "INSERT INTO suppressed VALUES ('Ann@example.com', 'Ann@Example.com', '', 'one'), "
                            "('ann@example.com', 'ann@example.com', '', 'two'), ('Bob@x.org', 'Bob@X.org', '', 'three')"})
        ASSERT_EQ(execAsAnotherProgram(path, sql), "");
    SendLogStore store(path);
    EXPECT_EQ(store.suppression().rows().size(), 2);
    EXPECT_TRUE(store.suppression().reasonFor("ANN@example.com").has_value());
    EXPECT_EQ(store.suppression().reasonFor("bob@x.org").value_or("-"), "three");
}

TEST(SendLog, DayQueriesMatchByPrefix)
{
    QTemporaryDir dir;
    const QString path = dir.path() + "/log.db";
    insertRow(path, "2024-05-01 00:00:00", "first@x.com", true);
    insertRow(path, "2024-05-01 23:59:59", "second@x.com", false);
    insertRow(path, "2024-05-02 00:00:00", "other@x.com", true);
    insertRow(path, "2024-05-01 12:00:00", "first@x.com", true); // same entry twice stays twice
    SendLogStore store(path);
    EXPECT_EQ(LoggedAddresses(store.logRows("2024-05-01%")),
              (QStringList{"first@x.com", "second@x.com", "first@x.com"}));
    EXPECT_TRUE(LoggedAddresses(store.logRows("2024-05-03%")).isEmpty());
    EXPECT_EQ(LoggedAddresses(store.logRows("2024-05-0_ 00%")), (QStringList{"first@x.com", "other@x.com"}));
}

TEST(SendLog, PendingEntriesMoveToTheLogInOneStep)
{
    QTemporaryDir dir;
    const QString path = dir.path() + "/log.db";
    {
        SendLogStore store(path);
        QList<qint64> ids;
        ASSERT_TRUE(store.appendPending({"a@x.com", "b@x.com,P", "c@x.com"}, &ids));
        ASSERT_EQ(ids.size(), 3);
        ASSERT_TRUE(store.journal().record(ids[0], "a@x.com"));
        ASSERT_TRUE(store.removePending({ids[2]}));
    }
    SendLogStore reopened(path);
    const QList<PendingRow> rows = reopened.pendingRows();
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows[0].entry, "b@x.com,P");
    EXPECT_TRUE(reopened.hasBeenSent("a@x.com"));
    EXPECT_FALSE(reopened.hasBeenSent("c@x.com"));
}

TEST(SendLog, LargeBatchesMoveExactlyTheDeliveredEntries)
{
    QTemporaryDir dir;
    SendLogStore store(dir.path() + "/log.db");
    QStringList entries;
    for (int i = 0; i < 300; ++i)
        entries.append(QStringLiteral("r%1@x.com,'quoted' \"%1\"").arg(i));
    QList<qint64> ids;
    ASSERT_TRUE(store.appendPending(entries, &ids));
    // Every third entry stays pending; the others (200, several batches' worth of rows) are delivered.
    QStringList kept;
    for (int i = 0; i < 300; ++i) {
        if (i % 3 == 2)
            kept.append(entries[i]);
        else
            ASSERT_TRUE(store.journal().record(ids[i], entries[i]));
    }
    ASSERT_TRUE(store.journal().flush());
    QStringList pending;
    for (const PendingRow& row : store.pendingRows())
        pending.append(row.entry);
    EXPECT_EQ(pending, kept);
    const QStringList logged = LoggedAddresses(store.logRows("%"));
    ASSERT_EQ(logged.size(), 200);
    EXPECT_EQ(logged.first(), entries[0]);
    EXPECT_EQ(logged.last(), entries[298]);
    EXPECT_TRUE(store.hasBeenSent(entries[151]));
    EXPECT_FALSE(store.hasBeenSent(entries[152]));
}

TEST(SendLog, FailuresAreQuiet)
{
    QTemporaryDir dir;
    writeAll(dir.path() + "/notadb", "this is not a database file at all, not even close");
    try {
        SendLogStore broken(dir.path() + "/notadb");
        ADD_FAILURE() << "a file that is not a database opened";
    } catch (const BrevoraError& e) {
        EXPECT_EQ(e.kind(), ErrorKind::Store);
        EXPECT_TRUE(e.message().startsWith("Cannot open the send log " + QDir::toNativeSeparators(dir.path() + "/notadb") + ": "))
            << e.message().toStdString();
    }
}

TEST(History, ExportWritesOneEntryPerLineReplacingTheFile)
{
    QTemporaryDir dir;
    const QString path = dir.path() + "/log.db";
    insertRow(path, "2024-05-01 10:00:00", "a@x.com,Ann", true);
    insertRow(path, "2024-05-01 11:00:00", "b@x.com", false);
    SendLogStore store(path);
    const QString out = dir.path() + "/log.txt";
    writeAll(out, "old content that is longer than the export\r\n");
    ExportHistory(LoggedAddresses(store.logRows(DayPattern(QDate(2024, 5, 1)))), out);
    EXPECT_EQ(readAll(out), "a@x.com,Ann\r\nb@x.com\r\n");
    ExportHistory(LoggedAddresses(store.logRows(DayPattern(QDate(2024, 5, 2)))), out);
    EXPECT_EQ(readAll(out), "");
}

namespace {
int countRows(SendLogStore& store, const QString& address)
{
    int n = 0;
    for (const SendLogStore::LogRow& row : store.logRows("%"))
        n += row.address == address ? 1 : 0;
    return n;
}
} // namespace

TEST(DeliveryJournal, LinesKeepEveryCharacter)
{
    const QString entry = QStringLiteral("a@x.com,tab\there,back\\slash,new\nline,cr\r,caf\u00e9");
    const QByteArray line = DeliveryJournal::line(42, "2026-12-08 10:00:00", entry);
    EXPECT_EQ(line.count('\n'), 1);
    EXPECT_TRUE(line.endsWith('\n'));
    qint64 id = 0;
    QString timestamp, back;
    ASSERT_TRUE(DeliveryJournal::parseLine(line.chopped(1), &id, &timestamp, &back));
    EXPECT_EQ(id, 42);
    EXPECT_EQ(timestamp, "2026-12-08 10:00:00");
    EXPECT_EQ(back, entry);
    EXPECT_FALSE(DeliveryJournal::parseLine("garbage", &id, &timestamp, &back));
}

TEST(DeliveryJournal, AJournalLeftBehindIsAppliedOnceAtTheNextOpen)
{
    QTemporaryDir dir;
    const QString path = dir.path() + "/log.db";
    QList<qint64> ids;
    {
        SendLogStore store(path);
        ASSERT_TRUE(store.appendPending({"a@x.com", "b@x.com", "c@x.com"}, &ids));
    }
    // What a process killed after two deliveries and in the middle of a third line leaves.
    const QString journal = dir.path() + "/log.db-deliveries-1-2-3";
    writeAll(journal, DeliveryJournal::line(ids[0], "2026-12-08 10:00:00", "a@x.com")
                          + DeliveryJournal::line(ids[1], "2026-12-08 10:00:01", "b@x.com") + "3\t2026-12-08 10:0");
    {
        SendLogStore store(path);
        EXPECT_FALSE(QFile::exists(journal));
        const QList<PendingRow> pending = store.pendingRows();
        ASSERT_EQ(pending.size(), 1);
        EXPECT_EQ(pending[0].entry, "c@x.com");
        EXPECT_EQ(countRows(store, "a@x.com"), 1);
        EXPECT_EQ(countRows(store, "b@x.com"), 1);
        const QList<SendLogStore::LogRow> day = store.logRows("2026-12-08%");
        ASSERT_FALSE(day.isEmpty());
        EXPECT_EQ(day[0].sentAt, "2026-12-08 10:00:00"); // the time of the delivery
    }
    SendLogStore again(path);
    EXPECT_EQ(countRows(again, "a@x.com"), 1);
}

TEST(DeliveryJournal, TheAppliedNoteKeepsLinesFromBeingAppliedTwice)
{
    QTemporaryDir dir;
    const QString path = dir.path() + "/log.db";
    const QString name = "log.db-deliveries-9-9-9";
    const QByteArray first = DeliveryJournal::line(1, "2026-12-08 10:00:00", "a@x.com");
    {
        SendLogStore store(path);
        // A crash after the batch with the first line was committed, before the file was emptied.
        ASSERT_EQ(execAsAnotherProgram(path, LogRowStatement("a@x.com", true)), "");
    }
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "note");
        db.setDatabaseName(path);
        ASSERT_TRUE(db.open());
        QSqlQuery q(db);
        ASSERT_TRUE(q.exec(QString("INSERT INTO journal_state VALUES ('%1', %2)").arg(name).arg(first.size())));
        db.close();
    }
    QSqlDatabase::removeDatabase("note");
    writeAll(dir.path() + "/" + name, first + DeliveryJournal::line(2, "2026-12-08 10:00:01", "b@x.com"));
    SendLogStore store(path);
    EXPECT_EQ(countRows(store, "a@x.com"), 1);
    EXPECT_EQ(countRows(store, "b@x.com"), 1);
    EXPECT_FALSE(QFile::exists(dir.path() + "/" + name));
}

TEST(DeliveryJournal, ALiveJournalIsLeftToItsOwner)
{
    QTemporaryDir dir;
    const QString path = dir.path() + "/log.db";
    auto owner = std::make_unique<SendLogStore>(path);
    QList<qint64> ids;
    ASSERT_TRUE(owner->appendPending({"a@x.com", "b@x.com"}, &ids));
    ASSERT_TRUE(owner->journal().record(ids[0], "a@x.com"));
    EXPECT_TRUE(owner->hasBeenSent("a@x.com")); // known before it reaches the table
    {
        SendLogStore other(path);
        EXPECT_FALSE(other.hasBeenSent("a@x.com"));
        EXPECT_EQ(other.pendingRows().size(), 2);
    }
    EXPECT_EQ(countRows(*owner, "a@x.com"), 1); // a query applies what is journalled
    owner.reset();
    SendLogStore after(path);
    EXPECT_EQ(countRows(after, "a@x.com"), 1);
    EXPECT_EQ(after.pendingRows().size(), 1);
    EXPECT_TRUE(QDir(dir.path()).entryList({"log.db-deliveries-*"}).isEmpty());
}

// Other programs store TYPE as text or as -1 for true; such an address was sent to all the same.
TEST(SendLog, TrueStoredAsTextOrMinusOneCountsAsSent)
{
    QTemporaryDir dir;
    const QString path = dir.path() + "/log.db";
    const QList<QPair<QVariant, bool>> types = {
        {QVariant("True"), true}, {QVariant("T"), true}, {QVariant("y"), true}, {QVariant(-1), true},
        {QVariant("-1"), true}, {QVariant(1), true}, {QVariant("False"), false}, {QVariant("F"), false},
        {QVariant(0), false}, {QVariant("N"), false}};
    for (qsizetype i = 0; i < types.size(); ++i)
        insertRow(path, "2024-05-01 10:00:00", QStringLiteral("r%1@example.org").arg(i), types[i].first);
    SendLogStore store(path);
    QStringList all;
    QSet<QString> expected;
    for (qsizetype i = 0; i < types.size(); ++i) {
        const QString address = QStringLiteral("r%1@example.org").arg(i);
        EXPECT_EQ(store.hasBeenSent(address), types[i].second) << i;
        EXPECT_EQ(SendLogStore::typeIsTrue(types[i].first), types[i].second) << i;
        all << address;
        if (types[i].second)
            expected.insert(address);
    }
    // Asked all at once, the answers are the same: with the log read whole (a list as long as
    // the log) and asked in chunks (a list much shorter than the log).
    EXPECT_EQ(store.sentAmong(all + QStringList{"other@example.org"}), expected);
    EXPECT_EQ(store.sentAmong({"r0@example.org", "r6@example.org"}), QSet<QString>{"r0@example.org"});
}

// The store follows the data folder, whatever the working directory; one left under the working
// directory by an earlier version is taken over once, journals included.
TEST(SendLog, StoreUnderTheWorkingDirectoryIsTakenOverOnce)
{
    ScopedWorkDir work;
    QTemporaryDir data;
    const QString oldAppDir = AppDir();
    SetAppDir(data.path());
    EXPECT_EQ(SendLogPath(), data.path() + "/db/sendlog.db");
    EXPECT_TRUE(AdoptWorkingDirectoryStore().isEmpty()); // nothing to take over
    {
        SendLogStore old(work.file("db/sendlog.db"));
        ASSERT_EQ(execAsAnotherProgram(work.file("db/sendlog.db"), LogRowStatement("a@example.org", true)), "");
    }
    writeAll(work.file("db/sendlog.db-deliveries-123-1-abc"), "");
    const QString line = AdoptWorkingDirectoryStore();
    EXPECT_TRUE(line.contains(work.path())) << line.toStdString();
    EXPECT_FALSE(QFile::exists(work.file("db/sendlog.db")));
    EXPECT_TRUE(QFile::exists(data.path() + "/db/sendlog.db-deliveries-123-1-abc"));
    {
        SendLogStore moved(SendLogPath());
        EXPECT_TRUE(moved.hasBeenSent("a@example.org"));
    }
    // A second store under the working directory does not replace the data folder's.
    {
        SendLogStore another(work.file("db/sendlog.db"));
    }
    EXPECT_TRUE(AdoptWorkingDirectoryStore().isEmpty());
    EXPECT_TRUE(QFile::exists(work.file("db/sendlog.db")));
    SetAppDir(oldAppDir);
}

// The store and its delivery journal hold who was mailed: the user's alone, whatever the umask.
TEST(SendLog, StoreFilesAreTheUsersOnly)
{
    const mode_t oldMask = ::umask(022);
    QTemporaryDir dir;
    const QString path = dir.path() + "/db/sendlog.db";
    {
        SendLogStore store(path);
        QList<qint64> ids;
        ASSERT_TRUE(store.appendPending({"a@x.com"}, &ids));
        ASSERT_TRUE(store.journal().reserve("a@x.com"));
        ASSERT_TRUE(store.journal().record(ids[0], "a@x.com"));
        const auto mode = [](const QString& file) { struct stat st{}; return ::stat(QFile::encodeName(file).constData(), &st) == 0 ? int(st.st_mode & 0777) : -1; };
        EXPECT_EQ(mode(dir.path() + "/db"), 0700);
        const QStringList files = QDir(dir.path() + "/db").entryList(QDir::Files);
        EXPECT_GE(files.size(), 3) << files.join(' ').toStdString(); // the database, its log, the journal
        for (const QString& f : files)
            EXPECT_EQ(mode(dir.path() + "/db/" + f), 0600) << f.toStdString();
    }
    ::umask(oldMask);
}
