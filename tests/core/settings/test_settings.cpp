#include "core/text/codepage.h"
#include "core/error.h"
#include "core/settings/inifile.h"
#include "core/settings/entries.h"
#include "core/settings/folderencoding.h"
#include "core/settings/settingsfile.h"
#include "support/tempdir.h"

#include <QFileInfo>
#include <sys/stat.h>
#include <QRegularExpression>
#include <gtest/gtest.h>

namespace {

class SettingsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CodePage::setName("CP1252");
        SetAppDir(m_dir.path());
    }
    QByteArray ini() const { return readAll(IniPath()); }
    QTemporaryDir m_dir;
};

QByteArray gbk(const char* utf8)
{
    return CodePage::encodeAs("GBK", QString::fromUtf8(utf8));
}

} // namespace

TEST_F(SettingsTest, FirstStartHasEmptyListsAndDefaults)
{
    EXPECT_TRUE(ListServers().isEmpty());
    EXPECT_TRUE(ListSenders().isEmpty());
    EXPECT_TRUE(ListContents().isEmpty());
    EXPECT_TRUE(ReadReturnReceipt());
    EXPECT_EQ(ReadBasicInteger(SettingsKeys::ServerPosition, 0), 0);
    QString account = "keep", ssl = "keep", port = "keep", password = "keep";
    LookupServer("nohost", account, ssl, port, password);
    EXPECT_EQ(account + ssl + port + password, "keepkeepkeepkeep");
    EXPECT_FALSE(QFile::exists(IniPath()));
}

TEST_F(SettingsTest, StoresEditsAndRemovesByteExactly)
{
    StoreServer(std::nullopt, {"smtp.a.com", "alice", "ab", "25", "0"});
    StoreServer(std::nullopt, {"smtp.b.com", "bob", "", "465", "1"});
    StoreSender(std::nullopt, {"me@a.com", "Me"});
    WriteReturnReceipt(false);
    // A key change moves the entry to the end; so does a change of letter case only.
    StoreServer(QString("smtp.a.com"), {"SMTP.A.com", "alice", "ab", "25", "0"});
    StoreSender(QString("me@a.com"), {"me@a.com", "Me Too"});
    RemoveServer("smtp.b.com");
    StoreServer(std::nullopt, {"smtp.c.com", "carol", "ab", "587", "0"});

    const QByteArray expected = "[" + gbk("发送邮件服务器") + "]\r\n"
                                "SMTP.A.com=alice,0,25,4251\r\n"
                                "smtp.c.com=carol,0,587,4251\r\n"
                                "[" + gbk("显示内容") + "]\r\n"
                                "me@a.com=Me Too\r\n"
                                "[" + gbk("基本") + "]\r\n"
                                + gbk("要求回执") + "=0\r\n";
    EXPECT_EQ(ini(), expected);
    EXPECT_EQ(ListServers(), (QStringList{"SMTP.A.com", "smtp.c.com"}));
    EXPECT_FALSE(ReadReturnReceipt());
}

TEST_F(SettingsTest, ReadsAHandWrittenWindowsFile)
{
    writeAll(IniPath(), "[" + gbk("基本") + "]\r\n" + gbk("邮件服务器") + "=1\r\n" + gbk("要求回执") + "=0x1\r\n"
                            "[" + gbk("发送邮件服务器") + "]\r\n"
                            "Mail.One.com = one,1,465,4251\r\n"
                            "mail.two.com=two,0,25,\r\n"
                            "[" + gbk("显示内容") + "]\r\n"
                            "x@y.com=Caf\xe9\r\n");
    EXPECT_EQ(ListServers(), (QStringList{"Mail.One.com", "mail.two.com"}));
    EXPECT_EQ(ReadBasicInteger(SettingsKeys::ServerPosition, 0), 1);
    EXPECT_TRUE(ReadReturnReceipt());
    QString account, ssl, port, password = "old";
    LookupServer("mail.one.com", account, ssl, port, password); // names match without regard to case
    EXPECT_EQ(account, "one");
    EXPECT_EQ(ssl, "1");
    EXPECT_EQ(port, "465");
    EXPECT_EQ(password, "ab");
    LookupServer("mail.two.com", account, ssl, port, password);
    EXPECT_EQ(password, ""); // an empty password leaves a trailing comma
    EXPECT_EQ(LookupSender("x@y.com"), QStringLiteral("Caf\u00e9"));
    // Writing keeps the file's line ends and everything else as it was.
    StoreSender(std::nullopt, {"z@y.com", ""});
    EXPECT_TRUE(ini().endsWith("x@y.com=Caf\xe9\r\nz@y.com=\r\n"));
    EXPECT_TRUE(ini().contains("Mail.One.com = one,1,465,4251\r\n"));
}

TEST_F(SettingsTest, ServerValuesWithThreeOrFiveFields)
{
    writeAll(IniPath(), "[" + gbk("发送邮件服务器") + "]\nthree=a,1,25\nfive=b,0,26,4251,extra\nbad=c,0,27,4Z\n");
    QString account = "x", ssl = "x", port = "x", password = "x";
    LookupServer("three", account, ssl, port, password);
    EXPECT_EQ(account + ssl + port + password, "xxxx");
    LookupServer("five", account, ssl, port, password);
    EXPECT_EQ(account + "|" + ssl + "|" + port + "|" + password, "b|0|26|ab");
    EXPECT_THROW(LookupServer("bad", account, ssl, port, password), BrevoraError);
    EXPECT_EQ(account + "|" + port + "|" + password, "c|27|ab"); // password left as it was
}

TEST_F(SettingsTest, StoringOverAnExistingKeyReplacesIt)
{
    StoreSender(std::nullopt, {"a@b.com", "One"});
    StoreSender(std::nullopt, {"c@d.com", "Two"});
    StoreSender(QString("c@d.com"), {"A@B.com", "Three"});
    EXPECT_EQ(ListSenders(), QStringList{"A@B.com"});
    EXPECT_EQ(LookupSender("a@b.com"), "Three");
}

TEST_F(SettingsTest, RefusesWhatTheFileCannotHold)
{
    for (const char* key : {"", " ", "a\nb", "a\rb"})
        EXPECT_THROW(StoreSender(std::nullopt, {QString::fromLatin1(key), "n"}), BrevoraError) << key;
    EXPECT_THROW(StoreSender(std::nullopt, {"a@b.com", "line\nbreak"}), BrevoraError);
    EXPECT_THROW(StoreServer(std::nullopt, {"h", "acc,ount", "", "25", "0"}), BrevoraError);
    EXPECT_THROW(StoreServer(std::nullopt, {"h", "a", "", "2,5", "0"}), BrevoraError);
    EXPECT_THROW(StoreSender(std::nullopt, {QStringLiteral("\u4e2d@b.com"), ""}), BrevoraError);
    EXPECT_FALSE(QFile::exists(IniPath()));
}

// Names the file syntax cannot hold as keys read back exactly, next to keys written by hand that
// look like their stand-ins; edits and removals leave nothing behind.
TEST_F(SettingsTest, AnyNameReadsBackExactly)
{
    writeAll(IniPath(), "[" + gbk("邮件内容") + "]\r\n%5BClub] old=old.txt\r\n");
    const QStringList titles{"[Club] Spring news", ";note", "a = b", "[Club] old", "\"Quoted\" = yes", "50%3D off"};
    for (const QString& t : titles)
        StoreContent(std::nullopt, {t, t.size() > 3 ? t.left(3) + ".txt" : "x.txt"});
    EXPECT_EQ(ListContents(), QStringList{"%5BClub] old"} + titles);
    EXPECT_EQ(LookupContent("%5BClub] old"), "old.txt");
    for (const QString& t : titles) {
        EXPECT_EQ(LookupContent(t), t.left(3) + ".txt") << t.toStdString();
        WriteAttachments(t, {"/tmp/" + t});
        EXPECT_EQ(ReadAttachments(t), QStringList{"/tmp/" + t});
    }
    StoreContent(QString("a = b"), {"a = c", "ac.txt"});
    EXPECT_EQ(LookupContent("a = b"), "");
    EXPECT_EQ(LookupContent("a = c"), "ac.txt");
    for (const QString& t : ListContents())
        DeleteContent(t);
    EXPECT_TRUE(ListContents().isEmpty());
    EXPECT_FALSE(ini().contains("%3D off=")) << ini().constData();
    EXPECT_FALSE(ini().contains("Spring")) << ini().constData();
}

// Two accounts on one host live side by side; removing one leaves the other whole.
TEST_F(SettingsTest, TwoAccountsOnOneHost)
{
    EXPECT_EQ(StoreServer(std::nullopt, {"smtp.a.com", "ann", "pw1", "25", "0"}), "smtp.a.com");
    EXPECT_EQ(StoreServer(std::nullopt, {"SMTP.A.com", "bob", "pw2", "465", "1"}), "SMTP.A.com (bob)");
    EXPECT_THROW(CheckServerFree(std::nullopt, {"smtp.a.com", "bob", "", "25", "0"}), BrevoraError);
    EXPECT_NO_THROW(CheckServerFree(QString("SMTP.A.com (bob)"), {"smtp.a.com", "bob", "", "25", "0"}));
    EXPECT_EQ(ListServers(), (QStringList{"smtp.a.com", "SMTP.A.com (bob)"}));
    EXPECT_EQ(ServerHostOf("SMTP.A.com (bob)"), "SMTP.A.com");
    RemoveServer("smtp.a.com");
    QString account, ssl, port, password;
    LookupServer("SMTP.A.com (bob)", account, ssl, port, password);
    EXPECT_EQ(account + "|" + ssl + "|" + port + "|" + password, "bob|1|465|pw2");
    EXPECT_EQ(ListServers(), QStringList{"SMTP.A.com (bob)"});
}

// The code page of a data folder changes with everything stored converted: names, passwords,
// titles, paths and body texts read back the same. A text the new one cannot hold changes nothing.
TEST_F(SettingsTest, ChangingTheCodePageConvertsWhatIsStored)
{
    const QString title = QStringLiteral("[Caf\u00e9] = news");
    StoreServer(std::nullopt, {"smtp.a.com", QStringLiteral("zo\u00eb"), QStringLiteral("p\u00e4ss"), "25", "0"});
    StoreSender(std::nullopt, {"me@a.com", QStringLiteral("Zo\u00eb")});
    const QString body = CreateBodyFile();
    SaveBodyText(body, QStringLiteral("5 \u20ac caf\u00e9"));
    StoreContent(std::nullopt, {title, body});
    WriteAttachments(title, {QStringLiteral("/tmp/\u00e9.pdf")});
    WriteBasicInteger(SettingsKeys::ServerPosition, 0);

    FolderEncoding::change("UTF-8");
    EXPECT_EQ(CodePage::name(), "UTF-8");
    EXPECT_EQ(FolderEncoding::recorded(), "UTF-8");
    QString account, ssl, port, password;
    LookupServer("smtp.a.com", account, ssl, port, password);
    EXPECT_EQ(account + "|" + password, QStringLiteral("zo\u00eb|p\u00e4ss"));
    EXPECT_EQ(LookupSender("me@a.com"), QStringLiteral("Zo\u00eb"));
    EXPECT_EQ(ListContents(), QStringList{title});
    EXPECT_EQ(LoadBodyText(body), QStringLiteral("5 \u20ac caf\u00e9"));
    EXPECT_EQ(ReadAttachments(title), QStringList{QStringLiteral("/tmp/\u00e9.pdf")});
    EXPECT_EQ(ReadBasicInteger(SettingsKeys::ServerPosition, 9), 0); // the file's own names are kept
    EXPECT_TRUE(ini().contains("Zo\xc3\xab"));
    EXPECT_EQ(QFileInfo(IniPath()).permissions() & (QFileDevice::ReadOther | QFileDevice::ReadGroup), 0);

    StoreContent(std::nullopt, {QStringLiteral("\u65e5\u672c"), body});
    const QByteArray before = ini();
    EXPECT_THROW(FolderEncoding::change("CP1252"), BrevoraError);
    EXPECT_EQ(ini(), before);
    EXPECT_EQ(CodePage::name(), "UTF-8");
    EXPECT_EQ(LoadBodyText(body), QStringLiteral("5 \u20ac caf\u00e9"));
}

TEST_F(SettingsTest, WriteFailureNamesTheFile)
{
    // A folder in the file's place cannot be replaced, not even by root.
    QDir().mkpath(IniPath());
    try {
        StoreSender(std::nullopt, {"c@d.com", "Two"});
        ADD_FAILURE();
    } catch (const BrevoraError& e) {
        EXPECT_TRUE(e.message().startsWith("Unable to write to " + IniPath() + " (")) << e.message().toStdString(); // and why
    }
    EXPECT_NO_THROW(RemoveSender("c@d.com")); // deleting never reports a failure
    EXPECT_TRUE(QFileInfo(IniPath()).isDir());
}

TEST_F(SettingsTest, BodyFilesAreUniqueAndFollowTheirEntry)
{
    const QString first = CreateBodyFile();
    const QString second = CreateBodyFile();
    EXPECT_NE(first, second);
    EXPECT_TRUE(QRegularExpression("^\\d{12}\\.txt$").match(first).hasMatch());
    EXPECT_EQ(readAll(AppDir() + first), CodePage::encode(AppDir() + first) + "\r\n");
    SaveBodyText(first, QStringLiteral("Hello\r\n[= PARAM1 =]"));
    EXPECT_EQ(LoadBodyLines(first), (QStringList{"Hello", "[= PARAM1 =]"}));

    StoreContent(std::nullopt, {"News", first});
    StoreContent(QString("News"), {"News 2", first});
    EXPECT_EQ(LookupContent("News 2"), first);
    RemoveContent("News 2");
    EXPECT_FALSE(QFile::exists(AppDir() + first));
    EXPECT_TRUE(ListContents().isEmpty());
    // A content whose file is already gone is removed without a word.
    StoreContent(std::nullopt, {"Gone", "000000000000.txt"});
    EXPECT_NO_THROW(RemoveContent("Gone"));
    EXPECT_TRUE(ListContents().isEmpty());

    try {
        LoadBodyLines("missing.txt");
        FAIL();
    } catch (const BrevoraError& e) {
        EXPECT_TRUE(e.message().startsWith("Cannot open file \"" + AppDir() + "missing.txt\". "));
    }
}

TEST(IniFile, KeyListingStopsAtItsCapacity)
{
    QTemporaryDir dir;
    IniFile file(dir.path() + "/big.ini");
    QByteArray data = "[s]\n";
    for (int i = 0; i < 2000; ++i)
        data += "key" + QByteArray::number(i).rightJustified(5, '0') + "=v\n"; // 8 bytes + zero per name
    writeAll(file.path(), data);
    EXPECT_EQ(file.listKeys("S").size(), 16383 / 9);
    EXPECT_EQ(file.readValue("s", "KEY00007"), "v");
    writeAll(file.path(), "[s]\nlong=" + QByteArray(3000, 'x') + "\n");
    EXPECT_EQ(file.readValue("s", "long").size(), 2047);
}

// What a server or a content carries besides its value lives in sections of its own: stored and
// read back as given, forgotten when set to the defaults, and the value's own fields untouched.
TEST_F(SettingsTest, ServerAndContentExtrasKeepTheirValuesApart)
{
    StoreServer(std::nullopt, {"smtp.example.com", "me", "pw", "465", "1"});
    StoreContent(std::nullopt, {"Letter", "0001.txt"});
    const QByteArray before = readAll(IniPath());

    WriteThroughput("SMTP.example.com", {8, 4});
    WriteLoginChoice("smtp.example.com", {LoginMechanism::XOAuth2, "/usr/bin/get-token --for \"me too\""});
    WriteUnsubscribe("Letter", {"mailto:leave@example.com", "https://example.com/u?e=[= EMAIL =]"});
    WriteAttachments("Letter", {"/tmp/a b.pdf", "/tmp/c.txt"});
    WriteRecipientFiles("Letter", {"invoice", "/srv/invoices"});
    EXPECT_EQ(ReadThroughput("smtp.example.com").inFlight, 8);
    EXPECT_EQ(ReadThroughput("smtp.example.com").connections, 4);
    EXPECT_EQ(ReadLoginChoice("smtp.example.com").mechanism, LoginMechanism::XOAuth2);
    EXPECT_EQ(ReadLoginChoice("smtp.example.com").tokenCommand, "/usr/bin/get-token --for \"me too\"");
    EXPECT_EQ(ReadUnsubscribe("Letter").url, "https://example.com/u?e=[= EMAIL =]");
    EXPECT_EQ(ReadAttachments("Letter"), (QStringList{"/tmp/a b.pdf", "/tmp/c.txt"}));
    EXPECT_EQ(ReadRecipientFiles("Letter").folder, "/srv/invoices");
    QString account, ssl, port, password;
    LookupServer("smtp.example.com", account, ssl, port, password);
    EXPECT_EQ(QStringList({account, ssl, port, password}), (QStringList{"me", "1", "465", "pw"}));
    EXPECT_EQ(LookupContent("Letter"), "0001.txt");

    // Out of range: kept within bounds. Back to the defaults: the file is as it was.
    WriteThroughput("smtp.example.com", {Throughput::kMostInFlight + 5, 0});
    EXPECT_EQ(ReadThroughput("smtp.example.com").inFlight, Throughput::kMostInFlight);
    EXPECT_EQ(ReadThroughput("smtp.example.com").connections, 1);
    WriteThroughput("smtp.example.com", {});
    WriteLoginChoice("smtp.example.com", {});
    WriteUnsubscribe("Letter", {});
    WriteAttachments("Letter", {});
    WriteRecipientFiles("Letter", {});
    EXPECT_EQ(ReadLoginChoice("smtp.example.com").mechanism, LoginMechanism::Automatic);
    EXPECT_FALSE(ReadUnsubscribe("Letter").any());
    EXPECT_TRUE(readAll(IniPath()).startsWith(before.left(before.size() - 2))) << readAll(IniPath()).toStdString();
}

// The settings file holds the passwords: it is the user's alone, whatever the umask, and one
// left readable by others is tightened when the data folder is taken into use.
TEST_F(SettingsTest, SettingsFileIsTheUsersOnly)
{
    const auto mode = [] { struct stat st{}; return ::stat(QFile::encodeName(IniPath()).constData(), &st) == 0 ? int(st.st_mode & 0777) : -1; };
    const mode_t oldMask = ::umask(022);
    StoreServer(std::nullopt, {"smtp.example.com", "me", "secret", "25", "0"});
    EXPECT_EQ(mode(), 0600);
    ASSERT_EQ(::chmod(QFile::encodeName(IniPath()).constData(), 0644), 0);
    SetAppDir(AppDir());
    EXPECT_EQ(mode(), 0600);
    ::umask(oldMask);
}
