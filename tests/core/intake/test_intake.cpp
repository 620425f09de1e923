#include "core/intake/intakerule.h"
#include "core/intake/listfile.h"
#include "core/intake/mailto.h"
#include "core/text/codepage.h"
#include "core/settings/settingsfile.h"
#include "support/printers.h"
#include "support/tempdir.h"

#include <QSet>
#include <QElapsedTimer>
#include "core/intake/csvfile.h"
#include "core/intake/listfile.h"
#include "core/run/prepare.h"
#include "core/text/codepage.h"
#include <gtest/gtest.h>

TEST(Intake, ExtractsMailtoLinks)
{
    EXPECT_EQ(ExtractMailto("MAILTO:John.Doe@Example.COM"), QStringList{"john.doe@example.com"});
    EXPECT_EQ(ExtractMailto("mailto: a b@c. de"), QStringList{"ab@c.de"});
    // A browser's copy of a link with headers, several addresses, percent-encoding.
    EXPECT_EQ(ExtractMailto("mailto:wendy@example.org?subject=Hello"), QStringList{"wendy@example.org"});
    EXPECT_EQ(ExtractMailto("mailto:a@x.org,b@x.org?cc=c@x.org"), (QStringList{"a@x.org", "b@x.org"}));
    EXPECT_EQ(ExtractMailto("mailto:a%40x.org"), QStringList{"a@x.org"});
    EXPECT_EQ(ExtractMailto("mailto:a%3E%0D%0ARSET@x.org"), QStringList{});
    EXPECT_EQ(ClipboardMailtos("Write to Wendy", "<p><a href=\"mailto:wendy@example.org?subject=Hi&amp;body=x\">Wendy</a>, "
                                                 "<A HREF='MAILTO:vic@example.org'>Vic</A> <a href=mailto:wendy@example.org>again</a>"),
              (QStringList{"wendy@example.org", "vic@example.org"}));
    EXPECT_EQ(ExtractMailto("a@b.com"), QStringList{});
    EXPECT_EQ(ExtractMailto("mailto:not-an-address"), QStringList{});
    // The address ends where a character that cannot be in one on the wire begins.
    EXPECT_EQ(ExtractMailto("mailto:a@b.com>x"), QStringList{"a@b.com"});
    EXPECT_EQ(ExtractMailto("mailto:a@b.com<x"), QStringList{"a@b.com"});
    EXPECT_EQ(ExtractMailto("mailto:a@b.com\tNOTIFY"), QStringList{"a@b.com"});
    EXPECT_EQ(ExtractMailto(QStringLiteral("mailto:a@b.com") + QChar(0) + "x"), QStringList{"a@b.com"});
    EXPECT_EQ(ExtractMailto("mailto:a@b.com\rmailto:c@d.com"), QStringList{"a@b.com"});
    EXPECT_EQ(ClipboardLines("mailto:a@b.com\r\nmailto:c@d.com"), (QStringList{"mailto:a@b.com", "mailto:c@d.com"}));
    EXPECT_TRUE(ClipboardLines("abcd\r\nmailto:a@b.com").isEmpty());
    EXPECT_TRUE(ClipboardLines("\r\nmailto:a@b.com").isEmpty());
    EXPECT_EQ(ClipboardLines("abcde\r\n\r\nmailto:a@b.com"), QStringList{"abcde"});
    // Lists copied with plain line feeds are read as lines too.
    EXPECT_EQ(ClipboardLines("mailto:a@b.com\nmailto:c@d.com\n"), (QStringList{"mailto:a@b.com", "mailto:c@d.com"}));
}

TEST(IntakeRule, TrimsSkipsAndRefusesLinesThatCouldNeverBeSent)
{
    CodePage::setName("CP1252");
    const QSet<QString> pending{"p@example.org"};
    const QSet<QString> sent{"s@example.org"};
    IntakeRule rule([&](const QString& e) { return pending.contains(e); }, [&](const QString& e) { return sent.contains(e); });
    QString entry;
    QString reason;
    EXPECT_EQ(rule.judge("  c@example.org \t", &entry), IntakeRule::Verdict::Take);
    EXPECT_EQ(entry, "c@example.org");
    rule.take(entry);
    EXPECT_EQ(rule.judge("c@example.org", &entry), IntakeRule::Verdict::Duplicate); // taken earlier
    EXPECT_EQ(rule.judge("\t", &entry), IntakeRule::Verdict::Skip);
    EXPECT_EQ(rule.judge(QString(QChar(0)) + " ", &entry), IntakeRule::Verdict::Skip);
    EXPECT_EQ(rule.judge("p@example.org", &entry), IntakeRule::Verdict::Duplicate);
    EXPECT_EQ(rule.judge(" s@example.org", &entry), IntakeRule::Verdict::SentBefore);
    EXPECT_EQ(entry, "s@example.org");

    const struct
    {
        QString line;
        const char* reason;
    } refused[] = {
        {QString::fromUtf8("ivan@x.com,\u0410\u043b\u0435\u043a\u0441\u0430\u043d\u0434\u0440"), "cannot be written in the code page"},
        {QStringLiteral("a@x.com,A") + QChar(0) + "B", "control character (U+0000)"},
        {"a@x.com\x1b[2J", "control character (U+001b)"},
        {QStringLiteral("a@x.com,") + QChar(0xFFFD), "does not define"},
        {QString(1200, 'a') + "@x.com", "longer than 254"},
        {QString::fromUtf8("j\u00f6rg@x.com"), "not ASCII"},
        {"victim@x.com> NOTIFY=SUCCESS", "holds \">\""},
        {"a@x.com b@y.com,Ann", "holds \" \""},
    };
    for (const auto& r : refused) {
        reason.clear();
        EXPECT_EQ(rule.judge(r.line, &entry, &reason), IntakeRule::Verdict::Refused) << r.line.left(40).toStdString();
        EXPECT_TRUE(reason.contains(QLatin1String(r.reason))) << reason.toStdString();
    }
    // A value may hold what the code page holds, the address may not.
    EXPECT_EQ(rule.judge(QString::fromUtf8("jo@x.com,J\u00f6rg"), &entry), IntakeRule::Verdict::Take);
    // A name with the address, and several addresses, stay as they are.
    EXPECT_EQ(rule.judge("Jo Doe <jo@x.com>", &entry), IntakeRule::Verdict::Take);
    EXPECT_EQ(rule.judge("jo@x.com;ann@x.com", &entry), IntakeRule::Verdict::Take);
}

TEST(ListFile, ReadsByteOrderMarksAndTheCodePage)
{
    CodePage::setName("CP1252");
    EXPECT_EQ(DecodeListFile("\xEF\xBB\xBF" "a@x.com\r\n"), "a@x.com\r\n");
    EXPECT_EQ(DecodeListFile(QByteArray("\xFF\xFE" "a\0@\0\r\0\n\0", 10)), "a@\r\n");
    EXPECT_EQ(DecodeListFile(QByteArray("\xFE\xFF" "\0a\0@", 6)), "a@");
    EXPECT_EQ(DecodeListFile("b@x.com,J\xF6rg"), QString::fromUtf8("b@x.com,J\u00f6rg"));
    // 0x81 is not defined in Windows-1252: it stands out, the rest is read.
    EXPECT_EQ(DecodeListFile("a\x81" "b"), QStringLiteral("a") + QChar(0xFFFD) + "b");
}

// Undefined bytes once made reading quadratic; 200 000 of them take no longer than clean text.
TEST(ListFile, UndefinedBytesCostNoMoreThanCleanOnes)
{
    CodePage::setName("CP1252");
    QByteArray dirty;
    for (int i = 0; i < 200000; ++i)
        dirty += "\x81x@y.z\r\n";
    const QString text = DecodeListFile(dirty);
    EXPECT_EQ(text.count(QChar(0xFFFD)), 200000);
    EXPECT_EQ(text.size(), 200000 * 8);
}

// A long file is read a megabyte at a time. Whatever a block boundary splits (CR from LF, a
// character of two bytes, a doubled quote, a quoted line break), the pieces together are what
// the whole file decoded gives: the same entries, line numbers and refusals.
TEST(ListFile, ReadInPiecesAsTheWholeFile)
{
    struct Case
    {
        const char* name;
        QByteArray codePage;
        QByteArray mark;    // a byte-order mark, or nothing
        bool table;
        QString tricky;     // the text that the first block boundary cuts
        qsizetype cutAfter; // how many of its bytes (as written) the first block holds
        bool utf16 = false;
    };
    const QList<Case> cases{
        {"CR and LF", "CP1252", "\xEF\xBB\xBF", false, QStringLiteral("cut@example.org,V\r\n"), 18},
        {"a GBK character", "GBK", "", false, QString::fromUtf8("cut@example.org,\u7528\u6237\r\n"), 17},
        {"CR and LF in a table", "CP1252", "", true, QStringLiteral("\"Ann\",cut@example.org\r\n"), 22},
        {"a UTF-8 character", "CP1252", "", true, QString::fromUtf8("\"S\u00e9\",cut@example.org\r\n"), 3},
        {"a doubled quote", "CP1252", "", true, QStringLiteral("\"a\"\"b\",cut@example.org\r\n"), 3},
        {"a quoted line break", "CP1252", "\xEF\xBB\xBF", true, QStringLiteral("\"x\r\ny\",cut@example.org\r\n"), 3},
        {"a UTF-16 surrogate pair", "CP1252", "\xFF\xFE", true, QString::fromUtf8("\"A\U0001F600\",cut@example.org\r\n"), 6, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CodePage::setName(c.codePage);
        const auto bytesOf = [&c](const QString& text) {
            if (c.utf16)
                return QByteArray(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
            return c.table ? text.toUtf8() : CodePage::encode(text);
        };
        QString before = c.table ? QStringLiteral("name,email\r\n") : QString();
        for (int i = 0; before.size() * (c.utf16 ? 2 : 1) < (1 << 20) - 100; ++i) // ASCII so far
            before += c.table ? QStringLiteral("N%1,r%1@example.org\r\n").arg(i) : QStringLiteral("r%1@example.org,N%1\r\n").arg(i);
        // A padding line puts the boundary where the case says.
        const qsizetype room = (1 << 20) - bytesOf(before).size() - qsizetype(c.cutAfter);
        const qsizetype unit = c.utf16 ? 2 : 1;
        before += QStringLiteral("pad@example.org,").leftJustified(int(room / unit - 2), u'x') + QStringLiteral("\r\n");
        QString after;
        for (int i = 0; i < 5000; ++i)
            after += c.table ? QStringLiteral("M%1,s%1@example.org\r\n").arg(i) : QStringLiteral("s%1@example.org\r\n").arg(i);
        const QByteArray bytes = c.mark + bytesOf(before + c.tricky + after);
        ASSERT_EQ(bytesOf(before).size() + c.cutAfter, 1 << 20);

        QTemporaryDir dir;
        const QString path = dir.path() + "/list.txt";
        writeAll(path, bytes);

        const CsvList whole = c.table ? ParseCsvList(DecodeCsvFile(bytes)) : CsvList();
        const QStringList wholeLines = c.table ? whole.entries : SplitTextLines(DecodeListFile(bytes));
        ListFileReader reader(path);
        EXPECT_EQ(reader.isTable(), c.table);
        CsvList joined;
        CsvList piece;
        int pieces = 0;
        while (reader.next(&piece) && pieces < 100) {
            ++pieces;
            joined.entries += piece.entries;
            joined.entryLines += piece.entryLines;
            joined.refusals += piece.refusals;
            joined.header = piece.header;
        }
        EXPECT_GT(pieces, 1);
        EXPECT_EQ(joined.entries, wholeLines);
        EXPECT_EQ(joined.refusals, whole.refusals);
        EXPECT_EQ(joined.header, whole.header);
        if (c.table)
            EXPECT_EQ(joined.entryLines, whole.entryLines);
        EXPECT_EQ(joined.entryLines.value(joined.entryLines.size() - 1), whole.entryLines.value(whole.entryLines.size() - 1, int(wholeLines.size())));
    }
    CodePage::setName("CP1252");
}

// A spreadsheet's CSV: the header names the columns in any order and the address column is found
// by its name; quoted fields keep separators, doubled quotes and line breaks; each row becomes an
// entry with the other columns' values in the header's order. A value with a comma or a line
// break cannot be carried by an entry and is refused with its line, as is a row without an address.
TEST(CsvList, RowsBecomeEntries)
{
    const QString text = QStringLiteral(
        "First Name,\"E-Mail\",City\r\n"
        "Ann,ann@example.org,\"Paris\"\r\n"
        "\"Bo \"\"the\"\" Boss\",bo@example.org,\r\n"
        "\"Cy, Jr\",cy@example.org,Rome\r\n"
        "Di,\"di@example.org\",\"two\r\nlines\"\r\n"
        "Ed,not-an-address,Oslo\r\n"
        "\r\n"
        "Flo,flo@example.org,Lyon");
    EXPECT_TRUE(LooksLikeCsv(text));
    const CsvList list = ParseCsvList(text);
    EXPECT_EQ(list.addressColumn, 1);
    EXPECT_EQ(list.fieldNames(), (QStringList{"First Name", "City"}));
    EXPECT_EQ(list.entries, (QStringList{"ann@example.org,Ann,Paris", "bo@example.org,Bo \"the\" Boss", "flo@example.org,Flo,Lyon"}));
    EXPECT_EQ(list.entryLines, (QList<int>{2, 3, 9}));
    EXPECT_EQ(list.refusals, (QStringList{"Line 4: the value \"Cy, Jr\" of First Name holds a comma, which an entry cannot carry.",
                                          "Line 5: the value \"two lines\" of City holds a line break, which an entry cannot carry.",
                                          "Line 7: \"not-an-address\" is not an address."}));

    // Tab-separated, the address column named by the user, and not a list of columns at all.
    const CsvList tsv = ParseCsvList(QStringLiteral("who\tcontact\nAnn\tann@example.org\n"), QStringLiteral("Contact"));
    EXPECT_EQ(tsv.entries, QStringList{"ann@example.org,Ann"});
    EXPECT_FALSE(LooksLikeCsv(QStringLiteral("ann@example.org,Ann\nbo@example.org,Bo\n")));
    EXPECT_EQ(ParseCsvList(QStringLiteral("name,phone\nAnn,1\n")).addressColumn, -1);

    // UTF-8 with or without its mark, UTF-16 by its mark, else the code page.
    CodePage::setName("CP1252");
    EXPECT_EQ(DecodeCsvFile("\xEF\xBB\xBFM\xC3\xBCller"), QStringLiteral("M\u00fcller"));
    EXPECT_EQ(DecodeCsvFile("M\xC3\xBCller"), QStringLiteral("M\u00fcller"));
    EXPECT_EQ(DecodeCsvFile(QByteArray("\xFF\xFEM\x00\xFC\x00", 6)), QStringLiteral("M\u00fc"));
    EXPECT_EQ(DecodeCsvFile("M\xFCller"), QStringLiteral("M\u00fcller"));
}

// Placeholders may name a value by its column, in any case, beside the numbered ones.
TEST(CsvList, NamedAndNumberedPlaceholdersTogether)
{
    EmailMessage m;
    const PreparedMessage p = PrepareMessage("ann@example.org,Ann,Paris", {"Dear [= first_name =] from [= CITY =] ([= PARAM2 =])",
                                                                           "[= nickname =]|[= PARAM3 =]|"},
                                             m, {"First_Name", "city", "nickname"});
    EXPECT_EQ(p.body, (QStringList{"Dear Ann from Paris (Paris)", " | |"}));
}

// A cell a spreadsheet would run as a formula (a list value, a hostile server's refusal text) is
// written as text; every other cell as before.
TEST(CsvList, ExportWritesFormulaCellsAsText)
{
    const QByteArray csv = EntriesAsCsv({"a@example.org,=HYPERLINK(\"http://x\"),+1", "b@example.org,-2,@SUM(A1)", "c@example.org,plain,3-4"},
                                        {"name", "code"}, {"reason"}, {{"=cmd|' /C calc'!A0"}, {"ok"}, {"\rtab"}});
    EXPECT_EQ(csv, "\xEF\xBB\xBF" "email,name,code,reason\r\n"
                   "a@example.org,\"'=HYPERLINK(\"\"http://x\"\")\",'+1,'=cmd|' /C calc'!A0\r\n"
                   "b@example.org,'-2,'@SUM(A1),ok\r\n"
                   "c@example.org,plain,3-4,tab\r\n");
}
