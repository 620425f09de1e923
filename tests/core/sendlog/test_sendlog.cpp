#include "core/sendlog/sendlogstore.h"
#include "core/sendlog/historyexport.h"
#include "core/settings/settingsfile.h"
#include "support/tempdir.h"

#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <gtest/gtest.h>

namespace {

void insertRow(const QString& dbPath, const QString& date, const QString& address, const QVariant& type)
{
    TDM store(dbPath);
    QSqlQuery q = store.QueryByDate("none%"); // keeps the connection busy-free
    Q_UNUSED(q);
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

QStringList column(QSqlQuery q, int index)
{
    QStringList values;
    while (q.next())
        values.append(q.value(index).toString());
    return values;
}

} // namespace

TEST(SendLog, CreatesItsFolderFileAndTable)
{
    ScopedWorkDir work;
    TDM store(work.file("db/sendlog.db"));
    ASSERT_TRUE(store.isOpen()) << store.lastError().toStdString();
    EXPECT_TRUE(QFile::exists(work.file("db/sendlog.db")));
    EXPECT_FALSE(store.HasBeenSent("a@b.com"));
    EXPECT_TRUE(store.AddSendRecord("a@b.com", true));
    EXPECT_TRUE(store.HasBeenSent("a@b.com"));
    QSqlQuery today = store.QueryByDate(DayPattern(QDate::currentDate()));
    ASSERT_TRUE(today.next());
    EXPECT_EQ(today.value(0).toString().size(), 19);
    EXPECT_EQ(today.value(1).toString(), "a@b.com");
    EXPECT_EQ(today.value(2).toInt(), 1);
}

TEST(SendLog, MatchesOnlyWholeSuccessfulEntriesExactly)
{
    QTemporaryDir dir;
    TDM store(dir.path() + "/log.db");
    const QStringList tricky{"o'brien@x.com", "100%@x.com", "back\\slash@x.com", "q\"uote@x.com", "a@x.com,Ann,Lee"};
    for (const QString& a : tricky)
        ASSERT_TRUE(store.AddSendRecord(a, true));
    store.AddSendRecord("failed@x.com", false);
    for (const QString& a : tricky)
        EXPECT_TRUE(store.HasBeenSent(a)) << a.toStdString();
    EXPECT_FALSE(store.HasBeenSent("failed@x.com"));
    EXPECT_FALSE(store.HasBeenSent("a@x.com"));       // only the whole entry matches
    EXPECT_FALSE(store.HasBeenSent("1000%@x.com"));   // no pattern matching
    EXPECT_FALSE(store.HasBeenSent("o''brien@x.com"));
}

TEST(SendLog, DayQueriesMatchByPrefix)
{
    QTemporaryDir dir;
    const QString path = dir.path() + "/log.db";
    insertRow(path, "2024-05-01 00:00:00", "first@x.com", true);
    insertRow(path, "2024-05-01 23:59:59", "second@x.com", false);
    insertRow(path, "2024-05-02 00:00:00", "other@x.com", true);
    insertRow(path, "2024-05-01 12:00:00", "first@x.com", true); // same entry twice stays twice
    TDM store(path);
    EXPECT_EQ(column(store.QueryByDate("2024-05-01%"), 1),
              (QStringList{"first@x.com", "second@x.com", "first@x.com"}));
    EXPECT_TRUE(column(store.QueryByDate("2024-05-03%"), 1).isEmpty());
    EXPECT_EQ(column(store.QueryByDate("2024-05-0_ 00%"), 1), (QStringList{"first@x.com", "other@x.com"}));
}

TEST(SendLog, PendingEntriesMoveToTheLogInOneStep)
{
    QTemporaryDir dir;
    const QString path = dir.path() + "/log.db";
    {
        TDM store(path);
        QList<qint64> ids;
        ASSERT_TRUE(store.AppendPending({"a@x.com", "b@x.com,P", "c@x.com"}, &ids));
        ASSERT_EQ(ids.size(), 3);
        ASSERT_TRUE(store.RecordDelivery(ids[0], "a@x.com"));
        ASSERT_TRUE(store.RemovePending({ids[2]}));
    }
    TDM reopened(path);
    const QList<TDM::PendingRow> rows = reopened.LoadPending();
    ASSERT_EQ(rows.size(), 1);
    EXPECT_EQ(rows[0].entry, "b@x.com,P");
    EXPECT_TRUE(reopened.HasBeenSent("a@x.com"));
    EXPECT_FALSE(reopened.HasBeenSent("c@x.com"));
}

TEST(SendLog, LargeBatchesMoveExactlyTheDeliveredEntries)
{
    QTemporaryDir dir;
    TDM store(dir.path() + "/log.db");
    QStringList entries;
    for (int i = 0; i < 300; ++i)
        entries.append(QStringLiteral("r%1@x.com,'quoted' \"%1\"").arg(i));
    QList<qint64> ids;
    ASSERT_TRUE(store.AppendPending(entries, &ids));
    // Every third entry stays pending; the others (200, several batches' worth of rows) are delivered.
    QStringList kept;
    for (int i = 0; i < 300; ++i) {
        if (i % 3 == 2)
            kept.append(entries[i]);
        else
            ASSERT_TRUE(store.RecordDelivery(ids[i], entries[i]));
    }
    ASSERT_TRUE(store.FlushDeliveries());
    QStringList pending;
    for (const TDM::PendingRow& row : store.LoadPending())
        pending.append(row.entry);
    EXPECT_EQ(pending, kept);
    const QStringList logged = column(store.QueryByDate("%"), 1);
    ASSERT_EQ(logged.size(), 200);
    EXPECT_EQ(logged.first(), entries[0]);
    EXPECT_EQ(logged.last(), entries[298]);
    EXPECT_TRUE(store.HasBeenSent(entries[151]));
    EXPECT_FALSE(store.HasBeenSent(entries[152]));
}

TEST(SendLog, FailuresAreQuiet)
{
    QTemporaryDir dir;
    writeAll(dir.path() + "/notadb", "this is not a database file at all, not even close");
    TDM broken(dir.path() + "/notadb");
    EXPECT_FALSE(broken.isOpen());
    EXPECT_FALSE(broken.HasBeenSent("a@b.com"));
    EXPECT_FALSE(broken.AddSendRecord("a@b.com", true));
    EXPECT_FALSE(broken.lastError().isEmpty());
    EXPECT_FALSE(broken.QueryByDate("2024%").isActive());
}

TEST(History, ExportWritesOneEntryPerLineReplacingTheFile)
{
    QTemporaryDir dir;
    const QString path = dir.path() + "/log.db";
    insertRow(path, "2024-05-01 10:00:00", "a@x.com,Ann", true);
    insertRow(path, "2024-05-01 11:00:00", "b@x.com", false);
    TDM store(path);
    const QString out = dir.path() + "/log.txt";
    writeAll(out, "old content that is longer than the export\r\n");
    ExportHistory(column(store.QueryByDate(DayPattern(QDate(2024, 5, 1))), 1), out);
    EXPECT_EQ(readAll(out), "a@x.com,Ann\r\nb@x.com\r\n");
    ExportHistory(column(store.QueryByDate(DayPattern(QDate(2024, 5, 2))), 1), out);
    EXPECT_EQ(readAll(out), "");
}

namespace {
int countRows(TDM& store, const QString& address)
{
    QSqlQuery q = store.QueryByDate("%");
    int n = 0;
    while (q.next())
        n += q.value(1).toString() == address ? 1 : 0;
    return n;
}
} // namespace

TEST(DeliveryJournal, LinesKeepEveryCharacter)
{
    const QString entry = QStringLiteral("a@x.com,tab\there,back\\slash,new\nline,cr\r,caf\u00e9");
    const QByteArray line = TDM::JournalLine(42, "2026-12-08 10:00:00", entry);
    EXPECT_EQ(line.count('\n'), 1);
    EXPECT_TRUE(line.endsWith('\n'));
    qint64 id = 0;
    QString timestamp, back;
    ASSERT_TRUE(TDM::ParseJournalLine(line.chopped(1), &id, &timestamp, &back));
    EXPECT_EQ(id, 42);
    EXPECT_EQ(timestamp, "2026-12-08 10:00:00");
    EXPECT_EQ(back, entry);
    EXPECT_FALSE(TDM::ParseJournalLine("garbage", &id, &timestamp, &back));
}

TEST(DeliveryJournal, AJournalLeftBehindIsAppliedOnceAtTheNextOpen)
{
    QTemporaryDir dir;
    const QString path = dir.path() + "/log.db";
    QList<qint64> ids;
    {
        TDM store(path);
        ASSERT_TRUE(store.AppendPending({"a@x.com", "b@x.com", "c@x.com"}, &ids));
    }
    // What a process killed after two deliveries and in the middle of a third line leaves.
    const QString journal = dir.path() + "/log.db-deliveries-1-2-3";
    writeAll(journal, TDM::JournalLine(ids[0], "2026-12-08 10:00:00", "a@x.com")
                          + TDM::JournalLine(ids[1], "2026-12-08 10:00:01", "b@x.com") + "3\t2026-12-08 10:0");
    {
        TDM store(path);
        EXPECT_FALSE(QFile::exists(journal));
        const QList<TDM::PendingRow> pending = store.LoadPending();
        ASSERT_EQ(pending.size(), 1);
        EXPECT_EQ(pending[0].entry, "c@x.com");
        EXPECT_EQ(countRows(store, "a@x.com"), 1);
        EXPECT_EQ(countRows(store, "b@x.com"), 1);
        QSqlQuery day = store.QueryByDate("2026-12-08%");
        ASSERT_TRUE(day.next());
        EXPECT_EQ(day.value(0).toString(), "2026-12-08 10:00:00"); // the time of the delivery
    }
    TDM again(path);
    EXPECT_EQ(countRows(again, "a@x.com"), 1);
}

TEST(DeliveryJournal, TheAppliedNoteKeepsLinesFromBeingAppliedTwice)
{
    QTemporaryDir dir;
    const QString path = dir.path() + "/log.db";
    const QString name = "log.db-deliveries-9-9-9";
    const QByteArray first = TDM::JournalLine(1, "2026-12-08 10:00:00", "a@x.com");
    {
        TDM store(path);
        // A crash after the batch with the first line was committed, before the file was emptied.
        store.AddSendRecord("a@x.com", true);
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
    writeAll(dir.path() + "/" + name, first + TDM::JournalLine(2, "2026-12-08 10:00:01", "b@x.com"));
    TDM store(path);
    EXPECT_EQ(countRows(store, "a@x.com"), 1);
    EXPECT_EQ(countRows(store, "b@x.com"), 1);
    EXPECT_FALSE(QFile::exists(dir.path() + "/" + name));
}

TEST(DeliveryJournal, ALiveJournalIsLeftToItsOwner)
{
    QTemporaryDir dir;
    const QString path = dir.path() + "/log.db";
    auto owner = std::make_unique<TDM>(path);
    QList<qint64> ids;
    ASSERT_TRUE(owner->AppendPending({"a@x.com", "b@x.com"}, &ids));
    ASSERT_TRUE(owner->RecordDelivery(ids[0], "a@x.com"));
    EXPECT_TRUE(owner->HasBeenSent("a@x.com")); // known before it reaches the table
    {
        TDM other(path);
        EXPECT_FALSE(other.HasBeenSent("a@x.com"));
        EXPECT_EQ(other.LoadPending().size(), 2);
    }
    EXPECT_EQ(countRows(*owner, "a@x.com"), 1); // a query applies what is journalled
    owner.reset();
    TDM after(path);
    EXPECT_EQ(countRows(after, "a@x.com"), 1);
    EXPECT_EQ(after.LoadPending().size(), 1);
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
    TDM store(path);
    QStringList all;
    QSet<QString> expected;
    for (qsizetype i = 0; i < types.size(); ++i) {
        const QString address = QStringLiteral("r%1@example.org").arg(i);
        EXPECT_EQ(store.HasBeenSent(address), types[i].second) << i;
        EXPECT_EQ(TDM::TypeIsTrue(types[i].first), types[i].second) << i;
        all << address;
        if (types[i].second)
            expected.insert(address);
    }
    // Asked all at once, the answers are the same: with the log read whole (a list as long as
    // the log) and asked in chunks (a list much shorter than the log).
    EXPECT_EQ(store.SentAmong(all + QStringList{"other@example.org"}), expected);
    EXPECT_EQ(store.SentAmong({"r0@example.org", "r6@example.org"}), QSet<QString>{"r0@example.org"});
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
        TDM old(work.file("db/sendlog.db"));
        ASSERT_TRUE(old.AddSendRecord("a@example.org", true));
    }
    writeAll(work.file("db/sendlog.db-deliveries-123-1-abc"), "");
    const QString line = AdoptWorkingDirectoryStore();
    EXPECT_TRUE(line.contains(work.path())) << line.toStdString();
    EXPECT_FALSE(QFile::exists(work.file("db/sendlog.db")));
    EXPECT_TRUE(QFile::exists(data.path() + "/db/sendlog.db-deliveries-123-1-abc"));
    {
        TDM moved(SendLogPath());
        EXPECT_TRUE(moved.HasBeenSent("a@example.org"));
    }
    // A second store under the working directory does not replace the data folder's.
    {
        TDM another(work.file("db/sendlog.db"));
    }
    EXPECT_TRUE(AdoptWorkingDirectoryStore().isEmpty());
    EXPECT_TRUE(QFile::exists(work.file("db/sendlog.db")));
    SetAppDir(oldAppDir);
}
