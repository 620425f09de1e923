#include "core/bounce/bounceprocessor.h"
#include "core/error.h"
#include "core/mail/returnpath.h"
#include "core/sendlog/sendlogstore.h"
#include "core/run/preflight.h"
#include "core/run/sendingrun.h"
#include "core/settings/bouncesettings.h"
#include "core/settings/settingsfile.h"
#include "core/text/codepage.h"
#include "support/bouncecorpus.h"
#include "support/rawsql.h"
#include "support/sink.h"
#include "support/tempdir.h"
#include "support/testrun.h"
#include "support/wait.h"

#include <QDir>
#include <QDirIterator>
#include <QRegularExpression>
#include <gtest/gtest.h>

namespace {


struct Expected
{
    QString file, kind, kindOfRow, address, status;
    qint64 run = 0;
};

QList<Expected> manifest()
{
    QList<Expected> out;
    for (const QString& line : QString::fromUtf8(readAll(kCorpus + "expected.tsv")).split('\n')) {
        if (line.startsWith('#') || line.trimmed().isEmpty())
            continue;
        const QStringList f = line.split('\t');
        out.append({f[0], f[1], f[2], f[3], f[4], f[5].toLongLong()});
    }
    return out;
}

// A store whose send log holds a delivery to every recipient the corpus names.
struct CorpusStore
{
    QTemporaryDir dir;
    std::unique_ptr<SendLogStore> store;
    QByteArray secret;
    CorpusStore()
    {
        store = std::make_unique<SendLogStore>(dir.filePath("sendlog.db"));
        secret = store->bounces().secret();
        for (const QString a : {"alice", "bob", "carol", "dave", "erin", "frank", "grace", "heidi", "ivy", "ivan", "judy", "kim"})
            execAsAnotherProgram(dir.filePath("sendlog.db"), QStringLiteral("INSERT INTO delivered_address VALUES ('%1@example.org')").arg(a));
    }
};

BounceRules rules()
{
    return BounceRules{};
}

} // namespace

// Every message of the corpus (bounces as common servers write them, a complaint, automatic
// replies and mail of another kind) gives its class, its recipient and its run, once: read again,
// from a Maildir or an mbox file, it changes nothing. Hard bounces and complaints are suppressed,
// policy blocks are not, and soft bounces only once they come often.
TEST(Bounces, TheCorpusGivesClassAddressAndRunOnce)
{
    CorpusStore c;
    BounceProcessor processor(c.store->bounces(), rules());
    QStringList suppressedNow;
    QTemporaryDir maildir;
    QDir().mkpath(maildir.filePath("new"));
    QByteArray mbox;
    int n = 0;
    for (const Expected& e : manifest()) {
        SCOPED_TRACE(e.file.toStdString());
        const QByteArray message = corpusMessage(e.file, c.secret);
        writeAll(maildir.filePath(QStringLiteral("new/%1.eml").arg(++n)), message);
        mbox += "From MAILER-DAEMON Wed Dec  9 10:00:00 2026\n" + QByteArray(message).replace("\nFrom ", "\n>From ") + "\n";
        const int before = c.store->bounces().rows({}).size();
        const BounceSummary was = processor.summary();
        EXPECT_EQ(processor.process(message), e.kind != "unrelated");
        processor.flush();
        const QList<BounceLog::Row> rows = c.store->bounces().rows({});
        if (e.kind == "bounce" || e.kind == "complaint") {
            ASSERT_EQ(rows.size(), before + 1);
            const auto added = std::find_if(rows.begin(), rows.end(), [&](const BounceLog::Row& r) { return r.address == e.address; });
            ASSERT_NE(added, rows.end());
            EXPECT_EQ(added->kind, e.kindOfRow);
            EXPECT_EQ(added->status, e.status == "-" ? QString() : e.status);
            EXPECT_EQ(added->run, e.run);
            if (e.kindOfRow == "hard" || e.kindOfRow == "complaint")
                suppressedNow.append(e.address);
        } else {
            EXPECT_EQ(rows.size(), before);
            EXPECT_EQ(processor.summary().autoReplies - was.autoReplies, e.kind == "auto" ? 1 : 0);
        }
    }
    QStringList suppressed;
    for (const SuppressionList::Row& r : c.store->suppression().rows())
        suppressed.append(r.address);
    EXPECT_EQ(suppressed, suppressedNow);
    EXPECT_TRUE(c.store->suppression().reasonFor("alice@example.org")->startsWith("bounced: 5.1.1 550 5.1.1"));
    EXPECT_EQ(*c.store->suppression().reasonFor("frank@example.org"), "complaint");
    EXPECT_EQ(processor.summary().text(), "9 bounces, 1 complaints, 8 addresses suppressed");

    // Read again, as a Maildir and as an mbox file: nothing new.
    writeAll(maildir.filePath("bounces.mbox"), mbox);
    for (const QString& source : {maildir.path(), maildir.filePath("bounces.mbox")}) {
        BounceProcessor again(c.store->bounces(), rules());
        ImportBounceFiles({source}, again);
        EXPECT_EQ(again.summary().messages, n) << source.toStdString();
        EXPECT_EQ(again.summary().known, 10);
        EXPECT_EQ(again.summary().bounces + again.summary().complaints + again.summary().suppressed, 0);
    }

    // The third soft bounce within the days set suppresses the address.
    const QByteArray full = corpusMessage("gmail-full.eml", c.secret);
    for (int i = 2; i <= 3; ++i) {
        EXPECT_FALSE(c.store->suppression().reasonFor("dave@example.org").has_value());
        processor.process(QByteArray(full).replace("5f1c.gmail-full", "5f1c.gmail-full-" + QByteArray::number(i)));
        processor.flush();
    }
    EXPECT_EQ(*c.store->suppression().reasonFor("dave@example.org"), "bounced: 3 soft bounces in 30 days (last 5.2.2)");
    EXPECT_FALSE(c.store->suppression().reasonFor("heidi@example.org").has_value());
}

// Tags: lower case, per run and address, and no use without the store's secret.
TEST(Bounces, ReturnPathTagsNameTheirRecipientAndRun)
{
    const QByteArray secret = "s3cret", other = "another";
    const QByteArray tag = ReturnPath::tagFor(secret, 4242, "Jo@Example.ORG");
    EXPECT_EQ(tag, tag.toLower());
    const QString verp = ReturnPath::verpAddress("bounces@example.com", tag);
    EXPECT_EQ(verp, "bounces+" + tag + "@example.com");
    const auto found = ReturnPath::findTag(verp.toUpper().toLatin1()); // a relay that folds case
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->run, 4242);
    EXPECT_TRUE(ReturnPath::matches(secret, *found, "jo@example.org"));
    EXPECT_FALSE(ReturnPath::matches(secret, *found, "other@example.org"));
    EXPECT_FALSE(ReturnPath::matches(other, *found, "jo@example.org"));
    EXPECT_FALSE(ReturnPath::matches(secret, {4243, found->mac}, "jo@example.org"));
    EXPECT_FALSE(ReturnPath::findTag("bounces@example.com").has_value());
    EXPECT_TRUE(ReturnPath::addressFault("bounces@example.com").isEmpty());
    EXPECT_FALSE(ReturnPath::addressFault(QString(40, 'b') + "@example.com").isEmpty());
    EXPECT_FALSE(ReturnPath::addressFault("not an address").isEmpty());
}


// Over IMAP (TLS, and STARTTLS) the bounce mail is recorded and moved to the processed folder,
// which is made when missing; other mail stays in the inbox, unread. Over POP3 processed mail is
// deleted when the setup says so. A second fetch changes nothing.
TEST(Bounces, TheMailboxIsReadOverImapAndPop3)
{
    const Dovecot dovecot;
    ASSERT_FALSE(dovecot.value("imaps").isEmpty()) << "no Dovecot";
    dovecot.empty();
    CorpusStore c;
    int n = 0;
    for (const Expected& e : manifest())
        writeAll(dovecot.maildir() + QStringLiteral("/new/%1.eml").arg(++n), corpusMessage(e.file, c.secret));

    BounceProcessor first(c.store->bounces(), rules());
    FetchBounces(dovecot.setup("imaps", "imaps"), dovecot.trustItsCertificate(), first);
    EXPECT_EQ(first.summary().messages, n);
    EXPECT_EQ(first.summary().text(), "9 bounces, 1 complaints, 8 addresses suppressed");
    const QStringList left = dovecot.files();
    ASSERT_EQ(left.size(), 1) << left.join(' ').toStdString();
    EXPECT_FALSE(left.first().section(":2,", 1).contains('S')) << "the unrelated message was marked read";
    EXPECT_EQ(dovecot.files("Brevora.Processed").size(), n - 1);

    BounceProcessor second(c.store->bounces(), rules());
    FetchBounces(dovecot.setup("imap", "imap"), dovecot.trustItsCertificate(), second); // STARTTLS
    EXPECT_EQ(second.summary().messages, 1);
    EXPECT_EQ(second.summary().unrelated, 1);
    EXPECT_EQ(dovecot.files().size(), 1);

    // POP3: a bounce read twice counts once; deleted when asked, the other mail kept.
    writeAll(dovecot.maildir() + "/new/again.eml", corpusMessage("postfix-dsn.eml", c.secret));
    BounceSetup pop = dovecot.setup("pop3s", "pop3s");
    pop.deleteProcessed = true;
    BounceProcessor third(c.store->bounces(), rules());
    FetchBounces(pop, dovecot.trustItsCertificate(), third);
    EXPECT_EQ(third.summary().messages, 2);
    EXPECT_EQ(third.summary().known, 1);
    EXPECT_EQ(dovecot.files().size(), 1);
    EXPECT_EQ(c.store->bounces().rows({}).size(), 10);

    // A wrong password and a certificate nobody trusts stop the fetch with the reason; the check
    // before a run finds the first as a failure with the same reason.
    BounceSetup wrong = dovecot.setup("imaps", "imaps");
    wrong.password = "wrong";
    const QTemporaryDir data;
    SetAppDir(data.path() + '/');
    WriteBounceSetup("me@example.com", dovecot.setup("imaps", "imaps"));
    WriteBounceSetup("other@example.com", wrong);
    const QList<PreflightResult> good = CheckBounceMailbox("me@example.com", dovecot.trustItsCertificate());
    ASSERT_EQ(good.size(), 1);
    EXPECT_EQ(good[0].level, PreflightResult::Level::Pass) << good[0].detail.toStdString();
    const QList<PreflightResult> bad = CheckBounceMailbox("other@example.com", dovecot.trustItsCertificate());
    ASSERT_EQ(bad.size(), 1);
    EXPECT_EQ(bad[0].level, PreflightResult::Level::Failure);
    EXPECT_TRUE(bad[0].detail.startsWith("The bounce mailbox imaps://127.0.0.1:")) << bad[0].detail.toStdString();
    EXPECT_TRUE(CheckBounceMailbox("nobody@example.com", dovecot.trustItsCertificate()).isEmpty());
    try {
        FetchBounces(wrong, dovecot.trustItsCertificate(), third);
        ADD_FAILURE() << "logged in with a wrong password";
    } catch (const BrevoraError& e) {
        EXPECT_TRUE(e.message().startsWith("The bounce mailbox imaps://127.0.0.1:")) << e.message().toStdString();
    }
    try {
        FetchBounces(dovecot.setup("imaps", "imaps"), [](const CertificateInfo&) { return false; }, third);
        ADD_FAILURE() << "an untrusted certificate was accepted";
    } catch (const BrevoraError& e) {
        EXPECT_EQ(e.kind(), ErrorKind::Certificate) << e.message().toStdString();
    }
    dovecot.empty();
}

// A run whose sender has a bounce address sends each message with a return path and a
// Message-ID that name its recipient. Its brake reads the mailbox while it runs: once 100 are
// sent and the hard bounces there pass the threshold (2 % here; 30 of 1000 bounce, whenever the
// mailbox is read), the run pauses, says why and keeps the rest pending.
TEST(Bounces, ARunPausesWhenItsBouncesPassTheBrake)
{
    const Dovecot dovecot;
    ASSERT_FALSE(dovecot.value("imaps").isEmpty()) << "no Dovecot";
    dovecot.empty();
    CodePage::setName("CP1252");
    QTemporaryDir data;
    SetAppDir(data.path() + '/');
    WriteTrustedFingerprint("127.0.0.1", dovecot.value("fingerprint"));
    BounceSetup bounce = dovecot.setup("imaps", "imaps");
    bounce.address = "bounces@example.com";
    WriteBounceSetup("me@example.com", bounce);
    BounceRules strict;
    strict.hardPercent = 2;
    WriteBounceRules(strict);

    SendLogStore store(data.filePath("db/sendlog.db"));
    const QByteArray secret = store.bounces().secret();
    PendingList list(&store);
    QStringList entries;
    for (int i = 0; i < 1000; ++i)
        entries.append(QStringLiteral("r%1@example.org").arg(i));
    list.append(entries);
    // What the mailbox will hold: the first run's messages to 30 of them bounced.
    const QByteArray dsn = readAll(kCorpus + "untagged-dsn.eml");
    for (int i = 0; i < 30; ++i) {
        const QByteArray address = QByteArray("r") + QByteArray::number(i) + "@example.org";
        writeAll(dovecot.maildir() + QStringLiteral("/new/b%1.eml").arg(i),
                 QByteArray(dsn)
                     .replace("kim@example.org", address)
                     .replace("To: bounces@example.com", "To: bounces+" + ReturnPath::tagFor(secret, 1, address) + "@example.com")
                     .replace("UNT1", "UNT1-" + QByteArray::number(i)));
    }

    Sink sink({"-e", data.filePath("envelopes.txt")});
    ASSERT_GT(sink.port(), 0);
    SendingRun run(list);
    run.setBodyProvider([] { return QStringList{"Hello"}; });
    run.setBrakeInterval(100);
    RunRecord record;
    record.follow(run, 5);
    RunSelection s = LocalSelection(sink.port());
    SelectSender(s, "me@example.com");
    ASSERT_EQ(s.BounceAddress, "bounces@example.com");
    run.StartRun(s);
    ASSERT_TRUE(waitUntil([&] { return record.finishedCount > 0; }, 60000)) << record.lines.join('\n').toStdString();
    ASSERT_EQ(record.outcome, RunOutcome::Braked) << record.lines.join('\n').toStdString();
    EXPECT_GT(list.count(), 0);
    EXPECT_LT(run.sentCount(), 1000);
    EXPECT_TRUE(record.lines.join('\n').contains("The run is paused: hard bounces are")) << record.lines.join('\n').toStdString();
    const QList<BounceLog::RunSummary> runs = store.bounces().runs();
    ASSERT_EQ(runs.size(), 1);
    EXPECT_EQ(runs[0].hard, 30);
    EXPECT_GE(runs[0].sent, 100);
    EXPECT_FALSE(runs[0].brake.isEmpty());
    EXPECT_TRUE(store.suppression().reasonFor("r29@example.org").has_value());

    const QByteArray tag = ReturnPath::tagFor(secret, 1, "r0@example.org");
    EXPECT_TRUE(readAll(data.filePath("envelopes.txt")).contains("MAIL FROM:<bounces+" + tag + "@example.com>"));
    const QList<QByteArray> messages = sink.messages(1);
    ASSERT_FALSE(messages.isEmpty());
    EXPECT_TRUE(messages.first().contains("\r\nMessage-ID: <" + tag + '.')) << messages.first().left(600).toStdString();
    EXPECT_TRUE(messages.first().startsWith("From: me@example.com\r\n")) << messages.first().left(600).toStdString();
    dovecot.empty();
}
