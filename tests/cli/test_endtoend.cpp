#include "support/deliver.h"
#include "core/text/codepage.h"
#include "core/error.h"
#include "core/sendlog/sendlogstore.h"
#include "core/settings/settingsfile.h"
#include "support/python.h"
#include "support/smtpd.h"
#include "support/tempdir.h"
#include "support/testcert.h"
#include "support/sink.h"
#include "support/teststore.h"
#include "core/mail/messagewriter.h"
#include "core/smtp/smtpclient.h"

#include <QDirIterator>
#include <QProcess>
#include <QSet>
#include <cstdio>
#include <QSqlQuery>
#include <QVariant>
#include <csignal>
#include <QCryptographicHash>
#include <QRegularExpression>
#include <QJsonArray>
#include <QJsonDocument>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

class EndToEnd : public ::testing::Test
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
};

// One local server, one sender and the content "Greetings" with the given body.
void configureSettings(int port, const QString& body)
{
    StoreServer(std::nullopt, {"127.0.0.1", "", "", QString::number(port), "0"});
    StoreSender(std::nullopt, {"me@example.com", "Me"});
    const QString file = CreateBodyFile();
    SaveBodyText(file, body);
    StoreContent(std::nullopt, {"Greetings", file});
}

QString brevoraBinary()
{
    return QStringLiteral(BREVORA_TEST_PROGRAM);
}

struct Result
{
    int status;
    QString out;
    QString err;
};

Result brevora(const QStringList& args, const QString& workDir, const QString& locale = {})
{
    QProcess p;
    p.setWorkingDirectory(workDir);
    if (!locale.isEmpty()) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("LC_ALL");
        env.remove("LC_CTYPE");
        env.remove("BREVORA_CODEPAGE");
        env.insert("LANG", locale);
        p.setProcessEnvironment(env);
    }
    p.start(brevoraBinary(), args);
    p.waitForFinished(60000);
    return {p.exitCode(), QString::fromLocal8Bit(p.readAllStandardOutput()), QString::fromLocal8Bit(p.readAllStandardError())};
}

// Starts "brevora send" at full speed over a list file of the entries, in the background.
bool startFullSpeedRun(QProcess& run, const QStringList& entries, const QString& dataDir, ScopedWorkDir& work)
{
    QByteArray list;
    for (const QString& e : entries)
        list += e.toLatin1() + "\r\n";
    writeAll(work.file("list.txt"), list);
    run.setWorkingDirectory(work.path());
    run.start(brevoraBinary(), {"send", "--data-dir", dataDir, "--list", work.file("list.txt"), "--interval", "0"});
    return run.waitForStarted(10000);
}

} // namespace

TEST_F(EndToEnd, CommandLineSendsAListAndKeepsWhatRemains)
{
    Smtpd server;
    ASSERT_GT(server.port(), 0);
    QTemporaryDir data;
    ScopedWorkDir work;
    SetAppDir(data.path());
    configureSettings(server.port(), "Dear [= PARAM1 =] [= PARAM2 =],\r\nhello.");
    const QString listFile = work.file("list.txt");
    writeAll(listFile, "a@example.org,Ann,Lee\r\n\r\nrefuse@example.org\nc@example.org\n");

    const Result first = brevora({"send", "--data-dir", data.path(), "--list", listFile, "--interval", "0"}, work.path());
    EXPECT_EQ(first.status, 1) << first.err.toStdString();
    EXPECT_EQ(first.out.split('\n').first(), "Connecting Server:127.0.0.1");
    EXPECT_TRUE(first.out.contains("Sending is ok: a@example.org,Ann,Lee\n"));
    EXPECT_TRUE(first.out.contains("Sending failed: refuse@example.org--5.1.1 Mailbox unavailable\n"));
    // Each activity line is one line: no CR from the server's reply, no blank line after it.
    EXPECT_FALSE(first.out.contains('\r'));
    EXPECT_FALSE(first.out.contains("\n\n"));
    EXPECT_TRUE(first.out.endsWith("All emails have been sent\nThis run: 1 sent, 1 refused, 0 suppressed, 2 still pending.\n"))
        << first.out.toStdString();
    EXPECT_EQ(readAll(listFile), "refuse@example.org\r\nc@example.org\r\n");
    const QList<QByteArray> received = server.messages(1);
    ASSERT_EQ(received.size(), 1);
    EXPECT_TRUE(received[0].contains("\r\n\r\nDear Ann Lee,\r\nhello.\r\n"));
    EXPECT_TRUE(received[0].contains("Subject: Greetings\r\n"));

    // Already delivered entries are skipped; the pending list is durable between runs.
    writeAll(listFile, "a@example.org,Ann,Lee\r\nc@example.org\r\n");
    const Result second = brevora({"send", "--data-dir", data.path(), "--list", listFile, "--interval", "0"}, work.path());
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(readAll(listFile), "refuse@example.org\r\nc@example.org\r\n");

    const Result history = brevora({"history", "--data-dir", data.path()}, work.path());
    EXPECT_EQ(history.status, 0) << history.err.toStdString();
    const QString today = QDate::currentDate().toString("yyyy-MM-dd");
    EXPECT_TRUE(QRegularExpression("^" + today + " \\d\\d:\\d\\d:\\d\\d\ta@example.org,Ann,Lee\tTrue\n").match(history.out).hasMatch())
        << history.out.toStdString();
    EXPECT_TRUE(history.out.endsWith("Total Amount : 1\n"));

    const Result test = brevora({"send", "--data-dir", data.path(), "--test", "probe@example.org"}, work.path());
    EXPECT_EQ(test.status, 0) << test.out.toStdString();
    EXPECT_EQ(readAll(listFile), "refuse@example.org\r\nc@example.org\r\n");

    const Result usage = brevora({"send", "--data-dir", data.path(), "--server", "nowhere"}, work.path());
    EXPECT_EQ(usage.status, 3);
    EXPECT_TRUE(usage.err.contains("nowhere"));
}

// A word that is no command and an option a command does not take are usage errors, told with a
// hint, never a window: with a display and without one.
TEST_F(EndToEnd, UnknownCommandsAndOptionsAreUsageErrors)
{
    ScopedWorkDir work;
    const struct
    {
        QStringList args;
        QString message;
        QString hint;
    } cases[] = {
        {{"frobnicate"}, "Unknown command: frobnicate", "\"brevora --help\""},
        {{"--bogus"}, "Unknown argument: --bogus", "\"brevora --help\""},
        {{"send", "--bogus"}, "Unknown argument: --bogus", "\"brevora send --help\""},
        {{"history", "--date"}, "The option --date needs a value.", "\"brevora history --help\""},
        {{"list", "stray"}, "Unknown argument: stray", "\"brevora list --help\""},
    };
    for (const bool display : {true, false}) {
        for (const auto& c : cases) {
            QProcess p;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("BREVORA_HOME", work.path());
            if (!display)
                for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
                    env.remove(name);
            p.setProcessEnvironment(env);
            p.start(brevoraBinary(), c.args);
            ASSERT_TRUE(p.waitForFinished(30000)) << c.args.join(' ').toStdString();
            const QStringList lines = QString::fromLocal8Bit(p.readAllStandardError()).split('\n', Qt::SkipEmptyParts);
            EXPECT_EQ(p.exitCode(), 3) << c.args.join(' ').toStdString();
            ASSERT_EQ(lines.size(), 2) << lines.join('|').toStdString();
            EXPECT_EQ(lines[0], c.message);
            EXPECT_TRUE(lines[1].startsWith("Usage: brevora") && lines[1].contains(c.hint)) << lines[1].toStdString();
        }
    }
}

// The manual page covers every command and every option that --help lists.
TEST_F(EndToEnd, ManualPageCoversEveryCommandAndOption)
{
    QFile page(QStringLiteral(BREVORA_TEST_SOURCE_DIR) + "/../desktop/brevora.1");
    ASSERT_TRUE(page.open(QIODevice::ReadOnly));
    const QString manual = QString::fromUtf8(page.readAll()).replace("\\-", "-");
    ScopedWorkDir work;
    static const QRegularExpression option("--[a-z][a-z-]*[a-z]");
    for (const QString& command : {"", "send", "list", "history", "suppress", "bounces", "dkim", "check", "preview", "server", "sender", "content"}) {
        const Result help = brevora(command.isEmpty() ? QStringList{"--help"} : QStringList{command, "--help"}, work.path());
        ASSERT_EQ(help.status, 0) << command.toStdString();
        if (!command.isEmpty())
            EXPECT_TRUE(manual.contains(".B brevora " + command)) << command.toStdString();
        for (auto it = option.globalMatch(help.out); it.hasNext();) {
            const QString name = it.next().captured();
            EXPECT_TRUE(manual.contains(name)) << command.toStdString() << " " << name.toStdString();
        }
    }
}

// A container's own words ("List index out of bounds (0)") once reached the user for an empty
// body; every error the program shows says what is wrong in its own terms.
TEST_F(EndToEnd, NoContainerErrorReachesTheUser)
{
    const QDir root(QStringLiteral(BREVORA_TEST_SOURCE_DIR) + "/..");
    static const QRegularExpression raw("index out of|out of bounds|out of range", QRegularExpression::CaseInsensitiveOption);
    int files = 0;
    for (const QString& folder : {"core", "cli", "gui", "app"}) {
        QDirIterator it(root.filePath(folder), {"*.cpp", "*.h"}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile source(it.next());
            ASSERT_TRUE(source.open(QIODevice::ReadOnly));
            ++files;
            for (const QByteArray& line : source.readAll().split('\n'))
                if (line.contains("QStringLiteral(") || line.contains("tr("))
                    EXPECT_FALSE(raw.match(QString::fromUtf8(line)).hasMatch()) << source.fileName().toStdString() << ": " << line.toStdString();
        }
    }
    EXPECT_GT(files, 50);
}

// A data folder set up from nothing by the setup commands alone sends through a real server; two
// accounts on one host stay apart, and a title the settings file syntax has no room for arrives.
TEST_F(EndToEnd, AScriptSetsUpADataFolderAndSends)
{
    Smtpd server;
    ASSERT_GT(server.port(), 0);
    ScopedWorkDir work;
    const QString data = work.file("data");
    const QString port = QString::number(server.port());
    writeAll(work.file("body.txt"), "Hello [= PARAM1 =],\nspring is here.\n");
    writeAll(work.file("list.txt"), "x@example.org,Xavier\n");
    const QString title = "[Club] Spring = news";
    const struct
    {
        QStringList args;
        int status;
        QString out;
    } steps[] = {
        {{"server", "add", "127.0.0.1", "--account", "ann", "--port", "1"}, 0, "Added the server 127.0.0.1\n"},
        {{"server", "add", "127.0.0.1", "--account", "bob", "--port", port, "--per-minute", "600", "--helo", "mail.example.org"},
         0, "Added the server 127.0.0.1 (bob)\n"},
        {{"server", "edit", "127.0.0.1 (bob)", "--helo", "not a name"}, 3, ""},
        {{"server", "add", "127.0.0.1", "--account", "bob"}, 3, ""},
        {{"server", "edit", "127.0.0.1", "--account", "bob"}, 3, ""},
        {{"server", "remove", "127.0.0.1"}, 0, "Removed the server 127.0.0.1\n"},
        {{"server", "list"}, 0, "127.0.0.1 (bob)\taccount bob\tport " + port + "\tSTARTTLS when offered\n"},
        {{"sender", "add", "me@example.org", "--name", "Club Desk"}, 0, "Added the sender me@example.org\n"},
        {{"content", "add", title, "--body", work.file("body.txt")}, 0, "Added the content " + title + "\n"},
        {{"content", "add", title, "--body", work.file("body.txt")}, 3, ""},
        {{"content", "list"}, 0, title + "\n"},
        {{"send", "--list", work.file("list.txt"), "--interval", "0"}, 0, ""},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.args.join(' ').toStdString());
        const Result r = brevora(step.args + QStringList{"--data-dir", data}, work.path());
        EXPECT_EQ(r.status, step.status) << r.err.toStdString();
        if (!step.out.isEmpty())
            EXPECT_EQ(r.out, step.out);
        if (step.status != 0)
            EXPECT_FALSE(r.err.isEmpty());
    }
    const QList<QByteArray> received = server.messages(1);
    ASSERT_EQ(received.size(), 1);
    EXPECT_TRUE(received[0].contains("Subject: " + title.toUtf8() + "\r\n"));
    EXPECT_TRUE(received[0].contains("From: \"Club Desk\" <me@example.org>\r\n"));
    EXPECT_TRUE(received[0].contains("\r\n\r\nHello Xavier,\r\nspring is here.\r\n"));
    EXPECT_TRUE(server.envelope(0).endsWith("\nmail.example.org\n")) << server.envelope(0).toStdString();
    EXPECT_EQ(brevora({"content", "remove", title, "--data-dir", data}, work.path()).status, 0);
    EXPECT_EQ(QDir(data).entryList({"*.txt"}), QStringList{}); // the body file went with it
}

// A data folder made under a UTF-8 locale keeps and sends UTF-8: Japanese, Greek and emoji arrive
// as written. One made before (no code page recorded) sends, under the same locale, the bytes it
// always sent.
TEST_F(EndToEnd, ANewFolderSpeaksUtf8AndAnOldOneSendsAsBefore)
{
    Smtpd server;
    ASSERT_GT(server.port(), 0);
    ScopedWorkDir work;
    const QString fresh = work.file("fresh");
    const QString subject = QString::fromUtf8("日本語とΕλληνικά 🎉");
    const QString name = QString::fromUtf8("Ελένη 🙂");
    writeAll(work.file("body.txt"), QString::fromUtf8("こんにちは [= PARAM1 =] 🎉\nΚαλημέρα\n").toUtf8());
    writeAll(work.file("list.txt"), QString::fromUtf8("x@example.org,Ξένια\n").toUtf8());
    for (const QStringList& step : {QStringList{"server", "add", "127.0.0.1", "--account", "a", "--port", QString::number(server.port())},
                                    QStringList{"sender", "add", "me@example.org", "--name", name},
                                    QStringList{"content", "add", subject, "--body", work.file("body.txt")},
                                    QStringList{"send", "--list", work.file("list.txt"), "--interval", "0"}}) {
        const Result r = brevora(step + QStringList{"--data-dir", fresh}, work.path(), "C.UTF-8");
        ASSERT_EQ(r.status, 0) << step.join(' ').toStdString() << ": " << r.err.toStdString();
    }
    const QList<QByteArray> received = server.messages(1);
    ASSERT_EQ(received.size(), 1);
    const QString read = pythonOnMessage(received[0], "import email, email.policy, json, sys\n"
                                                      "m = email.message_from_bytes(open(sys.argv[1], 'rb').read(), policy=email.policy.strict)\n"
                                                      "print(json.dumps([str(m['subject']), m['from'].addresses[0].display_name,\n"
                                                      "                  m.get_content(), m.get_content_charset()]))");
    const QJsonArray fields = QJsonDocument::fromJson(read.toUtf8()).array();
    ASSERT_EQ(fields.size(), 4) << read.toStdString();
    EXPECT_EQ(fields[0].toString(), subject);
    EXPECT_EQ(fields[1].toString(), name);
    EXPECT_EQ(fields[2].toString().remove('\r'), QString::fromUtf8("こんにちは Ξένια 🎉\nΚαλημέρα\n"));
    EXPECT_EQ(fields[3].toString(), "utf-8");

    // A folder as an earlier version left it: the same locale changes nothing in what it sends.
    QTemporaryDir old;
    SetAppDir(old.path());
    configureSettings(server.port(), QString::fromUtf8("Caf\u00e9 [= PARAM1 =], 5 \u20ac"));
    StoreSender(QString("me@example.com"), {"me@example.com", QString::fromUtf8("Z\u00f6e")});
    writeAll(work.file("list.txt"), "y@example.org,Ren\xe9\r\n");
    const Result r = brevora({"send", "--list", work.file("list.txt"), "--interval", "0", "--data-dir", old.path()}, work.path(), "C.UTF-8");
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    const QList<QByteArray> both = server.messages(2);
    ASSERT_EQ(both.size(), 2);
    EXPECT_TRUE(both[1].contains("From: =?ISO-8859-1?Q?Z=F6e?= <me@example.com>\r\n")) << both[1].constData();
    EXPECT_TRUE(both[1].contains("Content-Type: text/plain; charset=\"windows-1252\"\r\n")) << both[1].constData();
    EXPECT_TRUE(both[1].contains("\r\n\r\nCaf\xe9 Ren\xe9, 5 \x80\r\n")) << both[1].constData();
    EXPECT_FALSE(readAll(old.path() + "/dispatra.ini").contains("Code page"));
}

// A password kept in the desktop's keyring (a Secret Service of its own, GNOME Keyring on a
// session bus of its own) logs in; the settings file holds none, and taking it back puts it there.
TEST_F(EndToEnd, APasswordInTheKeyringLogsIn)
{
    Smtpd server({"--auth", "ann:s3cret pass"});
    ASSERT_GT(server.port(), 0);
    ScopedWorkDir work;
    const QString data = work.file("data");
    QDir().mkpath(work.file("home"));
    writeAll(work.file("body.txt"), "Hello.\n");
    writeAll(work.file("list.txt"), "x@example.org\n");
    const QString b = brevoraBinary();
    const QString d = " --data-dir '" + data + "'";
    const QString script =
        "echo -n unlock | gnome-keyring-daemon --unlock --components=secrets >/dev/null || exit 10\n"
        "echo 's3cret pass' | '" + b + "' server add 127.0.0.1 --account ann --port " + QString::number(server.port())
        + " --password-stdin --keyring" + d + " || exit 11\n"
        "'" + b + "' sender add me@example.org" + d + " || exit 12\n"
        "'" + b + "' content add Hello --body '" + work.file("body.txt") + "'" + d + " || exit 13\n"
        "'" + b + "' send --list '" + work.file("list.txt") + "' --interval 0" + d + " || exit 14\n"
        "cp '" + data + "/dispatra.ini' '" + work.file("kept.ini") + "'\n"
        "'" + b + "' server edit 127.0.0.1 --no-keyring" + d + " || exit 15\n"
        "secret-tool search --all service Brevora 2>&1 | grep -c '^secret' || true\n";
    QProcess session;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", work.file("home"));
    env.remove("DBUS_SESSION_BUS_ADDRESS");
    session.setProcessEnvironment(env);
    session.start("dbus-run-session", {"--", "bash", "-c", script});
    ASSERT_TRUE(session.waitForFinished(60000));
    const QString out = QString::fromLocal8Bit(session.readAllStandardOutput());
    ASSERT_EQ(session.exitCode(), 0) << out.toStdString() << session.readAllStandardError().constData();
    EXPECT_TRUE(out.contains("Authentication is ok")) << out.toStdString();
    EXPECT_EQ(server.messages(1).size(), 1);
    const QByteArray kept = readAll(work.file("kept.ini"));
    EXPECT_TRUE(kept.contains("127.0.0.1=ann,0," + QByteArray::number(server.port()) + ",\r\n")) << kept.constData();
    EXPECT_TRUE(kept.contains("[Password in keyring]\r\n127.0.0.1=1")) << kept.constData();
    // Back in the file, scrambled as it always was; the keyring no longer holds it.
    SetAppDir(data);
    QString account, ssl, port, password;
    LookupServer("127.0.0.1", account, ssl, port, password);
    EXPECT_EQ(password, "s3cret pass");
    EXPECT_FALSE(readAll(data + "/dispatra.ini").contains("[Password in keyring]\r\n127.0.0.1=1"));
    EXPECT_TRUE(out.trimmed().endsWith("0")) << out.toStdString();
}

TEST_F(EndToEnd, AKilledRunLosesNothingAndSendsNothingTwice)
{
    Smtpd server;
    ASSERT_GT(server.port(), 0);
    QTemporaryDir data;
    ScopedWorkDir work;
    SetAppDir(data.path());
    configureSettings(server.port(), "Hello");
    QStringList all;
    for (int i = 0; i < 1000; ++i)
        all << QStringLiteral("r%1@example.org").arg(i);
    QProcess run;
    ASSERT_TRUE(startFullSpeedRun(run, all, data.path(), work));
    // Killed without warning once some messages went out.
    ASSERT_GE(server.messages(300, 30000).size(), 300);
    ::kill(run.processId(), SIGKILL);
    run.waitForFinished(10000);
    const int received = int(server.messages().size());
    ASSERT_LT(received, 1000) << "the run ended before it could be killed";

    SendLogStore store(data.path() + "/db/sendlog.db");
    QStringList pending;
    for (const PendingRow& row : store.pendingRows())
        pending << row.entry;
    const QStringList logged = LoggedAddresses(store.logRows("%"));
    // Every entry is either still pending or recorded as sent, never both and never neither.
    QStringList together = pending + logged;
    together.sort();
    QStringList expected = all;
    expected.sort();
    EXPECT_EQ(together, expected);
    // What was recorded went out; at most the message in flight went out unrecorded.
    EXPECT_LE(logged.size(), received);
    EXPECT_GE(logged.size(), received - 1);
    EXPECT_EQ(pending.first(), all[logged.size()]);
}

// Killed at full speed with 32 messages in flight: every message whose data went out without its
// reply being read is uncertain, listed as such; with --uncertain skip the next run records them
// as delivered instead of sending them again, and nobody gets a second copy.
TEST_F(EndToEnd, AKilledRunLeavesUncertainEntriesThatNeedNotGoTwice)
{
    Sink sink;
    ASSERT_GT(sink.port(), 0);
    QTemporaryDir data;
    ScopedWorkDir work;
    SetAppDir(data.path());
    configureSettings(sink.port(), "Hello");
    QStringList all;
    for (int i = 0; i < 3000; ++i)
        all << QStringLiteral("r%1@example.org").arg(i);
    QProcess run;
    ASSERT_TRUE(startFullSpeedRun(run, all, data.path(), work));
    ASSERT_GE(sink.messages(500, 30000).size(), 500);
    ::kill(run.processId(), SIGKILL);
    run.waitForFinished(10000);
    QThread::msleep(300); // what the sink still had to store
    QSet<QString> received;
    for (const QByteArray& m : sink.messages(0))
        received.insert(RecipientOf(m));
    ASSERT_LT(received.size(), 3000) << "the run ended before it could be killed";

    const Result uncertain = brevora({"list", "--data-dir", data.path(), "--uncertain"}, work.path());
    ASSERT_EQ(uncertain.status, 0) << uncertain.err.toStdString();
    const QStringList uncertainEntries = uncertain.out.split('\n', Qt::SkipEmptyParts);
    QSet<QString> logged;
    {
        SendLogStore store(data.path() + "/db/sendlog.db");
        const QStringList rows = LoggedAddresses(store.logRows("%"));
        logged = QSet<QString>(rows.begin(), rows.end());
    }
    // What the server took without the run hearing it is among the uncertain entries.
    for (const QString& r : received)
        if (!logged.contains(r))
            EXPECT_TRUE(uncertainEntries.contains(r)) << r.toStdString();
    std::printf("[ killed  ] %lld received, %lld logged, %lld uncertain\n", qint64(received.size()), qint64(logged.size()),
                qint64(uncertainEntries.size()));

    const Result rest = brevora({"send", "--data-dir", data.path(), "--interval", "0", "--uncertain", "skip"}, work.path());
    ASSERT_EQ(rest.status, 0) << rest.err.toStdString();
    if (!uncertainEntries.isEmpty())
        EXPECT_TRUE(rest.out.contains(QStringLiteral("%1 uncertain entries recorded as delivered").arg(uncertainEntries.size())))
            << rest.out.toStdString();
    const QList<QByteArray> messages = sink.messages(3000 - int(uncertainEntries.size()) + int(received.size() - logged.size()));
    QStringList recipients;
    for (const QByteArray& m : messages)
        recipients << RecipientOf(m);
    EXPECT_EQ(QSet<QString>(recipients.begin(), recipients.end()).size(), recipients.size()) << "a recipient got two copies";
    EXPECT_EQ(brevora({"list", "--data-dir", data.path()}, work.path()).out, "");
    EXPECT_EQ(brevora({"list", "--data-dir", data.path(), "--uncertain"}, work.path()).out, "");
}

// Ctrl-C in the middle of a run stops it as the window's Stop does: the message under way is
// finished and recorded, so every message the server took is in the log, and the rest is pending.
TEST_F(EndToEnd, CtrlCStopsARunCleanly)
{
    Smtpd server;
    ASSERT_GT(server.port(), 0);
    QTemporaryDir data;
    ScopedWorkDir work;
    SetAppDir(data.path());
    configureSettings(server.port(), "Hello");
    QStringList entries;
    for (int i = 0; i < 1000; ++i)
        entries << QStringLiteral("r%1@example.org").arg(i);
    QProcess run;
    ASSERT_TRUE(startFullSpeedRun(run, entries, data.path(), work));
    ASSERT_GE(server.messages(200, 30000).size(), 200);
    ::kill(run.processId(), SIGINT);
    ASSERT_TRUE(run.waitForFinished(10000));
    EXPECT_EQ(run.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(run.exitCode(), 130);
    const QString err = QString::fromLocal8Bit(run.readAllStandardError());
    EXPECT_TRUE(err.contains("Stopped: ")) << err.toStdString();
    const int received = int(server.messages().size());
    ASSERT_LT(received, 1000) << "the run ended before it could be stopped";

    SendLogStore store(data.path() + "/db/sendlog.db");
    const int logged = int(store.logRows("%").size());
    EXPECT_EQ(logged, received);
    EXPECT_EQ(store.pendingRows().size() + logged, 1000);
    EXPECT_EQ(QString::fromLatin1(ReadFileBytes(work.file("list.txt"))).count('\n'), 1000 - logged);
}

TEST_F(EndToEnd, HistoryReadsALogFilledByAnotherProgram)
{
    ScopedWorkDir work;
    QDir().mkpath(work.file("db"));
    QProcess sqlite;
    sqlite.start("sqlite3", {work.file("db/sendlog.db")});
    ASSERT_TRUE(sqlite.waitForStarted(10000)) << "sqlite3 is not installed";
    sqlite.write("CREATE TABLE sendlog (SENDDATE VARCHAR(19), MAILADDR VARCHAR(254), TYPE BOOLEAN);\n"
                 "INSERT INTO sendlog VALUES ('2024-05-01 08:00:00', 'o''brien@x.com,Ann', 1);\n"
                 "INSERT INTO sendlog VALUES ('2024-05-01 09:00:00', 'b@x.com', 0);\n"
                 "INSERT INTO sendlog VALUES ('2024-05-01 10:00:00', 'd@x.com', 'True');\n"
                 "INSERT INTO sendlog VALUES ('2024-05-02 09:00:00', 'c@x.com', 1);\n");
    sqlite.closeWriteChannel();
    ASSERT_TRUE(sqlite.waitForFinished(10000));
    QTemporaryDir data;
    const Result r = brevora({"history", "--data-dir", data.path(), "--date", "2024-05-01", "--export", work.file("log.txt")}, work.path());
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    // The log under the working directory is taken over into the data folder, and says so.
    EXPECT_EQ(r.out, "The send log and the pending list were moved from " + work.file("db") + " to " + data.path()
                         + "/db.\n"
                           "2024-05-01 08:00:00\to'brien@x.com,Ann\tTrue\n"
                           "2024-05-01 09:00:00\tb@x.com\tFalse\n"
                           "2024-05-01 10:00:00\td@x.com\tTrue\n"
                           "Total Amount : 3\n");
    EXPECT_TRUE(QFile::exists(data.path() + "/db/sendlog.db"));
    EXPECT_EQ(readAll(work.file("log.txt")), "o'brien@x.com,Ann\r\nb@x.com\r\nd@x.com\r\n");
    EXPECT_EQ(brevora({"history", "--data-dir", data.path(), "--date", "May 1"}, work.path()).status, 3);
}

// List lines are trimmed and blank ones skipped; "list" shows and cleans the pending list.
TEST_F(EndToEnd, CommandLineTrimsListLinesAndCleansThePendingList)
{
    QTemporaryDir data;
    ScopedWorkDir work;
    SetAppDir(data.path());
    configureSettings(1, "Hello"); // port 1: nothing listens, the run fails to connect
    writeAll(work.file("list.txt"), "  c@example.org  \r\nc@example.org\r\n\t\r\n \r\nd@example.org\t\r\n");
    const Result send = brevora({"send", "--data-dir", data.path(), "--list", work.file("list.txt")}, work.path());
    EXPECT_EQ(send.status, 2) << send.out.toStdString();
    EXPECT_EQ(readAll(work.file("list.txt")), "c@example.org\r\nd@example.org\r\n");

    Result list = brevora({"list", "--data-dir", data.path()}, work.path());
    EXPECT_EQ(list.status, 0) << list.err.toStdString();
    EXPECT_EQ(list.out, "c@example.org\nd@example.org\n");
    list = brevora({"list", "--data-dir", data.path(), "--remove", " c@example.org "}, work.path());
    EXPECT_EQ(list.out, "1 removed, 1 pending\n");
    EXPECT_EQ(brevora({"list", "--data-dir", data.path(), "--remove", "nobody@example.org"}, work.path()).status, 3);
    EXPECT_EQ(brevora({"list", "--data-dir", data.path(), "--clear"}, work.path()).out, "1 removed, 0 pending\n");
    EXPECT_EQ(brevora({"list", "--data-dir", data.path()}, work.path()).out, "");
    // Nothing to send: no session, no activity line, success.
    const Result empty = brevora({"send", "--data-dir", data.path()}, work.path());
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(empty.out, "");

    // A UTF-8 list with a byte-order mark: a line the code page cannot hold is refused with its
    // number and never stored; the rest comes in.
    writeAll(work.file("list.txt"), "\xEF\xBB\xBF" "e@example.org\r\nivan@x.com,\xD0\x90\xD0\xBB\r\nf@example.org,J\xC3\xB6rg\r\n");
    const Result bom = brevora({"send", "--data-dir", data.path(), "--list", work.file("list.txt")}, work.path());
    EXPECT_TRUE(bom.err.contains("list.txt line 2 is not added: ")) << bom.err.toStdString();
    EXPECT_EQ(brevora({"list", "--data-dir", data.path()}, work.path()).out, "e@example.org\nf@example.org,J\xC3\xB6rg\n");
}

// Two command lines on one data folder at once deliver each entry once in total: the second
// refuses while the first runs, and a later run finds nothing left to send.
TEST_F(EndToEnd, TwoRunsAtOnceDeliverEachEntryOnce)
{
    Smtpd server;
    ASSERT_GT(server.port(), 0);
    QTemporaryDir data;
    ScopedWorkDir work;
    SetAppDir(data.path());
    configureSettings(server.port(), "Hello");
    QByteArray lines;
    for (int i = 0; i < 200; ++i)
        lines += QStringLiteral("r%1@example.org\r\n").arg(i).toLatin1();
    writeAll(work.file("list.txt"), lines);

    QProcess first;
    first.setWorkingDirectory(work.path());
    first.start(brevoraBinary(), {"send", "--data-dir", data.path(), "--list", work.file("list.txt"), "--interval", "20"});
    ASSERT_TRUE(first.waitForStarted(10000));
    ASSERT_GE(server.messages(5, 30000).size(), 5);
    const Result second = brevora({"send", "--data-dir", data.path(), "--interval", "0"}, work.path());
    EXPECT_EQ(second.status, 3);
    EXPECT_TRUE(second.err.contains("Another run is using this list")) << second.err.toStdString();
    ASSERT_TRUE(first.waitForFinished(60000));
    EXPECT_EQ(first.exitCode(), 0);
    const Result third = brevora({"send", "--data-dir", data.path(), "--interval", "0"}, work.path());
    EXPECT_EQ(third.status, 0);

    const QList<QByteArray> received = server.messages(200);
    EXPECT_EQ(received.size(), 200);
    QSet<QString> recipients;
    for (int i = 0; i < received.size(); ++i)
        recipients.insert(QString::fromLatin1(server.envelope(i)));
    EXPECT_EQ(recipients.size(), 200);
}

// A test send needs no store; a run that cannot open one names the file and the cause.
TEST_F(EndToEnd, TestSendWorksWithoutAStore)
{
    Smtpd server;
    ASSERT_GT(server.port(), 0);
    QTemporaryDir data;
    ScopedWorkDir work;
    SetAppDir(data.path());
    configureSettings(server.port(), "Hello");
    writeAll(data.path() + "/db", "a file where the store's folder should be");
    const Result test = brevora({"send", "--data-dir", data.path(), "--test", "probe@example.org"}, work.path());
    EXPECT_EQ(test.status, 0) << test.err.toStdString();
    EXPECT_TRUE(test.out.contains("Sending is ok: probe@example.org"));
    EXPECT_EQ(server.messages(1).size(), 1);

    const Result run = brevora({"send", "--data-dir", data.path()}, work.path());
    EXPECT_EQ(run.status, 3);
    EXPECT_TRUE(run.err.startsWith("Cannot open the send log " + data.path() + "/db/sendlog.db: ")) << run.err.toStdString();
}

namespace {
// A small file system of its own (tmpfs, which needs root), unmounted when the test ends.
struct SmallDisk
{
    explicit SmallDisk(const QString& size)
    {
        mounted = QProcess::execute("mount", {"-t", "tmpfs", "-o", "size=" + size, "tmpfs", folder.path()}) == 0;
    }
    ~SmallDisk()
    {
        if (mounted)
            QProcess::execute("umount", {"-l", folder.path()});
    }
    // Fills the disk until only about `left` bytes are free.
    void fill(qint64 left)
    {
        QFile filler(folder.path() + "/filler");
        filler.open(QIODevice::WriteOnly);
        const QByteArray block(4096, 'x');
        while (filler.write(block) == block.size() && filler.flush()) {
        }
        filler.close();
        filler.resize(qMax<qint64>(0, filler.size() - left));
    }
    void free() { QFile::remove(folder.path() + "/filler"); }

    QTemporaryDir folder;
    bool mounted = false;
};
} // namespace

// A data folder on a read-only disk: every error names the file that cannot be written and why,
// after the line it always had.
TEST_F(EndToEnd, AReadOnlyDataFolderIsNamedInTheError)
{
    SmallDisk disk("1m");
    if (!disk.mounted)
        GTEST_SKIP() << "a tmpfs cannot be mounted here (root is needed)";
    ScopedWorkDir work;
    const QString data = disk.folder.path() + "/data";
    ASSERT_EQ(brevora({"suppress", "--add", "a@example.org", "--data-dir", data}, work.path()).status, 0);
    ASSERT_EQ(QProcess::execute("mount", {"-o", "remount,ro", disk.folder.path()}), 0);
    const Result store = brevora({"suppress", "--add", "b@example.org", "--data-dir", data}, work.path());
    EXPECT_EQ(store.status, 3);
    EXPECT_TRUE(store.err.startsWith("Cannot open the send log " + data + "/db/sendlog.db: ")) << store.err.toStdString();
    EXPECT_TRUE(store.err.contains("cannot be written (Read-only file system)")) << store.err.toStdString();
    const Result settings = brevora({"sender", "add", "me@example.org", "--data-dir", data}, work.path());
    EXPECT_EQ(settings.status, 3);
    EXPECT_TRUE(settings.err.startsWith("Unable to write to " + data + "/dispatra.ini (")) << settings.err.toStdString();
}

// The disk of the data folder fills up at the start of a run (where the delivery journal needs
// room) and in its middle (where the send log does): the run stops, nothing that went out is
// forgotten, and once there is room again every recipient has had exactly one message.
TEST_F(EndToEnd, FullDiskLosesNothingAndSendsNothingTwice)
{
    for (const int leftKb : {32, 64}) {
        SCOPED_TRACE(leftKb);
        SmallDisk disk("3m");
        if (!disk.mounted)
            GTEST_SKIP() << "a tmpfs cannot be mounted here (root is needed)";
        Smtpd server;
        ASSERT_GT(server.port(), 0);
        ScopedWorkDir work;
        const QString data = disk.folder.path() + "/data";
        QDir().mkpath(data);
        SetAppDir(data);
        configureSettings(server.port(), "Hello");
        QStringList all;
        {
            SendLogStore store(data + "/db/sendlog.db");
            for (int i = 0; i < 1000; ++i)
                all << QStringLiteral("recipient%1@example.org,with a value to fill the log").arg(i);
            QList<qint64> ids;
            ASSERT_TRUE(store.appendPending(all, &ids)) << store.lastError().toStdString();
        }
        disk.fill(leftKb * 1024);

        // An empty list file: nothing is added, and it receives what remains pending.
        writeAll(work.file("list.txt"), "");
        const Result full = brevora({"send", "--data-dir", data, "--list", work.file("list.txt"), "--interval", "0"},
                                    work.path());
        EXPECT_EQ(full.status, 1) << "the disk never filled up";
        EXPECT_TRUE(full.out.contains("Recording failed: ")) << full.out.right(300).toStdString();
        disk.free();
        {
            // The file holds exactly what the store still holds pending.
            SendLogStore store(data + "/db/sendlog.db");
            QByteArray pending;
            for (const PendingRow& row : store.pendingRows())
                pending += row.entry.toLatin1() + "\r\n";
            EXPECT_FALSE(pending.isEmpty());
            EXPECT_EQ(readAll(work.file("list.txt")), pending);
        }
        int runs = 0;
        Result again;
        do
            again = brevora({"send", "--data-dir", data, "--interval", "0"}, work.path());
        while (again.status != 0 && ++runs < 5);
        EXPECT_EQ(again.status, 0) << again.out.right(300).toStdString() << again.err.toStdString();

        const QList<QByteArray> received = server.messages(all.size(), 30000);
        QMap<QString, int> copies;
        for (int i = 0; i < received.size(); ++i)
            ++copies[QString::fromLatin1(server.envelope(i)).section('\n', 1, 1)];
        int twice = 0;
        for (int n : copies)
            twice += n > 1;
        EXPECT_EQ(copies.size(), all.size());
        EXPECT_EQ(twice, 0);
        SendLogStore store(data + "/db/sendlog.db");
        EXPECT_TRUE(store.pendingRows().isEmpty());
    }
}

// A strict reader (Python's email package) reads subject, sender name and body back exactly: each
// labelled with the charset its bytes are in, and long subjects split between whole characters.
TEST_F(EndToEnd, StrictParserReadsWhatWasSent)
{
    const struct
    {
        QByteArray codePage;
        QString subject;
        QString body;
        QString name;
    } cases[] = {
        {"CP1252", QStringLiteral("Preise ab 5 € – “gut” und günstig"), QStringLiteral("Preis: 5 € – “gut”"), QStringLiteral("Café Owner")},
        {"CP1252", QStringLiteral("Café crème"), QStringLiteral("Grüße"), QStringLiteral("Café Owner")},
        {"GBK", QString(40, QChar(0x4E2D)) + QStringLiteral("镕"), QStringLiteral("中文镕内容"), QStringLiteral("王镕")},
        {"GBK", QStringLiteral("中文标题"), QStringLiteral("中文内容"), QStringLiteral("王先生")},
        {"CP932", QStringLiteral("日本語のテキストです。").repeated(4), QStringLiteral("本文です"), QStringLiteral("山田太郎")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.codePage.toStdString() + " " + c.subject.toStdString());
        CodePage::setName(c.codePage);
        Smtpd server;
        ASSERT_GT(server.port(), 0);
        SmtpClient client;
        prepare(client, server.port());
        client.OpenSession();
        EmailMessage m = SampleMessage();
        m.Subject = c.subject;
        m.From.Name = c.name;
        m.ContentType = "text/plain";
        m.Body = {c.body};
        DeliverMessage(client, m);
        client.CloseSession();
        const QList<QByteArray> received = server.messages(1);
        ASSERT_EQ(received.size(), 1);
        QTemporaryDir dir;
        writeAll(dir.path() + "/m.eml", received[0]);
        QProcess python;
        python.start("/usr/bin/python3",
                     {"-c", "import email, email.policy, json, sys\n"
                            "m = email.message_from_bytes(open(sys.argv[1], 'rb').read(), policy=email.policy.strict)\n"
                            "print(json.dumps([str(m['subject']), m['from'].addresses[0].display_name,\n"
                            "                  m.get_content().rstrip('\\r\\n'), m.get_content_charset()]))",
                      dir.path() + "/m.eml"});
        ASSERT_TRUE(python.waitForFinished(20000));
        const QByteArray out = python.readAllStandardOutput();
        ASSERT_EQ(python.exitCode(), 0) << python.readAllStandardError().constData();
        const QJsonArray read = QJsonDocument::fromJson(out).array();
        ASSERT_EQ(read.size(), 4) << out.constData();
        EXPECT_EQ(read[0].toString(), c.subject);
        EXPECT_EQ(read[1].toString(), c.name);
        EXPECT_EQ(read[2].toString(), c.body);
    }
    CodePage::setName("CP1252");
}

// On the command line: skip goes on after a refusal and exits 1; the failed list is shown, its
// entries come back with --retry-failed, and history prints the refusal's code and reason.
TEST_F(EndToEnd, CommandLineSkipsRefusalsAndRetriesTheFailedList)
{
    Smtpd server;
    ASSERT_GT(server.port(), 0);
    QTemporaryDir data;
    ScopedWorkDir work;
    SetAppDir(data.path());
    configureSettings(server.port(), "Hello");
    writeAll(work.file("list.txt"), "a@example.org\r\nrefuse@example.org\r\nb@example.org\r\n");
    const Result skip = brevora({"send", "--data-dir", data.path(), "--list", work.file("list.txt"), "--interval", "0",
                                 "--on-refusal", "skip"}, work.path());
    EXPECT_EQ(skip.status, 1);
    EXPECT_TRUE(skip.out.contains("Sending is ok: b@example.org\n")) << skip.out.toStdString();
    EXPECT_EQ(readAll(work.file("list.txt")), "");
    const Result failed = brevora({"list", "--data-dir", data.path(), "--failed"}, work.path());
    EXPECT_TRUE(failed.out.startsWith("refuse@example.org\t550\t5.1.1 Mailbox unavailable\t")) << failed.out.toStdString();
    const Result history = brevora({"history", "--data-dir", data.path()}, work.path());
    EXPECT_TRUE(history.out.contains("\trefuse@example.org\tFalse\t550\t5.1.1 Mailbox unavailable\n")) << history.out.toStdString();
    EXPECT_TRUE(history.out.contains("\ta@example.org\tTrue\n"));
    const Result retry = brevora({"send", "--data-dir", data.path(), "--retry-failed", "--interval", "0"}, work.path());
    EXPECT_EQ(retry.status, 1); // refused again, with stop
    EXPECT_EQ(brevora({"list", "--data-dir", data.path()}, work.path()).out, "refuse@example.org\n");
    EXPECT_EQ(brevora({"send", "--data-dir", data.path(), "--on-refusal", "maybe"}, work.path()).status, 3);
}

// brevora suppress keeps the list of addresses never mailed: add, import, export, remove; a list
// file leaves them out with a line saying so, and a send with them pending never mails them.
TEST_F(EndToEnd, SuppressionListFromTheCommandLine)
{
    QTemporaryDir data;
    ScopedWorkDir work;
    SetAppDir(data.path());
    configureSettings(1, "Hello");
    const QString dir = data.path();
    Result r = brevora({"suppress", "--data-dir", dir, "--add", "gone@Example.org", "--reason", "asked not to be contacted"}, work.path());
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "1 added, 0 already there\n");
    writeAll(work.file("more.txt"), "bounced@example.org\r\ngone@EXAMPLE.org\r\nnot an address\r\n\r\n");
    r = brevora({"suppress", "--data-dir", dir, "--import", work.file("more.txt"), "--reason", "bounced"}, work.path());
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "1 added, 1 already there\n");
    EXPECT_TRUE(r.err.contains("\"not an address\" is not an address")) << r.err.toStdString();
    r = brevora({"suppress", "--data-dir", dir}, work.path());
    const QStringList rows = r.out.trimmed().split('\n');
    ASSERT_EQ(rows.size(), 2) << r.out.toStdString();
    EXPECT_TRUE(rows[0].startsWith("gone@Example.org\t") && rows[0].endsWith("\tasked not to be contacted")) << rows[0].toStdString();
    EXPECT_TRUE(rows[1].startsWith("bounced@example.org\t") && rows[1].endsWith("\tbounced")) << rows[1].toStdString();

    writeAll(work.file("list.txt"), "a@example.org\r\nGONE@example.org\r\ngone@example.ORG,Jo\r\n");
    r = brevora({"send", "--data-dir", dir, "--list", work.file("list.txt")}, work.path());
    EXPECT_TRUE(r.err.contains("line 2 is not added: GONE@example.org is on the suppression list (asked not to be contacted).")) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("line 3 is not added: gone@example.ORG is on the suppression list (asked not to be contacted).")) << r.err.toStdString();
    EXPECT_EQ(brevora({"list", "--data-dir", dir}, work.path()).out, "a@example.org\n");

    r = brevora({"suppress", "--data-dir", dir, "--export", work.file("out.txt")}, work.path());
    EXPECT_EQ(r.out, "2 exported\n");
    EXPECT_EQ(readAll(work.file("out.txt")), "gone@Example.org\r\nbounced@example.org\r\n");
    EXPECT_EQ(brevora({"suppress", "--data-dir", dir, "--remove", "gone@example.org"}, work.path()).out, "1 removed\n");
    EXPECT_EQ(brevora({"suppress", "--data-dir", dir, "--remove", "gone@example.org"}, work.path()).status, 3);
    EXPECT_EQ(brevora({"suppress", "--data-dir", dir, "--add", "x@example.org", "--remove", "y@example.org"}, work.path()).status, 3);
}

// A dry run writes each entry's message to a folder, one file each that a strict parser reads,
// and changes nothing else; the preview of an entry is byte for byte what the server then
// receives for it (but for its date and message id).
TEST_F(EndToEnd, DryRunAndPreviewWriteWhatWouldGoOut)
{
    Smtpd server;
    ASSERT_GT(server.port(), 0);
    QTemporaryDir data;
    ScopedWorkDir work;
    SetAppDir(data.path());
    configureSettings(server.port(), "Hello [= PARAM1 =],\r\n.a line with a dot\r\nbye");
    QByteArray list;
    for (int i = 0; i < 1000; ++i)
        list += "r" + QByteArray::number(i) + "@example.org,N" + QByteArray::number(i) + "\r\n";
    writeAll(work.file("list.txt"), list);
    const QString dir = data.path();
    Result r = brevora({"send", "--data-dir", dir, "--list", work.file("list.txt"), "--dry-run", work.file("out")}, work.path());
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "1000 messages written to " + QDir(work.file("out")).absolutePath() + "\n");
    QProcess python;
    python.start("/usr/bin/python3", {"-c",
                                      "import sys, os, email, email.policy\n"
                                      "names = sorted(os.listdir(sys.argv[1]))\n"
                                      "for n in names:\n"
                                      "    m = email.message_from_binary_file(open(os.path.join(sys.argv[1], n), 'rb'), policy=email.policy.strict)\n"
                                      "    assert m['To'] == n.split('-', 1)[1][:-4], n\n"
                                      "print(len(names), names[0], names[-1])\n"
                                      "print(repr(email.message_from_binary_file(open(os.path.join(sys.argv[1], names[7]), 'rb'), policy=email.policy.strict).get_content()))\n",
                                      work.file("out")});
    ASSERT_TRUE(python.waitForFinished(60000));
    EXPECT_EQ(QString::fromUtf8(python.readAllStandardOutput() + python.readAllStandardError()),
              "1000 000001-r0@example.org.eml 001000-r999@example.org.eml\n'Hello N7,\\n.a line with a dot\\nbye\\n'\n");
    // Nothing else changed: no pending entry, no log row, nothing sent, the list file as it was.
    EXPECT_EQ(brevora({"list", "--data-dir", dir}, work.path()).out, "");
    EXPECT_EQ(brevora({"history", "--data-dir", dir}, work.path()).out, "Total Amount : 0\n");
    EXPECT_EQ(readAll(work.file("list.txt")), list);
    EXPECT_TRUE(server.messages(1, 200).isEmpty());

    // Two entries made pending by a run whose server cannot be reached, then previewed and sent.
    EXPECT_EQ(brevora({"preview", "--data-dir", dir, "--entry", "1"}, work.path()).status, 3);
    StoreServer(std::nullopt, {"localhost", "", "", "1", "0"});
    writeAll(work.file("two.txt"), "ann@example.org,Ann\r\nbo@example.org,Bo\r\n");
    EXPECT_EQ(brevora({"send", "--data-dir", dir, "--list", work.file("two.txt"), "--server", "localhost"}, work.path()).status, 2);
    const Result preview = brevora({"preview", "--data-dir", dir, "--address", "bo@example.org"}, work.path());
    ASSERT_EQ(preview.status, 0) << preview.err.toStdString();
    EXPECT_TRUE(preview.out.contains("\r\n\r\nHello Bo,\r\n")) << preview.out.toStdString();
    static const QRegularExpression varying("\r\n(Date|Message-ID): [^\r\n]*");
    const auto masked = [](const QString& m) { return QString(m).replace(varying, "\r\n\\1: -"); };
    EXPECT_EQ(masked(brevora({"preview", "--data-dir", dir, "--entry", "2"}, work.path()).out), masked(preview.out));
    r = brevora({"send", "--data-dir", dir, "--server", "127.0.0.1", "--interval", "0"}, work.path());
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    const QList<QByteArray> received = server.messages(2);
    ASSERT_EQ(received.size(), 2);
    EXPECT_EQ(masked(QString::fromLatin1(received[1])), masked(preview.out));
}

// A CSV as a spreadsheet exports it (UTF-8 with its mark, a header row, quoted fields, the
// address column not first) sends with named placeholders filled; the preview of an entry is what
// arrives for it, and a refused row is named by its line.
TEST_F(EndToEnd, SpreadsheetCsvSendsWithNamedPlaceholders)
{
    Smtpd server;
    ASSERT_GT(server.port(), 0);
    QTemporaryDir data;
    ScopedWorkDir work;
    SetAppDir(data.path());
    configureSettings(server.port(), "Dear [= first_name =] of [= Company =],\r\nyour code: [= PARAM3 =]");
    StoreServer(std::nullopt, {"localhost", "", "", "1", "0"});
    writeAll(work.file("people.csv"), "\xEF\xBB\xBF" "first_name,Company,Email,Code\r\n"
                                      "Ann,\"ACME \"\"Best\"\" Ltd\",ann@example.org,A1\r\n"
                                      "\"J\xC3\xB6rg\",Zeta,joerg@example.org,Z9\r\n"
                                      "Bad,\"Comma, Inc\",bad@example.org,X\r\n");
    const QString dir = data.path();
    Result r = brevora({"send", "--data-dir", dir, "--list", work.file("people.csv"), "--server", "localhost"}, work.path());
    EXPECT_EQ(r.status, 2); // nothing listens there: the entries stay pending
    EXPECT_TRUE(r.err.contains("people.csv Line 4: the value \"Comma, Inc\" of Company holds a comma")) << r.err.toStdString();
    // A plain list file is rewritten with what stays pending; a spreadsheet's table never is.
    EXPECT_TRUE(readAll(work.file("people.csv")).startsWith("\xEF\xBB\xBF" "first_name,Company,Email,Code\r\n"));
    EXPECT_EQ(readAll(work.file("people.csv")).count('\n'), 4);
    EXPECT_EQ(brevora({"list", "--data-dir", dir}, work.path()).out,
              QStringLiteral("ann@example.org,Ann,ACME \"Best\" Ltd,A1\njoerg@example.org,J\u00f6rg,Zeta,Z9\n"));
    // Exported as CSV again: the header's names, quotes where a value needs them.
    EXPECT_EQ(brevora({"list", "--data-dir", dir, "--export", work.file("back.csv")}, work.path()).out, "2 exported\n");
    EXPECT_EQ(readAll(work.file("back.csv")), "\xEF\xBB\xBF" "email,first_name,Company,Code\r\n"
                                              "ann@example.org,Ann,\"ACME \"\"Best\"\" Ltd\",A1\r\n"
                                              "joerg@example.org,J\xC3\xB6rg,Zeta,Z9\r\n");
    QProcess previewing; // its bytes as they are: the message holds 8-bit text
    previewing.setWorkingDirectory(work.path());
    previewing.start(brevoraBinary(), {"preview", "--data-dir", dir, "--entry", "2"});
    ASSERT_TRUE(previewing.waitForFinished(30000));
    const QByteArray preview = previewing.readAllStandardOutput();
    r = brevora({"send", "--data-dir", dir, "--server", "127.0.0.1", "--interval", "0"}, work.path());
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    const QList<QByteArray> received = server.messages(2);
    ASSERT_EQ(received.size(), 2);
    EXPECT_TRUE(received[0].endsWith("\r\n\r\nDear Ann of ACME \"Best\" Ltd,\r\nyour code: A1\r\n")) << received[0].toStdString();
    EXPECT_TRUE(received[1].endsWith("\r\n\r\nDear J=F6rg of Zeta,\r\nyour code: Z9\r\n") || received[1].endsWith("\r\n\r\nDear J\xF6rg of Zeta,\r\nyour code: Z9\r\n"))
        << received[1].toStdString();
    static const QRegularExpression varying("\r\n(Date|Message-ID): [^\r\n]*");
    const auto masked = [](const QByteArray& m) { return QString::fromLatin1(m).replace(varying, "\r\n\\1: -"); };
    // The preview assumes a server that takes 8-bit text; aiosmtpd offers it too.
    EXPECT_EQ(masked(received[1]), masked(preview));
}

// Each recipient gets the file its row names, intact and under its own name (RFC 2231 when it
// is not ASCII), beside the content's file that every message carries; Python's e-mail package
// reads names and checks the bytes. A row naming a missing file fails on its own with skip, and
// a name reaching outside the folder is refused.
TEST_F(EndToEnd, AttachmentsPerRecipientArriveIntact)
{
    Smtpd server;
    ASSERT_GT(server.port(), 0);
    QTemporaryDir data;
    ScopedWorkDir work;
    SetAppDir(data.path());
    configureSettings(server.port(), "Dear [= name =], your invoice is attached.");
    QDir().mkpath(work.file("files"));
    QByteArray binary;
    for (int i = 0; i < 5000; ++i)
        binary += char(i * 7 % 256);
    writeAll(work.file("files/Rechnung M\xC3\xA4rz.pdf"), binary);
    writeAll(work.file("files/plain.txt"), "line one\r\n.line two\r\n");
    writeAll(work.file("terms.txt"), "terms");
    writeAll(work.file("people.csv"), "name,email,attachment\r\n"
                                      "Ann,ann@example.org,Rechnung M\xC3\xA4rz.pdf\r\n"
                                      "Bo,bo@example.org,plain.txt\r\n"
                                      "Cy,cy@example.org,missing.pdf\r\n"
                                      "Di,di@example.org,../terms.txt\r\n"
                                      "Ed,ed@example.org,link.txt\r\n"
                                      "Fa,fa@example.org,pipe.pdf\r\n"
                                      "Gu,gu@example.org,big.bin\r\n");
    // A link inside the folder to a file outside it, a FIFO (it once held the run up for good)
    // and a file larger than a message may be.
    ASSERT_TRUE(QFile::link(work.file("terms.txt"), work.file("files/link.txt")));
    ASSERT_EQ(::mkfifo(QFile::encodeName(work.file("files/pipe.pdf")).constData(), 0600), 0);
    writeAll(work.file("files/big.bin"), QByteArray(1100 * 1024, 'b'));
    const Result r = brevora({"send", "--data-dir", data.path(), "--list", work.file("people.csv"), "--interval", "0",
                              "--attach", work.file("terms.txt"), "--attach-column", "attachment", "--attach-dir",
                              work.file("files"), "--on-refusal", "skip", "--largest-message", "1"}, work.path());
    EXPECT_EQ(r.status, 1) << r.out.toStdString() << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("Sending skipped: ed@example.org,Ed,link.txt--The attachment \"link.txt\" is not inside")) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("pipe.pdf\" cannot be read: it is not a regular file.")) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("big.bin\" is 1126400 bytes; a message may hold at most 1048576.")) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("Sending skipped: cy@example.org,Cy,missing.pdf--The attachment")) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains("Sending skipped: di@example.org,Di,../terms.txt--The attachment \"../terms.txt\" is not inside"))
        << r.out.toStdString();
    const QList<QByteArray> received = server.messages(2);
    ASSERT_EQ(received.size(), 2);
    // The failed entries export with their outcome.
    EXPECT_EQ(brevora({"list", "--data-dir", data.path(), "--failed", "--export", work.file("failed.csv")}, work.path()).out, "5 exported\n");
    const QList<QByteArray> failedRows = readAll(work.file("failed.csv")).split('\n');
    ASSERT_EQ(failedRows.size(), 7);
    EXPECT_EQ(failedRows[0], "\xEF\xBB\xBF" "email,name,attachment,code,reason,time\r");
    EXPECT_TRUE(failedRows[1].startsWith("cy@example.org,Cy,missing.pdf,0,\"The attachment")) << failedRows[1].toStdString();
    QStringList described;
    for (const QByteArray& message : received)
        described << pythonOnMessage(message,
                                     "import sys, hashlib, email, email.policy\n"
                                     "m = email.message_from_binary_file(open(sys.argv[1], 'rb'), policy=email.policy.strict)\n"
                                     "print(m.get_content_type(), m.get_body(('plain',)).get_content().strip())\n"
                                     "for a in m.iter_attachments():\n"
                                     "    print(a.get_filename(), a.get_content_type(), hashlib.sha256(a.get_payload(decode=True)).hexdigest())\n")
                         .trimmed();
    const auto sha = [](const QByteArray& b) { return QString::fromLatin1(QCryptographicHash::hash(b, QCryptographicHash::Sha256).toHex()); };
    EXPECT_EQ(described[0], QStringLiteral("multipart/mixed Dear Ann, your invoice is attached.\n"
                                           "terms.txt text/plain %1\n"
                                           "Rechnung M\u00e4rz.pdf application/pdf %2").arg(sha("terms"), sha(binary)));
    EXPECT_EQ(described[1], QStringLiteral("multipart/mixed Dear Bo, your invoice is attached.\n"
                                           "terms.txt text/plain %1\n"
                                           "plain.txt text/plain %2").arg(sha("terms"), sha("line one\r\n.line two\r\n")));
}

// Three processes send one list from a shared store; one is killed without warning in the
// middle. The others finish its entries once its lease ends: every entry is logged exactly once,
// and only messages the killed process had on their way when it died can arrive twice.
TEST_F(EndToEnd, SharedStoreProcessesFinishTheListOfOneThatWasKilled)
{
    TestStore shared(StoreLocation::Kind::PostgreSQL);
    ASSERT_TRUE(shared.problem().isEmpty()) << shared.problem().toStdString();
    Sink sink;
    ASSERT_GT(sink.port(), 0);
    ScopedWorkDir work;
    configureSettings(sink.port(), "Hello");
    constexpr int kEntries = 3000;
    constexpr int kWindow = 8;
    QStringList all;
    for (int i = 0; i < kEntries; ++i)
        all << QStringLiteral("r%1@example.org").arg(i);
    {
        SendLogStore filler(shared.location());
        ASSERT_TRUE(filler.appendPending(all, nullptr)) << filler.lastError().toStdString();
    }
    QProcess runs[3];
    for (QProcess& run : runs) {
        run.setWorkingDirectory(work.path());
        run.start(brevoraBinary(), {"send", "--data-dir", shared.dataDir(), "--store", shared.url(), "--interval", "0",
                                    "--window", QString::number(kWindow), "--lease", "5"});
        ASSERT_TRUE(run.waitForStarted(10000));
    }
    ASSERT_GE(sink.messages(kEntries / 4, 30000).size(), kEntries / 4);
    ::kill(runs[0].processId(), SIGKILL);
    ASSERT_TRUE(runs[0].waitForFinished(10000));
    for (int i = 1; i < 3; ++i) {
        ASSERT_TRUE(runs[i].waitForFinished(60000));
        EXPECT_EQ(runs[i].exitCode(), 0) << runs[i].readAllStandardError().toStdString();
    }

    SendLogStore store(shared.location());
    EXPECT_TRUE(store.pendingRows().isEmpty());
    QStringList logged;
    for (const SendLogStore::LogRow& row : store.logRows("%")) {
        EXPECT_TRUE(row.delivered);
        logged << row.address;
    }
    logged.sort();
    QStringList expected = all;
    expected.sort();
    EXPECT_EQ(logged, expected); // each once
    QHash<QString, int> copies;
    const QList<QByteArray> received = sink.messages(kEntries);
    for (const QByteArray& m : received)
        ++copies[RecipientOf(m)];
    EXPECT_EQ(copies.size(), kEntries);
    const int second = int(received.size()) - int(copies.size());
    EXPECT_LE(second, 2 * kWindow) << "second copies";
    // The journal of the killed process was applied by the others and removed.
    EXPECT_TRUE(QDir(shared.dataDir() + "/db").entryList({"*-deliveries-*"}, QDir::Files).isEmpty());
}

// Processes started together on a shared store with the same list file add it once between
// them, and each entry goes out once.
TEST_F(EndToEnd, SharedStoreProcessesGivenTheSameListAddItOnce)
{
    TestStore shared(StoreLocation::Kind::PostgreSQL);
    ASSERT_TRUE(shared.problem().isEmpty()) << shared.problem().toStdString();
    Sink sink;
    ASSERT_GT(sink.port(), 0);
    ScopedWorkDir work;
    configureSettings(sink.port(), "Hello");
    QByteArray lines;
    for (int i = 0; i < 500; ++i)
        lines += QStringLiteral("r%1@example.org\r\n").arg(i).toLatin1();
    QProcess runs[3];
    for (int i = 0; i < 3; ++i) {
        const QString file = work.file(QStringLiteral("list%1.txt").arg(i));
        writeAll(file, lines);
        runs[i].setWorkingDirectory(work.path());
        runs[i].start(brevoraBinary(), {"send", "--data-dir", shared.dataDir(), "--store", shared.url(), "--list", file,
                                        "--interval", "0", "--window", "4"});
    }
    for (QProcess& run : runs) {
        ASSERT_TRUE(run.waitForFinished(60000));
        EXPECT_EQ(run.exitCode(), 0) << run.readAllStandardError().toStdString();
    }
    const QList<QByteArray> received = sink.messages(500);
    QSet<QString> recipients;
    for (const QByteArray& m : received)
        recipients.insert(RecipientOf(m));
    EXPECT_EQ(recipients.size(), 500);
    // The sink keeps a message before it answers for it: every process has ended, so nothing more
    // is on its way.
    EXPECT_EQ(sink.messages(501, 0).size(), 500);
}
