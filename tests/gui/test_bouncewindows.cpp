#include "core/sendlog/sendlogstore.h"
#include "core/settings/entries.h"
#include "core/settings/settingsfile.h"
#include "core/text/codepage.h"
#include "gui/addmail.h"
#include "gui/historychart.h"
#include "gui/logform.h"
#include "gui/mainunit.h"
#include "gui/prompts.h"
#include "gui/setup.h"
#include "gui/windows.h"
#include "support/bouncecorpus.h"
#include "support/rawsql.h"
#include "support/wait.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

template <typename T> T* in(QWidget* parent, const char* name)
{
    T* w = parent->findChild<T*>(QLatin1String(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
}

// Runs the action once the next modal dialog is up.
void whenModal(const std::function<void()>& action)
{
    QTimer::singleShot(0, [action] {
        waitUntil([] { return QApplication::activeModalWidget() != nullptr; }, 5000);
        action();
    });
}

} // namespace

// The sender dialog takes a bounce address and mailbox (refusing an address with no room for the
// tag); Mail, Check bounces reads the mailbox and says what came of it; the bounces show on the
// Failed page and in History, with a filter, a series in the chart and the runs' rates.
TEST(BounceWindows, BouncesAreSetUpCheckedAndShown)
{
    const Dovecot dovecot;
    ASSERT_FALSE(dovecot.value("imaps").isEmpty()) << "no Dovecot";
    dovecot.empty();
    CodePage::setName("CP1252");
    Prompts::setTestMode(true);
    Prompts::reported().clear();
    QTemporaryDir data;
    SetAppDir(data.path() + '/');
    WriteTrustedFingerprint("127.0.0.1", dovecot.value("fingerprint"));
    SendLogStore store(data.filePath("db/sendlog.db"));
    AppWindows windows(&store);

    windows.setup->show();
    windows.setup->FormShow();
    TFrmAddMail* dialog = windows.senderDialog;
    const BounceSetup mailbox = dovecot.setup("imaps", "imaps");
    whenModal([&] {
        in<QLineEdit>(dialog, "EdtSendAddr")->setText("news@example.com");
        in<QLineEdit>(dialog, "EdtBounceAddr")->setText(QString(40, 'b') + "@example.com");
        in<QLineEdit>(dialog, "EdtBounceMailbox")->setText(mailbox.mailbox);
        in<QLineEdit>(dialog, "EdtBouncePassword")->setText(mailbox.password);
        dialog->BtmOkClick();
        EXPECT_TRUE(Prompts::reported().last().contains("leaves no room for the recipient's tag")) << Prompts::reported().last().toStdString();
        in<QLineEdit>(dialog, "EdtBounceAddr")->setText("bounces@example.com");
        dialog->BtmOkClick();
    });
    QTest::mouseClick(in<QPushButton>(windows.setup, "BtmViewAdd"), Qt::LeftButton);
    const BounceSetup saved = ReadBounceSetup("news@example.com");
    EXPECT_EQ(saved.address, "bounces@example.com");
    EXPECT_EQ(saved.mailbox, mailbox.mailbox);
    EXPECT_EQ(saved.password, mailbox.password);
    windows.setup->close();

    const QByteArray secret = store.bounces().secret();
    // The complaint names nobody: its tag is traced among the addresses mailed.
    execAsAnotherProgram(data.filePath("db/sendlog.db"), "INSERT INTO delivered_address VALUES ('frank@example.org')");
    int n = 0;
    for (const char* file : {"postfix-dsn.eml", "arf-complaint.eml", "policy-block.eml", "unrelated.eml"})
        writeAll(dovecot.maildir() + QStringLiteral("/new/%1.eml").arg(++n), corpusMessage(file, secret));
    TMainForm& main = *windows.main;
    main.show();
    in<QAction>(&main, "CheckBounces1")->trigger();
    ASSERT_FALSE(Prompts::reported().isEmpty());
    EXPECT_TRUE(Prompts::reported().last().contains("2 bounces, 1 complaints, 2 addresses suppressed")) << Prompts::reported().last().toStdString();
    EXPECT_TRUE(Prompts::reported().last().contains("1 other messages left unread")) << Prompts::reported().last().toStdString();

    QTableWidget* failed = in<QTableWidget>(&main, "FailedLB");
    ASSERT_EQ(failed->rowCount(), 3);
    EXPECT_EQ(failed->item(0, 0)->text(), "alice@example.org");
    EXPECT_EQ(failed->item(0, 1)->text(), "5.1.1 hard");
    EXPECT_TRUE(failed->item(0, 2)->text().startsWith("bounced: ")) << failed->item(0, 2)->text().toStdString();
    EXPECT_FALSE(in<QPushButton>(&main, "RetryBt")->isEnabled());

    TLogForm* log = windows.log;
    log->show();
    log->FormShow();
    in<QComboBox>(log, "FilterCB")->setCurrentIndex(3);
    EXPECT_EQ(log->rowCount(), 3);
    EXPECT_EQ(log->chart()->days().last().bounced, 3);
    log->close();
    dovecot.empty();
}
