#include "gui/prompts.h"
#include "gui/mainunit.h"
#include "core/text/codepage.h"
#include "core/sendlog/sendlogstore.h"
#include "core/settings/preflightsettings.h"
#include "core/settings/settingsfile.h"
#include "support/scriptedserver.h"
#include "support/smtpd.h"
#include "support/tempdir.h"
#include "support/testcert.h"
#include "support/rawsql.h"
#include "support/teststore.h"
#include "support/wait.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QProgressBar>
#include <QCheckBox>
#include <QTabWidget>
#include <QTableWidget>
#include <QElapsedTimer>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

class MainWindowTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CodePage::setName("CP1252");
        Prompts::setTestMode(true);
        Prompts::reported().clear();
        SetAppDir(data.path());
        WriteCheckBeforeFirstRun(false); // on by default; its own test turns it on
        store = std::make_unique<SendLogStore>(data.path() + "/db/sendlog.db");
    }
    void TearDown() override { window.reset(); }

    TMainForm& open()
    {
        window = std::make_unique<TMainForm>(store.get());
        window->run().setInterval(5);
        window->run().smtp().HeloName = "tester";
        window->run().smtp().ReadTimeout = 5000;
        return *window;
    }
    template <typename T>
    T* find(const char* name)
    {
        T* w = window->findChild<T*>(QLatin1String(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    QString panel(int i) { return find<QLabel>(qPrintable(QStringLiteral("StatusPanel%1").arg(i)))->text(); }
    QString counters() { return panel(1) + "/" + panel(3) + "/" + panel(5); }
    QStringList activity() { return find<QPlainTextEdit>("LogLB")->toPlainText().split('\n'); }

    void configure(int port, const QString& ssl = "0")
    {
        StoreServer(std::nullopt, {"127.0.0.1", "", "", QString::number(port), ssl});
        StoreSender(std::nullopt, {"me@example.com", "Me"});
        const QString body = CreateBodyFile();
        SaveBodyText(body, "Hello [= PARAM1 =]");
        StoreContent(std::nullopt, {"Greetings", body});
    }

    QTemporaryDir data;
    std::unique_ptr<SendLogStore> store;
    std::unique_ptr<TMainForm> window;
};

} // namespace

TEST_F(MainWindowTest, StartsWithoutSettingsFile)
{
    open();
    EXPECT_EQ(find<QComboBox>("CmbServer")->count(), 0);
    EXPECT_EQ(find<QLabel>("LbServer")->text(), "Account Name: ");
    EXPECT_EQ(find<QLabel>("LbAddr")->text(), "Display Name: ");
    EXPECT_EQ(find<QLabel>("LbText")->text(), "Email Title: ");
    EXPECT_TRUE(find<QPlainTextEdit>("projectMM")->toPlainText().isEmpty());
    EXPECT_EQ(counters(), "0/0/0");
    EXPECT_EQ(find<QTabWidget>("PageControl1")->currentIndex(), 1);
    EXPECT_EQ(find<QPushButton>("StartBt")->text(), "Start(&S)");
    EXPECT_EQ(find<QAction>("MemStart")->text(), "&Start sending");
    EXPECT_FALSE(find<QPushButton>("DelBt")->isEnabled());
    EXPECT_FALSE(find<QAction>("MemDetele")->isEnabled());
    EXPECT_TRUE(window->windowTitle().startsWith("Brevora(1.0.5) - "));
    EXPECT_EQ(window->width(), 527);
    // Start with an empty list does nothing at all.
    QTest::mouseClick(find<QPushButton>("StartBt"), Qt::LeftButton);
    EXPECT_EQ(find<QPlainTextEdit>("LogLB")->toPlainText(), "");
}

TEST_F(MainWindowTest, RestoresSavedPositionsAndShowsTheContent)
{
    configure(25);
    StoreSender(std::nullopt, {"other@example.com", "Other"});
    WriteBasicInteger(SettingsKeys::SenderPosition, 1);
    WriteBasicInteger(SettingsKeys::ServerPosition, 7); // beyond the list: no selection
    open();
    EXPECT_EQ(find<QComboBox>("CmbServer")->currentIndex(), -1);
    EXPECT_EQ(find<QComboBox>("CmbSendAddr")->currentText(), "other@example.com");
    EXPECT_EQ(find<QLabel>("LbAddr")->text(), "Display Name: Other");
    EXPECT_EQ(find<QLabel>("LbText")->text(), "Email Title: Greetings");
    EXPECT_EQ(find<QPlainTextEdit>("projectMM")->toPlainText(), "Hello [= PARAM1 =]");

    // Closing saves the positions of boxes that have a selection only.
    find<QComboBox>("CmbSendAddr")->setCurrentIndex(0);
    window->close();
    EXPECT_EQ(ReadBasicInteger(SettingsKeys::SenderPosition, -1), 0);
    EXPECT_EQ(ReadBasicInteger(SettingsKeys::ServerPosition, -1), 7);
}

// Opening and closing Setting once put the saved positions back, so that the next Start could send
// another content through another server. The entries chosen stay chosen while they exist.
TEST_F(MainWindowTest, SettingKeepsTheChosenEntries)
{
    configure(25);
    StoreServer(std::nullopt, {"smtp.example.org", "me", "", "587", "0"});
    const QString body = CreateBodyFile();
    SaveBodyText(body, "Second letter");
    StoreContent(std::nullopt, {"Second", body});
    open();
    window->settingsWindow = [](QWidget*) {};
    for (const char* name : {"CmbServer", "CmbText"}) {
        auto* box = find<QComboBox>(name);
        box->setCurrentIndex(1);
        emit box->activated(1);
    }
    const QString server = find<QComboBox>("CmbServer")->currentText();
    QTest::mouseClick(find<QPushButton>("setupBt"), Qt::LeftButton);
    EXPECT_EQ(find<QComboBox>("CmbServer")->currentText(), server);
    EXPECT_EQ(find<QComboBox>("CmbText")->currentText(), "Second");
    EXPECT_EQ(find<QLabel>("LbText")->text(), "Email Title: Second");
    // An entry removed in Setting gives way to the saved position.
    RemoveContent("Second");
    QTest::mouseClick(find<QPushButton>("setupBt"), Qt::LeftButton);
    EXPECT_EQ(find<QComboBox>("CmbText")->currentText(), "Greetings");
}

// A run that never got under way (the server closed at once) leaves the captions as they were:
// the menu item still reads "&Start sending", not the caption a finished run leaves.
TEST_F(MainWindowTest, FailedConnectLeavesTheCaptions)
{
    ScriptedServer closing;
    closing.close();
    closing.start();
    configure(closing.port());
    open();
    window->AppendEntries({"a@example.org"});
    window->run().countListChange();
    QTest::mouseClick(find<QPushButton>("StartBt"), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return !window->run().running(); }, 10000));
    EXPECT_TRUE(activity().contains("Connecting Server Failed:127.0.0.1")) << activity().join('|').toStdString();
    EXPECT_EQ(find<QPushButton>("StartBt")->text(), "Start(&S)");
    EXPECT_EQ(find<QAction>("MemStart")->text(), "&Start sending");
}

TEST_F(MainWindowTest, RunsTheListAndShowsCountersAndCaptions)
{
    Smtpd smtpd;
    ASSERT_GT(smtpd.port(), 0);
    configure(smtpd.port());
    open();
    window->AppendEntries({"a@example.org,Ann", "b@example.org", "c@example.org"});
    window->run().countListChange();
    window->run().setInterval(200);
    QTest::mouseClick(find<QPushButton>("StartBt"), Qt::LeftButton);
    EXPECT_EQ(find<QPushButton>("StartBt")->text(), "Stop(&S)");
    EXPECT_EQ(find<QAction>("MemStart")->text(), "Stop(&s)");
    EXPECT_FALSE(find<QPushButton>("TestBt")->isEnabled());
    EXPECT_EQ(find<QTabWidget>("PageControl1")->currentIndex(), 2);
    window->run().setInterval(5);
    ASSERT_TRUE(waitUntil([&] { return !window->run().running(); }));
    EXPECT_EQ(activity(), (QStringList{"Connecting Server:127.0.0.1", "The server does not require authentication",
                                       "Authentication is ok", "Sending is ok: a@example.org,Ann",
                                       "Sending is ok: b@example.org", "Sending is ok: c@example.org",
                                       "All emails have been sent"}));
    EXPECT_EQ(counters(), "0/3/3");
    EXPECT_EQ(find<QPushButton>("StartBt")->text(), "Start(&S)");
    EXPECT_EQ(find<QAction>("MemStart")->text(), "Start(&S)");
    EXPECT_TRUE(find<QPushButton>("TestBt")->isEnabled());
    EXPECT_EQ(window->pending().count(), 0);
    EXPECT_EQ(smtpd.messages(3).size(), 3);
}

TEST_F(MainWindowTest, StopBetweenMessagesLeavesTheRestPending)
{
    Smtpd smtpd;
    ASSERT_GT(smtpd.port(), 0);
    configure(smtpd.port());
    open();
    window->AppendEntries({"a@example.org", "b@example.org", "c@example.org"});
    window->run().countListChange();
    window->run().setInterval(300);
    QTest::mouseClick(find<QPushButton>("StartBt"), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return window->run().sentCount() == 1; }));
    find<QAction>("MemStart")->trigger(); // the menu item mirrors the button
    ASSERT_TRUE(waitUntil([&] { return !window->run().running(); }));
    // After the seed's closing line, one line says what became of the list.
    EXPECT_EQ(activity().mid(activity().size() - 2),
              (QStringList{"All emails have been sent", "This run: 1 sent, 0 refused, 0 suppressed, 2 still pending."}));
    EXPECT_EQ(find<QPushButton>("StartBt")->text(), "Start(&S)");
    EXPECT_EQ(window->pending().entries(), (QStringList{"b@example.org", "c@example.org"}));
    EXPECT_EQ(counters(), "2/1/3");
    // The bar shows how far the run came and that it was stopped; Start has its own icon again.
    EXPECT_EQ(find<QProgressBar>("RunProgress")->format(), "1 / 3, stopped");
}

TEST_F(MainWindowTest, PendingListSurvivesARestart)
{
    open();
    window->AppendEntries({"x@example.org", "y@example.org,P"});
    window.reset();
    open();
    EXPECT_EQ(window->pending().entries(), (QStringList{"x@example.org", "y@example.org,P"}));
    EXPECT_EQ(counters(), "2/0/2");
}

TEST_F(MainWindowTest, DeletesSelectedEntriesAfterTheQuestion)
{
    open();
    QStringList ten;
    for (int i = 0; i < 10; ++i)
        ten << QStringLiteral("m%1@example.org").arg(i);
    window->AppendEntries(ten);
    window->run().countListChange();
    auto* list = find<QListView>("MailLB");
    find<QTabWidget>("PageControl1")->setCurrentIndex(0); // the list in sight
    for (int row : {1, 4, 7})
        list->selectionModel()->select(window->pending().index(row), QItemSelectionModel::Select);
    EXPECT_TRUE(find<QPushButton>("DelBt")->isEnabled());

    Prompts::queueAnswer(QMessageBox::No);
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    QTest::keyClick(list, Qt::Key_Escape); // Esc presses Delete while it is enabled
    ASSERT_FALSE(Prompts::reported().isEmpty());
    // The question names what it deletes.
    EXPECT_EQ(Prompts::reported().last(), "yes: Are you sure you want to delete this email address?\n"
                                          "m1@example.org\nm4@example.org\nm7@example.org");
    EXPECT_EQ(window->pending().count(), 10);
    EXPECT_TRUE(find<QPushButton>("DelBt")->isEnabled());

    // On another page the list and its selection are out of sight: Delete does nothing there.
    find<QTabWidget>("PageControl1")->setCurrentIndex(3);
    EXPECT_FALSE(find<QPushButton>("DelBt")->isEnabled());
    EXPECT_FALSE(find<QAction>("MemDetele")->isEnabled());
    const int asked = int(Prompts::reported().size());
    find<QAction>("MemDetele")->trigger();
    window->DelBtClick();
    EXPECT_EQ(int(Prompts::reported().size()), asked);
    EXPECT_EQ(window->pending().count(), 10);
    find<QTabWidget>("PageControl1")->setCurrentIndex(0);
    EXPECT_TRUE(find<QPushButton>("DelBt")->isEnabled());

    Prompts::queueAnswer(QMessageBox::Yes);
    QTest::mouseClick(find<QPushButton>("DelBt"), Qt::LeftButton);
    EXPECT_EQ(window->pending().count(), 7);
    EXPECT_FALSE(window->pending().contains("m4@example.org"));
    EXPECT_EQ(counters(), "7/0/7");
    EXPECT_FALSE(find<QPushButton>("DelBt")->isEnabled());
}

TEST_F(MainWindowTest, ExportsTheListAndDisablesExportWhenEmpty)
{
    open();
    window->PopupMenu1Popup();
    EXPECT_FALSE(find<QAction>("NOut")->isEnabled());
    window->AppendEntries({"a@example.org,Ann", "b@example.org"});
    window->PopupMenu1Popup();
    EXPECT_TRUE(find<QAction>("NOut")->isEnabled());
    const QString file = data.path() + "/mail";
    Prompts::queueFileName(file);
    find<QAction>("NOut")->trigger();
    EXPECT_EQ(readAll(file), "a@example.org,Ann\r\nb@example.org\r\n");
}

TEST_F(MainWindowTest, ActivityMemoEmptiesAtTheLimit)
{
    open();
    for (int i = 0; i < 50000; ++i)
        window->AppendActivity("line");
    EXPECT_EQ(find<QPlainTextEdit>("LogLB")->blockCount(), 50000);
    window->AppendActivity("one more");
    EXPECT_EQ(find<QPlainTextEdit>("LogLB")->toPlainText(), "");
}

TEST_F(MainWindowTest, BadPortGoesToTheErrorReport)
{
    configure(25);
    StoreServer(std::nullopt, {"127.0.0.1", "", "", "2x5", "0"});
    open();
    window->AppendEntries({"a@example.org"});
    QTest::mouseClick(find<QPushButton>("StartBt"), Qt::LeftButton);
    ASSERT_FALSE(Prompts::reported().isEmpty());
    EXPECT_TRUE(Prompts::reported().last().endsWith(": '2x5' is not a valid integer value.")) << Prompts::reported().last().toStdString();
    EXPECT_EQ(find<QPlainTextEdit>("LogLB")->toPlainText(), "");
}

TEST_F(MainWindowTest, UntrustedCertificateIsRememberedOnYes)
{
    QTemporaryDir certs;
    TestCert cert;
    cert.writePem(certs.path());
    Smtpd smtpd({"--implicit-tls"}, certs.path());
    ASSERT_GT(smtpd.port(), 0);
    configure(smtpd.port(), "1");
    open();
    find<QLineEdit>("TestEd")->setText("probe@example.org");

    Prompts::queueAnswer(QMessageBox::No);
    QTest::mouseClick(find<QPushButton>("TestBt"), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return !window->run().running(); }));
    EXPECT_TRUE(activity().contains("Connecting Server Failed:127.0.0.1"));
    // The reason tells a certificate answered No from any other failure.
    EXPECT_TRUE(activity().last().startsWith("Reason: Error connecting with SSL. (the certificate of 127.0.0.1 was not accepted: "))
        << activity().last().toStdString();
    EXPECT_TRUE(Prompts::reported().last().contains(cert.sha256));
    EXPECT_TRUE(ReadTrustedFingerprint("127.0.0.1").isEmpty());

    Prompts::queueAnswer(QMessageBox::Yes);
    QTest::mouseClick(find<QPushButton>("TestBt"), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return !window->run().running() && activity().last() == "All emails have been sent"; }));
    EXPECT_TRUE(activity().contains("Sending is ok: probe@example.org"));
    EXPECT_EQ(find<QProgressBar>("RunProgress")->value(), 0); // a test send leaves the bar alone
    EXPECT_FALSE(find<QProgressBar>("RunProgress")->format().contains("/"));
    EXPECT_EQ(ReadTrustedFingerprint("127.0.0.1"), cert.sha256);

    // Remembered: no question the next time.
    const qsizetype questions = Prompts::reported().size();
    QTest::mouseClick(find<QPushButton>("TestBt"), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return smtpd.messages(2, 100).size() == 2; }));
    EXPECT_EQ(Prompts::reported().size(), questions);
}

TEST_F(MainWindowTest, ClosingWithAnUnwritableSettingsFileReportsOnceAndCloses)
{
    configure(25);
    open();
    QFile::remove(IniPath());
    QDir().mkpath(IniPath());
    window->show();
    EXPECT_TRUE(window->close());
    EXPECT_EQ(Prompts::reported().size(), 1);
    EXPECT_TRUE(Prompts::reported().first().contains("Unable to write to"));
}

// Start while another process runs this list: a box says so and nothing connects. Once it has
// ended, Start sends the list as the store holds it, with what the other process added.
TEST_F(MainWindowTest, StartRefusesWhileAnotherRunUsesTheListAndThenSendsTheStoredList)
{
    Smtpd smtpd;
    ASSERT_GT(smtpd.port(), 0);
    configure(smtpd.port());
    open();
    window->AppendEntries({"a@example.org"});
    window->run().countListChange();
    {
        SendLogStore other(data.path() + "/db/sendlog.db");
        ASSERT_TRUE(other.lockRun());
        QTest::mouseClick(find<QPushButton>("StartBt"), Qt::LeftButton);
        ASSERT_EQ(Prompts::reported().size(), 1);
        EXPECT_TRUE(Prompts::reported().first().contains("Another run is using this list"))
            << Prompts::reported().first().toStdString();
        EXPECT_FALSE(window->run().running());
        EXPECT_FALSE(activity().contains("Connecting Server:127.0.0.1"));
        QList<qint64> ids;
        ASSERT_TRUE(other.appendPending({"b@example.org"}, &ids));
    }
    QTest::mouseClick(find<QPushButton>("StartBt"), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return !window->run().running() && activity().last() == "All emails have been sent"; }));
    EXPECT_TRUE(activity().contains("Sending is ok: b@example.org"));
    EXPECT_EQ(smtpd.messages(2).size(), 2);
    EXPECT_EQ(window->pending().count(), 0);
    EXPECT_EQ(counters(), "0/2/2");
}

// Another process sent the list: the window's counts follow, as sent, not as entries taken away.
TEST_F(MainWindowTest, CountsFollowAListSentByAnotherProcess)
{
    open();
    window->AppendEntries({"a@example.org", "b@example.org"});
    window->run().countListChange();
    EXPECT_EQ(counters(), "2/0/2");
    const QString db = data.path() + "/db/sendlog.db";
    ASSERT_EQ(execAsAnotherProgram(db, "DELETE FROM pending"), "");
    ASSERT_EQ(execAsAnotherProgram(db, LogRowStatement("a@example.org", true)), "");
    ASSERT_EQ(execAsAnotherProgram(db, LogRowStatement("b@example.org", true)), "");
    EXPECT_TRUE(waitUntil([&] { return counters() == "0/2/2"; }, 5000)) << counters().toStdString();
}

// The test send needs an address of five characters or more and no run under way.
TEST_F(MainWindowTest, TestSendNeedsAnAddressAndNoRunUnderWay)
{
    Smtpd smtpd;
    ASSERT_GT(smtpd.port(), 0);
    configure(smtpd.port());
    open();
    find<QLineEdit>("TestEd")->setText("abcd");
    QTest::mouseClick(find<QPushButton>("TestBt"), Qt::LeftButton);
    EXPECT_FALSE(window->run().running());
    EXPECT_FALSE(activity().contains("Connecting Server:127.0.0.1"));

    window->AppendEntries({"a@example.org", "b@example.org"});
    window->run().countListChange();
    window->run().setInterval(300);
    QTest::mouseClick(find<QPushButton>("StartBt"), Qt::LeftButton);
    ASSERT_TRUE(window->run().running());
    find<QLineEdit>("TestEd")->setText("probe@example.org");
    window->TestBtClick(); // the button is disabled during a run; the handler guards as well
    EXPECT_FALSE(window->run().isTestRun());
    window->StartBtClick();
    ASSERT_TRUE(waitUntil([&] { return !window->run().running(); }));

    // The test message takes the values of the entry selected in the list: its placeholders are
    // filled as that recipient's would be. The list and the log stay as they are.
    const int received = int(smtpd.messages().size());
    find<QTabWidget>("PageControl1")->setCurrentIndex(0);
    window->AppendEntries({"c@example.org,Cecile"});
    auto* list = find<QListView>("MailLB");
    list->selectionModel()->select(window->pending().index(window->pending().count() - 1), QItemSelectionModel::ClearAndSelect);
    QTest::mouseClick(find<QPushButton>("TestBt"), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return !window->run().running(); }));
    ASSERT_EQ(smtpd.messages(received + 1).size(), received + 1);
    EXPECT_TRUE(smtpd.messages(received + 1).last().contains("Hello Cecile")) << smtpd.messages().last().constData();
    EXPECT_TRUE(smtpd.envelope(received).contains("probe@example.org")) << smtpd.envelope(received).constData();
    EXPECT_TRUE(activity().contains("Sending is ok: probe@example.org")) << activity().join('|').toStdString();
    EXPECT_TRUE(window->pending().contains("c@example.org,Cecile"));
}

// A newcomer is told what to set up next, step by step, until a server, a sender and a content
// exist; the link opens Setting.
TEST_F(MainWindowTest, FirstRunHintLeadsThroughTheSetup)
{
    open();
    auto* hint = find<QLabel>("FirstRunHint");
    EXPECT_FALSE(hint->isHidden());
    EXPECT_TRUE(hint->text().contains("SMTP server")) << hint->text().toStdString();
    StoreServer(std::nullopt, {"smtp.example.com", "me", "", "587", "0"});
    int settingsOpened = 0;
    window->settingsWindow = [&](QWidget*) { ++settingsOpened; };
    emit hint->linkActivated("setting");
    EXPECT_EQ(settingsOpened, 1);
    EXPECT_TRUE(hint->text().contains("address you send from")) << hint->text().toStdString();
    StoreSender(std::nullopt, {"me@example.com", "Me"});
    window->LoadSelections();
    EXPECT_TRUE(hint->text().contains("a content")) << hint->text().toStdString();
    StoreContent(std::nullopt, {"Hello", CreateBodyFile()});
    window->LoadSelections();
    EXPECT_TRUE(hint->isHidden());
}

// A refusal in the default mode ended the run without a word on why it stopped there or what to
// do; Start then met the same address at once. After the seed's closing line, the window says.
TEST_F(MainWindowTest, ARefusalThatEndsTheRunIsExplained)
{
    Smtpd smtpd;
    ASSERT_GT(smtpd.port(), 0);
    configure(smtpd.port());
    open();
    window->AppendEntries({"a@example.org", "refuse@example.org", "b@example.org"});
    window->run().countListChange();
    QTest::mouseClick(find<QPushButton>("StartBt"), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return !window->run().running(); }));
    const QStringList lines = activity();
    const qsizetype closing = lines.indexOf("All emails have been sent");
    ASSERT_GE(closing, 0) << lines.join('|').toStdString();
    ASSERT_EQ(lines.size(), closing + 3) << lines.join('|').toStdString();
    EXPECT_EQ(lines[closing + 1], "This run: 1 sent, 1 refused, 0 suppressed, 2 still pending.");
    EXPECT_TRUE(lines.last().startsWith("The run stopped at refuse@example.org: 5.1.1 Mailbox unavailable")) << lines.last().toStdString();
    EXPECT_TRUE(lines.last().contains("Skip refused")) << lines.last().toStdString();
    EXPECT_EQ(window->pending().entries(), (QStringList{"refuse@example.org", "b@example.org"}));
}

// Skip refused, chosen in the window and remembered: the run goes on, the Failed page lists the
// refused address with its code and reason, and Retry failed brings it back to the list.
TEST_F(MainWindowTest, SkippedRefusalsShowOnTheFailedPageAndCanBeRetried)
{
    Smtpd smtpd;
    ASSERT_GT(smtpd.port(), 0);
    configure(smtpd.port());
    open();
    window->AppendEntries({"a@example.org", "refuse@example.org", "b@example.org"});
    window->run().countListChange();
    QTest::mouseClick(find<QCheckBox>("ChkSkipRefused"), Qt::LeftButton);
    EXPECT_TRUE(ReadSkipRefused());
    QTest::mouseClick(find<QPushButton>("StartBt"), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return !window->run().running() && activity().last().startsWith("This run:"); }));
    EXPECT_EQ(activity().last(), "This run: 2 sent, 1 refused, 0 suppressed, 0 still pending.");
    EXPECT_EQ(find<QProgressBar>("RunProgress")->format(), "2 / 3"); // not stopped: the refused one failed
    EXPECT_EQ(counters(), "0/2/3");
    EXPECT_TRUE(activity().contains("Sending is ok: b@example.org"));
    auto* failed = find<QTableWidget>("FailedLB");
    ASSERT_EQ(failed->rowCount(), 1);
    EXPECT_EQ(failed->item(0, 0)->text(), "refuse@example.org");
    EXPECT_EQ(failed->item(0, 1)->text(), "550");
    EXPECT_EQ(failed->item(0, 2)->text(), "5.1.1 Mailbox unavailable");
    // A long reason is read whole in its tooltip; Tab moves on from the table.
    EXPECT_EQ(failed->item(0, 2)->toolTip(), "5.1.1 Mailbox unavailable");
    EXPECT_FALSE(failed->tabKeyNavigation());
    EXPECT_EQ(find<QTabWidget>("PageControl1")->tabText(3), "Failed (1)");
    EXPECT_TRUE(window->pending().entries().isEmpty());
    // Exported with its outcome, then the list the same way.
    QTemporaryDir out;
    Prompts::queueFileName(out.filePath("failed.csv"));
    QTest::mouseClick(find<QPushButton>("FailedExportBt"), Qt::LeftButton);
    const QList<QByteArray> rows = readAll(out.filePath("failed.csv")).split('\n');
    ASSERT_EQ(rows.size(), 3);
    EXPECT_EQ(rows[0], "\xEF\xBB\xBF" "email,code,reason,time\r");
    EXPECT_TRUE(rows[1].startsWith("refuse@example.org,550,5.1.1 Mailbox unavailable,")) << rows[1].toStdString();
    QTest::mouseClick(find<QPushButton>("RetryBt"), Qt::LeftButton);
    EXPECT_EQ(window->pending().entries(), QStringList{"refuse@example.org"});
    EXPECT_EQ(counters(), "1/2/3"); // pending again, not added twice
    Prompts::queueFileName(out.filePath("list.csv"));
    find<QAction>("NOutCsv")->trigger();
    EXPECT_EQ(readAll(out.filePath("list.csv")), "\xEF\xBB\xBF" "email\r\nrefuse@example.org\r\n");
    EXPECT_EQ(failed->rowCount(), 0);
    EXPECT_FALSE(find<QPushButton>("RetryBt")->isEnabled());
}

// While the session waits for a server that says nothing, the window was frozen: no event, no
// repaint, and Stop acted only after the read limit. Now events keep coming, the window paints,
// and Stop ends the run at once with the list as it was.
TEST_F(MainWindowTest, WindowStaysResponsiveWhileTheServerIsSilent)
{
    ScriptedServer silent;
    silent.pause(2500).drain();
    silent.start();
    configure(silent.port());
    open();
    window->run().smtp().ReadTimeout = 30000;
    window->AppendEntries({"a@example.org,Ann"});
    window->run().countListChange();
    window->show();
    QTest::mouseClick(find<QPushButton>("StartBt"), Qt::LeftButton);
    EXPECT_EQ(activity().last(), "Connecting Server:127.0.0.1");
    EXPECT_EQ(find<QPushButton>("StartBt")->text(), "Stop(&S)");

    bool handled = false;
    bool painted = false;
    QTimer::singleShot(300, window.get(), [&] {
        handled = window->run().running();
        painted = !window->grab().isNull();
    });
    ASSERT_TRUE(waitUntil([&] { return handled; }, 2000));
    EXPECT_TRUE(painted);
    EXPECT_EQ(activity().last(), "Connecting Server:127.0.0.1"); // still waiting for the greeting

    // The read limit is 30 s: ending within 5 s, the wait was cut short.
    QTest::mouseClick(find<QPushButton>("StartBt"), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return !window->run().running(); }, 5000));
    EXPECT_EQ(find<QPushButton>("StartBt")->text(), "Start(&S)");
    EXPECT_EQ(activity().last(), "This run: 0 sent, 0 refused, 0 suppressed, 1 still pending.");
    EXPECT_EQ(counters(), "1/0/1");
}

// The Preview page shows the selected entry's message as it would go out (rendered, as source,
// or its text part), and "Write messages to folder" writes every pending entry's message.
TEST_F(MainWindowTest, PreviewAndWriteMessagesToAFolder)
{
    configure(25);
    const QString body = CreateBodyFile();
    SaveBodyText(body, "<html><body><p>Hello [= PARAM1 =]</p></body></html>");
    StoreContent(QStringLiteral("Greetings"), {"Greetings", body});
    StoreSender(QStringLiteral("me@example.com"), {"me@example.com", QStringLiteral("Zo\u00eb")});
    open();
    {
        // With nothing pending there is nothing to write: said before any folder is asked for.
        QTemporaryDir unused;
        Prompts::queueFileName(unused.path());
        find<QAction>("WriteMessages1")->trigger();
        EXPECT_TRUE(Prompts::reported().last().endsWith(": The pending list is empty: there are no messages to write."))
            << Prompts::reported().last().toStdString();
        EXPECT_EQ(Prompts::directoryName(nullptr, QString()), unused.path()); // never asked
    }
    window->AppendEntries({"a@example.org,Ann", "b@example.org,Bo"});
    auto* tabs = find<QTabWidget>("PageControl1");
    auto* view = find<QTextBrowser>("PreviewView");
    tabs->setCurrentIndex(tabs->count() - 1);
    EXPECT_TRUE(view->toPlainText().contains("To: a@example.org")) << view->toPlainText().toStdString();
    EXPECT_TRUE(view->toPlainText().contains("Hello Ann"));
    // As the recipient sees it: the headers decoded, not as encoded words.
    EXPECT_TRUE(view->toPlainText().contains(QStringLiteral("From: Zo\u00eb <me@example.com>"))) << view->toPlainText().toStdString();
    EXPECT_FALSE(view->toPlainText().contains("=?"));
    auto* list = find<QListView>("MailLB");
    list->selectionModel()->select(list->model()->index(1, 0), QItemSelectionModel::ClearAndSelect);
    EXPECT_TRUE(view->toPlainText().contains("To: b@example.org"));
    find<QComboBox>("CmbPreviewView")->setCurrentIndex(1);
    EXPECT_TRUE(view->toPlainText().contains("Content-Type: multipart/alternative;")) << view->toPlainText().toStdString();
    EXPECT_TRUE(view->toPlainText().contains("<p>Hello Bo</p>"));
    find<QComboBox>("CmbPreviewView")->setCurrentIndex(2);
    EXPECT_TRUE(view->toPlainText().endsWith("\n\nHello Bo")) << view->toPlainText().toStdString();

    QTemporaryDir out;
    Prompts::queueFileName(out.path());
    find<QAction>("WriteMessages1")->trigger();
    EXPECT_EQ(QDir(out.path()).entryList(QDir::Files), (QStringList{"000001-a@example.org.eml", "000002-b@example.org.eml"}));
    EXPECT_EQ(window->pending().count(), 2);
}

// Another process changes the list (adds to it, sends from it, refuses from it): the window
// follows within a few seconds, on either kind of store.
TEST_F(MainWindowTest, WindowFollowsTheListWhileAnotherProcessChangesTheStore)
{
    for (const StoreLocation::Kind kind : {StoreLocation::Kind::SQLite, StoreLocation::Kind::PostgreSQL}) {
        SCOPED_TRACE(StoreKindName(kind));
        TestStore shared(kind);
        ASSERT_TRUE(shared.problem().isEmpty()) << shared.problem().toStdString();
        store = shared.open();
        open();
        window->AppendEntries({"a@example.org", "b@example.org"});
        window->run().countListChange();
        EXPECT_EQ(panel(1), "2");

        auto other = shared.open();
        QList<qint64> ids;
        ASSERT_TRUE(other->appendPending({"c@example.org", "d@example.org", "e@example.org"}, &ids));
        ASSERT_TRUE(waitUntil([&] { return panel(1) == "5"; }, 6000)) << panel(1).toStdString();
        EXPECT_EQ(find<QListView>("MailLB")->model()->rowCount(), 5);

        const QList<PendingRow> rows = other->pendingRows();
        ASSERT_TRUE(other->lockRun());
        ASSERT_TRUE(other->journal().record(rows[0].id, rows[0].entry));
        ASSERT_TRUE(other->recordRefusal(rows[1].id, rows[1].entry, 550, "no such user", false));
        other->unlockRun();
        ASSERT_TRUE(other->journal().flush());
        ASSERT_TRUE(waitUntil([&] { return panel(1) == "3"; }, 6000)) << panel(1).toStdString();
        EXPECT_EQ(window->pending().entries(), (QStringList{"c@example.org", "d@example.org", "e@example.org"}));
        EXPECT_EQ(find<QTabWidget>("PageControl1")->tabText(3), "Failed (1)");
        window.reset();
        store.reset();
    }
}

// Start checks a sender and content pair before its first run: the table of results, Cancel that
// keeps the run from starting, "Send anyway" past a failure, nothing asked once the pair went,
// and the box that turns the check off. Run by preflight_window.sh inside a network namespace
// whose DNS (dnsmasq) holds good.test's records.
TEST_F(MainWindowTest, ChecksBeforeTheFirstRunOfAPair)
{
    if (qEnvironmentVariable("BREVORA_TEST_DNS") != "good.test")
        GTEST_SKIP() << "needs the DNS of preflight_window.sh";
    Smtpd smtpd; // offers no STARTTLS: a failure
    ASSERT_GT(smtpd.port(), 0);
    StoreServer(std::nullopt, {"127.0.0.1", "", "", QString::number(smtpd.port()), "0"});
    StoreSender(std::nullopt, {"news@good.test", "News"});
    const QString body = CreateBodyFile();
    SaveBodyText(body, "Hello [= PARAM1 =]");
    StoreContent(std::nullopt, {"Greetings", body});
    StoreContent(std::nullopt, {"Other", body});
    WriteCheckBeforeFirstRun(true);
    open();
    window->AppendEntries({"a@example.org,Ann"});
    window->run().countListChange();

    // Presses Start, waits for the table and answers it with the button named; the table's rows.
    const auto startAndAnswer = [&](const char* button, bool uncheck) {
        QStringList rows;
        // Looked for between events: the checks run in an event loop of their own first.
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            QWidget* dialog = QApplication::activeModalWidget();
            if (!dialog || dialog->objectName() != "PreflightDlg")
                return;
            poll.stop();
            auto* table = dialog->findChild<QTableWidget*>("PreflightTable");
            for (int r = 0; table && r < table->rowCount(); ++r)
                rows.append(table->item(r, 0)->text() + " " + table->item(r, 1)->text());
            if (uncheck)
                dialog->findChild<QCheckBox*>("ChkPreflight")->setChecked(false);
            QTest::mouseClick(dialog->findChild<QPushButton*>(button), Qt::LeftButton);
        });
        poll.start(50);
        QTimer giveUp; // a dialog that never comes fails the test rather than hanging it
        giveUp.setSingleShot(true);
        QObject::connect(&giveUp, &QTimer::timeout, [] {
            if (QWidget* w = QApplication::activeModalWidget())
                w->close();
        });
        giveUp.start(60000);
        QTest::mouseClick(find<QPushButton>("StartBt"), Qt::LeftButton);
        return rows;
    };
    QStringList rows = startAndAnswer("BtnPreflightCancel", false);
    EXPECT_TRUE(rows.contains("pass SPF good.test (From)")) << rows.join('|').toStdString();
    EXPECT_TRUE(rows.contains("pass DMARC good.test")) << rows.join('|').toStdString();
    EXPECT_TRUE(rows.contains("failure TLS 127.0.0.1")) << rows.join('|').toStdString();
    EXPECT_TRUE(rows.contains("pass Message-ID and Date")) << rows.join('|').toStdString();
    EXPECT_FALSE(window->run().running());
    EXPECT_EQ(window->pending().count(), 1) << "Cancel started the run";

    rows = startAndAnswer("BtnPreflightSend", false); // "Send anyway"
    ASSERT_FALSE(rows.isEmpty()) << "a cancelled check was not asked again";
    ASSERT_TRUE(waitUntil([&] { return !window->run().running(); }));
    EXPECT_EQ(window->pending().count(), 0);
    EXPECT_EQ(smtpd.messages(1).size(), 1);

    // The pair went once: no check. A new pair is checked; its box turns checking off.
    window->AppendEntries({"b@example.org"});
    window->run().countListChange();
    QTest::mouseClick(find<QPushButton>("StartBt"), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return !window->run().running(); }));
    EXPECT_EQ(smtpd.messages(2).size(), 2);
    find<QComboBox>("CmbText")->setCurrentIndex(1);
    emit find<QComboBox>("CmbText")->activated(1);
    window->AppendEntries({"c@example.org"});
    window->run().countListChange();
    rows = startAndAnswer("BtnPreflightSend", true);
    EXPECT_FALSE(rows.isEmpty());
    ASSERT_TRUE(waitUntil([&] { return !window->run().running(); }));
    EXPECT_FALSE(ReadCheckBeforeFirstRun());
}
