#include "core/text/codepage.h"
#include "core/error.h"
#include "core/mail/emailmessage.h"
#include "core/mail/headerencoding.h"
#include "core/mail/htmltext.h"
#include "core/mail/messagewriter.h"
#include "core/mail/tojis.h"
#include "core/smtp/envelope.h"

#include <QRegularExpression>
#include <gtest/gtest.h>

namespace {

class MessageTest : public ::testing::Test
{
protected:
    void SetUp() override { CodePage::setName("CP1252"); }
    void TearDown() override { CodePage::setName("CP1252"); }

    static EmailMessage typical()
    {
        EmailMessage m;
        m.From = {"sender@example.com", "John"};
        m.Subject = "Hello";
        SetRecipientsText(m.Recipients, "ann@example.org");
        m.ContentType = "text/plain";
        m.Body = {"Dear Ann,", "see you."};
        m.Date = QDateTime(QDate(2026, 12, 8), QTime(0, 48, 21), Qt::OffsetFromUTC, 8 * 3600);
        return m;
    }
    // The written message with the per-message Message-ID value masked.
    static QByteArray written(const EmailMessage& m, bool eightBit = false)
    {
        QByteArray data = WriteMessage(m, {eightBit}).data;
        static const QRegularExpression id("Message-ID: <[^>\r\n]+>");
        return QString::fromLatin1(data).replace(id, "Message-ID: <ID>").toLatin1();
    }
    static QList<QByteArray> headerLines(const QByteArray& data)
    {
        return data.left(data.indexOf("\r\n\r\n")).split('\n');
    }
};

// Every header line is short enough, continuation lines start with blank, no encoded word is cut.
void expectValidHeaderBlock(const QByteArray& data)
{
    const QByteArray block = data.left(data.indexOf("\r\n\r\n") + 2);
    const QList<QByteArray> lines = block.split('\n');
    ASSERT_FALSE(lines.isEmpty());
    static const QRegularExpression word(R"(=\?[^?\s]+\?[QB]\?[^?\s]*\?=)");
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        QByteArray line = lines[i];
        ASSERT_TRUE(line.endsWith('\r')) << "bare LF in header block";
        line.chop(1);
        EXPECT_FALSE(line.isEmpty()) << "empty line inside the header block";
        EXPECT_FALSE(line.contains('\r'));
        if (i > 0 && !line.startsWith(' ') && !line.startsWith('\t'))
            EXPECT_TRUE(line.contains(":")) << line.constData();
        // Outside complete encoded words, no "=?" or "?=" may stand alone.
        const QString rest = QString::fromLatin1(line).remove(word);
        EXPECT_FALSE(rest.contains("=?")) << line.constData();
        EXPECT_LE(line.size(), 998);
    }
}

} // namespace

TEST_F(MessageTest, WritesTheHeaderBlockAndBodyInOrder)
{
    EXPECT_EQ(written(typical()), "From: \"John\" <sender@example.com>\r\n"
                                  "Subject: Hello\r\n"
                                  "To: ann@example.org\r\n"
                                  "Content-Type: text/plain; charset=\"ISO-8859-1\"\r\n"
                                  "MIME-Version: 1.0\r\n"
                                  "Content-Transfer-Encoding: 7bit\r\n"
                                  "Date: Tue, 8 Dec 2026 00:48:21 +0800\r\n"
                                  "Message-ID: <ID>\r\n"
                                  "X-Priority: 3\r\n"
                                  "X-Library: Brevora 1.0.5\r\n"
                                  "\r\n"
                                  "Dear Ann,\r\n"
                                  "see you.\r\n");
}

TEST_F(MessageTest, ReturnReceiptAndEmptySubject)
{
    EmailMessage m = typical();
    m.Subject.clear();
    m.ReceiptRecipient = m.From;
    const QByteArray data = written(m);
    EXPECT_FALSE(data.contains("Subject:"));
    EXPECT_TRUE(data.contains("\r\nDisposition-Notification-To: \"John\" <sender@example.com>\r\nDate: "));
    m.ReceiptRecipient = {};
    EXPECT_FALSE(written(m).contains("Disposition-Notification-To"));
}

TEST_F(MessageTest, FormatsAddresses)
{
    EXPECT_EQ(FormatAddress({"a@b.com", ""}), "a@b.com");
    EXPECT_EQ(FormatAddress({"a@b.com", "Say \"hi\" \\o/"}), "\"Say \\\"hi\\\" \\\\o/\" <a@b.com>");
    EXPECT_EQ(FormatAddress({"a@b.com", QStringLiteral("Caf\u00e9, Inc.")}), "=?ISO-8859-1?Q?Caf=E9=2C_Inc=2E?= <a@b.com>");
    EXPECT_EQ(FormatAddressList({{"a@b.com", ""}, {"c@d.com", "C"}}), "a@b.com, \"C\" <c@d.com>");
    EXPECT_EQ(FormatAddressList({}), "");
}

TEST_F(MessageTest, EncodesWesternSubjects)
{
    EXPECT_EQ(EncodeHeaderText(QStringLiteral("Caf\u00e9 au lait")), "=?ISO-8859-1?Q?Caf=E9?= au lait");
    EXPECT_EQ(EncodeHeaderText(QStringLiteral("Caf\u00e9 cr\u00e8me")), "=?ISO-8859-1?Q?Caf=E9_cr=E8me?=");
    EXPECT_EQ(EncodeHeaderText(QStringLiteral("plain text")), "plain text");
    EXPECT_EQ(EncodeHeaderText(QStringLiteral("a=b? \u00e9_")), "a=b? =?ISO-8859-1?Q?=E9=5F?=");
}

TEST_F(MessageTest, EncodesChineseSubjectsAsBase64Words)
{
    CodePage::setName("GBK");
    const QByteArray twoWords = EncodeHeaderText(QStringLiteral("中文 标题"));
    EXPECT_EQ(twoWords, "=?GB2312?B?" + CodePage::encode(QStringLiteral("中文 标题")).toBase64() + "?=");
    const QByteArray mixed = EncodeHeaderText(QStringLiteral("中文 and 标题"));
    EXPECT_EQ(mixed, "=?GB2312?B?" + CodePage::encode(QStringLiteral("中文")).toBase64() + "?= and =?GB2312?B?"
                         + CodePage::encode(QStringLiteral("标题")).toBase64() + "?=");
    // A long run becomes several words of at most 75 characters.
    const QByteArray longRun = EncodeHeaderText(QString(60, QChar(0x4E2D)));
    for (const QByteArray& piece : longRun.split('\n'))
        EXPECT_LE(piece.trimmed().size(), 75);
}

TEST_F(MessageTest, FoldsLongSubjectsValidly)
{
    EmailMessage m = typical();
    QString subject;
    for (int i = 0; i < 20; ++i)
        subject += "word" + QString::number(i) + ' ';
    m.Subject = subject.trimmed(); // about 110 characters
    QByteArray data = written(m);
    expectValidHeaderBlock(data);
    const QList<QByteArray> lines = headerLines(data);
    EXPECT_TRUE(lines[1].startsWith("Subject: word0 "));
    EXPECT_LE(lines[1].size(), 79);
    EXPECT_TRUE(lines[2].startsWith(' '));

    // A long encoded run starts on the Subject line itself, its first word cut to fit there: a fold
    // right after the colon leaves a blank that strict readers keep in the subject.
    m.Subject = QString(20, QChar(0x00e9));
    data = written(m);
    expectValidHeaderBlock(data);
    EXPECT_TRUE(headerLines(data)[1].startsWith("Subject: =?ISO-8859-1?Q?=E9"));
    EXPECT_LE(headerLines(data)[1].size(), 79);
    EXPECT_TRUE(headerLines(data)[2].startsWith("\t=?ISO-8859-1?Q?"));

    // Q words keep commas and full stops unencoded; a fold never lands inside the word.
    m.Subject = QStringLiteral("R\u00e9sum\u00e9, notes, and more, with \u00e9l\u00e8ves, caf\u00e9s. Also, \u00e0 bient\u00f4t, "
                               "mes amis, \u00e0 la prochaine, salut.");
    expectValidHeaderBlock(written(m));

    CodePage::setName("GBK");
    m.Subject = QString(60, QChar(0x6587));
    m.From.Name = QString(30, QChar(0x5F20)) + " & co";
    data = written(m);
    expectValidHeaderBlock(data);
    EXPECT_TRUE(data.contains("Content-Type: text/plain; charset=\"GB2312\""));
}

TEST_F(MessageTest, FoldingKeepsEncodedWordsWholeAtEveryLength)
{
    for (int n = 1; n < 90; ++n) {
        EmailMessage m = typical();
        m.Subject = QString(n, 'a') + ' ' + QStringLiteral("\u00e9t\u00e9, d\u00e9j\u00e0. ") + QString(n % 7, 'b');
        expectValidHeaderBlock(written(m));
    }
}

TEST_F(MessageTest, ChoosesTheBodyTransferEncoding)
{
    EmailMessage m = typical();
    m.Body = {QStringLiteral("Gr\u00fc\u00dfe")};
    EXPECT_TRUE(written(m, false).contains("Content-Transfer-Encoding: quoted-printable\r\n"));
    EXPECT_TRUE(written(m, false).endsWith("\r\n\r\nGr=FC=DFe\r\n"));
    const WrittenMessage eight = WriteMessage(m, {true});
    EXPECT_TRUE(eight.eightBit);
    EXPECT_TRUE(eight.data.contains("Content-Transfer-Encoding: 8bit\r\n"));
    EXPECT_TRUE(eight.data.endsWith("\r\n\r\nGr\xfc\xdf" "e\r\n"));

    // A NUL byte may not travel raw in any of the encodings; it is quoted.
    m.Body = {QStringLiteral("plain"), QString(QStringLiteral("nul:")) + QChar(0) + QStringLiteral(":end")};
    const QByteArray withNul = written(m, true);
    EXPECT_TRUE(withNul.contains("Content-Transfer-Encoding: quoted-printable\r\n"));
    EXPECT_TRUE(withNul.endsWith("\r\n\r\nplain\r\nnul:=00:end\r\n"));

    // A line longer than 998 bytes goes out quoted-printable even when it is plain ASCII.
    m.Body = {QString(2000, 'x')};
    const QByteArray longLine = written(m, true);
    EXPECT_TRUE(longLine.contains("Content-Transfer-Encoding: quoted-printable\r\n"));
    const QByteArray body = longLine.mid(longLine.indexOf("\r\n\r\n") + 4);
    for (const QByteArray& line : body.split('\n'))
        EXPECT_LE(line.size(), 77);
    EXPECT_EQ(QByteArray(body).replace("=\r\n", ""), QByteArray(2000, 'x') + "\r\n");
}

TEST_F(MessageTest, QuotedPrintableFollowsTheRules)
{
    EXPECT_EQ(QuotedPrintableLine("a=b"), "a=3Db");
    EXPECT_EQ(QuotedPrintableLine("trailing "), "trailing=20");
    EXPECT_EQ(QuotedPrintableLine("tab\tinside"), "tab\tinside");
    const QByteArray encoded = QuotedPrintableLine(QByteArray(100, '\xe9'));
    for (const QByteArray& line : encoded.split('\n'))
        EXPECT_LE(line.trimmed().size(), 76);
    EXPECT_FALSE(encoded.contains("=E=")); // never a soft break inside an escape
}

// The writer splits embedded line breaks; the session's framing for DATA doubles every dot that
// starts a line, quoted-printable ones included, and closes the data.
TEST_F(MessageTest, StuffsDotsAndSplitsEmbeddedLineBreaks)
{
    EmailMessage m = typical();
    m.Body = {".", ".hidden", "end.", "one\r\n.\r\ntwo", "lone\rcr"};
    const QByteArray data = written(m);
    EXPECT_TRUE(data.endsWith("\r\n\r\n.\r\n.hidden\r\nend.\r\none\r\n.\r\ntwo\r\nlone\r\ncr\r\n"));
    EXPECT_TRUE(DotStuffed(data).endsWith("\r\n\r\n..\r\n..hidden\r\nend.\r\none\r\n..\r\ntwo\r\nlone\r\ncr\r\n.\r\n"));
    m.Body.clear();
    EXPECT_TRUE(written(m).endsWith("X-Library: Brevora 1.0.5\r\n\r\n"));
    m.Body = {QString(".") + QString(990, 'y') + QStringLiteral("\u00e9")};
    EXPECT_TRUE(DotStuffed(written(m)).contains("\r\n\r\n..yyy"));
    EXPECT_EQ(DotStuffed(".a\r\nb\r\n"), "..a\r\nb\r\n.\r\n");
    EXPECT_EQ(DotStuffed(""), ".\r\n");
}

TEST_F(MessageTest, RefusesControlCharactersInAddresses)
{
    EmailMessage m = typical();
    m.Recipients = {{"a@b.com\r\nRCPT TO:<x@y.com>", ""}};
    EXPECT_THROW(WriteMessage(m, {}), BrevoraError);
    m = typical();
    m.From.Address = "me@x.com\n";
    EXPECT_THROW(WriteMessage(m, {}), BrevoraError);
    m = typical();
    m.ReceiptRecipient = {"me@x.com", "Evil\rName"};
    EXPECT_THROW(WriteMessage(m, {}), BrevoraError);
}

TEST_F(MessageTest, WritesJapaneseAsIso2022Jp)
{
    CodePage::setName("CP932");
    EmailMessage m = typical();
    m.Subject = QStringLiteral("日本語");
    m.Body = {QStringLiteral("こんにちは ｶﾞｲﾄﾞ")};
    const QByteArray data = written(m);
    EXPECT_TRUE(data.contains("Content-Type: text/plain; charset=\"ISO-2022-JP\""));
    EXPECT_TRUE(data.contains("Content-Transfer-Encoding: 7bit"));
    EXPECT_TRUE(data.contains("Subject: =?ISO-2022-JP?B?" + ToJis(QStringLiteral("日本語")).toBase64() + "?="));
    EXPECT_TRUE(data.endsWith("\r\n\r\n" + ToJis(QStringLiteral("こんにちは ガイド")) + "\r\n"));
    EXPECT_EQ(ToJis("abc"), "abc");
    EXPECT_EQ(ToJis(QStringLiteral("\u3042")), QByteArray("\x1b$B$\"\x1b(B"));
    EXPECT_EQ(WidenKatakana(QStringLiteral("ﾊﾟﾊﾞﾊｳﾞｱﾞ")), QStringLiteral("パバハヴア゛"));
    // Characters ISO-2022-JP cannot carry were once dropped without a word.
    for (const QString& text : {QStringLiteral("①番"), QStringLiteral("㈱会社")}) {
        try {
            ToJis(text);
            ADD_FAILURE() << "no error for " << text.toStdString();
        } catch (const BrevoraError& e) {
            EXPECT_EQ(e.kind(), ErrorKind::Usage);
            EXPECT_TRUE(e.message().contains(text.left(1))) << e.message().toStdString();
        }
    }
    // A message with such text goes as UTF-8, that message alone; the next one is JIS again.
    m.Subject = QStringLiteral("①髙橋様");
    m.Body = {QStringLiteral("㈱テスト")};
    const QByteArray utf8 = written(m);
    EXPECT_TRUE(utf8.contains("Subject: =?UTF-8?B?" + QStringLiteral("①髙橋様").toUtf8().toBase64() + "?=")) << utf8.toStdString();
    EXPECT_TRUE(utf8.contains("charset=\"UTF-8\"")) << utf8.toStdString();
    m.Subject = QStringLiteral("日本語");
    m.Body = {QStringLiteral("こんにちは")};
    EXPECT_TRUE(written(m).contains("Subject: =?ISO-2022-JP?B?"));
}

TEST_F(MessageTest, Utf8CodePageUsesUtf8Words)
{
    CodePage::setName("UTF-8");
    EXPECT_EQ(EncodeHeaderText(QStringLiteral("\u00e9")), "=?UTF-8?B?w6k=?=");
}

TEST_F(MessageTest, DatesAndMessageIds)
{
    const QDateTime t(QDate(2026, 12, 8), QTime(0, 48, 21));
    EXPECT_EQ(InternetDate(t, 8 * 3600), "Tue, 8 Dec 2026 00:48:21 +0800");
    EXPECT_EQ(InternetDate(t, -5 * 3600), "Tue, 8 Dec 2026 00:48:21 -0500");
    EXPECT_EQ(InternetDate(t, 5 * 3600 + 1800), "Tue, 8 Dec 2026 00:48:21 +0530");
    EXPECT_EQ(InternetDate(t, 0), "Tue, 8 Dec 2026 00:48:21 +0000");
    const QByteArray a = NewMessageId("me@example.com");
    const QByteArray b = NewMessageId("me@example.com");
    EXPECT_NE(a, b);
    EXPECT_TRUE(QRegularExpression("^<[0-9a-z.]+@example\\.com>$").match(QString::fromLatin1(a)).hasMatch()) << a.constData();
    EXPECT_FALSE(NewMessageId("nodomain").contains("@>"));
}

TEST_F(MessageTest, ParsesRecipientTexts)
{
    EmailAddressList list;
    SetRecipientsText(list, "  a@b.com ");
    EXPECT_EQ(list, (EmailAddressList{{"a@b.com", ""}}));
    SetRecipientsText(list, "\"Doe, John\" <j@d.com>; x@y.com (comment), <>, group: g@h.com;");
    EXPECT_EQ(list, (EmailAddressList{{"j@d.com", "Doe, John"}, {"x@y.com", ""}, {"g@h.com", ""}}));
    SetRecipientsText(list, "");
    EXPECT_TRUE(list.isEmpty());
    try {
        SetRecipientsText(list, "Name <a@b.com> @c");
        FAIL();
    } catch (const BrevoraError& e) {
        EXPECT_EQ(e.message(), "@ Outside address");
    }
}

TEST_F(MessageTest, HeaderListSetReplacesInPlace)
{
    HeaderList h;
    h.set("A", "1");
    h.set("X-Mailer", "agent");
    h.set("B", "2");
    h.set("x-mailer", "other");
    EXPECT_EQ(h.lines(), (QList<QByteArray>{"A: 1", "x-mailer: other", "B: 2"}));
    h.set("X-Mailer", "");
    EXPECT_EQ(h.lines(), (QList<QByteArray>{"A: 1", "B: 2"}));
}

namespace {

// The encoded words of a header value, each decoded by itself with the charset it names, and
// the whole text as a reader puts it together (blanks between two encoded words dropped).
struct DecodedHeader
{
    QString text;
    QStringList problems;
};

DecodedHeader decodeHeader(const QByteArray& value)
{
    DecodedHeader result;
    QByteArray unfolded = value;
    unfolded.replace("\r\n", "");
    static const QRegularExpression word(R"(=\?([^?]+)\?([QB])\?([^?]*)\?=)");
    qsizetype at = 0;
    bool lastWasWord = false;
    for (auto m = word.globalMatch(QString::fromLatin1(unfolded)); m.hasNext();) {
        const QRegularExpressionMatch match = m.next();
        const QString between = QString::fromLatin1(unfolded.mid(at, match.capturedStart() - at));
        if (!(lastWasWord && between.trimmed().isEmpty()))
            result.text += between;
        if (match.capturedLength() > 75)
            result.problems << "word longer than 75: " + match.captured(0);
        const QByteArray charset = match.captured(1).toLatin1();
        QByteArray bytes;
        if (match.captured(2) == "B") {
            bytes = QByteArray::fromBase64(match.captured(3).toLatin1());
        } else {
            const QByteArray q = match.captured(3).toLatin1();
            for (qsizetype i = 0; i < q.size(); ++i) {
                if (q[i] == '_')
                    bytes += ' ';
                else if (q[i] == '=' && i + 2 < q.size())
                    bytes += char(q.mid(++i, 2).toInt(nullptr, 16)), ++i;
                else
                    bytes += q[i];
            }
        }
        if (charset == "ISO-2022-JP" && bytes.contains("\x1b$B") && !bytes.endsWith("\x1b(B"))
            result.problems << "word does not end in ASCII: " + match.captured(0);
        const QString decoded = CodePage::decodeAs(charset, bytes);
        if (decoded.contains(QChar(0xFFFD)))
            result.problems << "word cut inside a character: " + match.captured(0);
        result.text += decoded;
        at = match.capturedEnd();
        lastWasWord = true;
    }
    result.text += QString::fromLatin1(unfolded.mid(at));
    return result;
}

} // namespace

// Mail programs decode every encoded word on its own: a word ending inside a character shows
// garbage. For each code page and every length, each word holds whole characters, in the charset
// it names, and together they give the subject.
TEST_F(MessageTest, EncodedWordsHoldWholeCharactersForEveryCodePage)
{
    const struct
    {
        QByteArray codePage;
        QString alphabet;
    } cases[] = {
        {"CP1252", QStringLiteral("Grüße aus München – “Preise” ab 5 €, naïve Idee")},
        {"GBK", QStringLiteral("中文标题测试邮件内容的长度镕")},
        {"BIG5", QStringLiteral("中華民國繁體字測試郵件主旨")},
        {"CP932", QStringLiteral("日本語のテキストですｶﾞ")},
        {"CP949", QStringLiteral("한국어 제목입니다")},
        {"UTF-8", QStringLiteral("Grüße 中文 😀 Привет")},
    };
    for (const auto& c : cases) {
        CodePage::setName(c.codePage);
        const QList<uint> points = c.alphabet.toUcs4();
        for (int length = 1; length <= 90; ++length) {
            QList<uint> chosen;
            for (int i = 0; i < length; ++i)
                chosen.append(points[i % points.size()]);
            const QString subject = QString::fromUcs4(reinterpret_cast<const char32_t*>(chosen.constData()), chosen.size());
            const QByteArray encoded = EncodeHeaderText(subject);
            const DecodedHeader decoded = decodeHeader(encoded);
            SCOPED_TRACE(c.codePage.toStdString() + " " + std::to_string(length));
            EXPECT_TRUE(decoded.problems.isEmpty()) << decoded.problems.join("; ").toStdString();
            const QString expected = HeaderCharset().jis ? WidenKatakana(subject) : subject;
            EXPECT_EQ(decoded.text, expected) << encoded.constData();
        }
    }
}

// No header line may pass 998 bytes: what can be folded is folded, what cannot is encoded, and
// only an address part too long for any command is refused.
TEST_F(MessageTest, NoHeaderLineExceeds998Bytes)
{
    const auto headerOf = [](const QByteArray& data, const QByteArray& name) {
        const QByteArray block = data.left(data.indexOf("\r\n\r\n") + 2);
        const qsizetype at = block.indexOf("\r\n" + name + ":") + 2;
        qsizetype end = block.indexOf("\r\n", at);
        while (end + 2 < block.size() && (block[end + 2] == ' ' || block[end + 2] == '\t'))
            end = block.indexOf("\r\n", end + 2);
        return block.mid(at + name.size() + 1, end - at - name.size() - 1).trimmed();
    };
    const struct
    {
        QString subject;
        QString name;
    } cases[] = {
        {QStringLiteral("\"") + QStringLiteral(" München").repeated(90), "Jo"},
        {QString(1200, 'w'), "Jo"},
        {"Hello", QStringLiteral("Name ").repeated(220).trimmed()},
        {"Hello", QString(1100, 'n')},
        {"Hello", QStringLiteral("Smith, \"J\" ").repeated(100).trimmed()},
    };
    for (const auto& c : cases) {
        EmailMessage m = typical();
        m.Subject = c.subject;
        m.From.Name = c.name;
        const QByteArray data = WriteMessage(m, {false}).data;
        const QByteArray block = data.left(data.indexOf("\r\n\r\n"));
        for (const QByteArray& line : block.split('\n'))
            EXPECT_LE(line.size(), 999) << line.left(60).constData();
        expectValidHeaderBlock(data);
        EXPECT_EQ(decodeHeader(headerOf(data, "Subject")).text, c.subject);
        const QByteArray from = headerOf(data, "From");
        QString name = decodeHeader(from.left(from.lastIndexOf(" <"))).text;
        if (name.startsWith('"'))
            name = name.mid(1, name.size() - 2).replace("\\\"", "\"");
        EXPECT_EQ(name, c.name);
    }
    EmailMessage m = typical();
    SetRecipientsText(m.Recipients, QString(1200, 'a') + "@example.org");
    EXPECT_THROW(WriteMessage(m, {false}), BrevoraError);
}

// The text alternative of an HTML body reads like the page: paragraphs apart, line breaks kept,
// links with their targets, list items marked, scripts, styles and the head gone, entities
// decoded, and no line of 78 characters or more unless it is one long word.
TEST(HtmlToText, ReadsLikeThePage)
{
    const QStringList html{
        "<html><head><title>Letter</title><style>p { color: red }</style></head>",
        "<body><h1>Monthly   letter</h1><!-- hidden -->",
        "<p>Dear Ann,<br>our <b>news</b> &amp; offers:</p>",
        "<ul><li>Caf&eacute; opens &#8211; at 9</li><li>See <a href=\"https://example.com/menu?a=1&amp;b=2\">the menu</a></li></ul>",
        "<script>alert('x')</script><p>Write to <a href='mailto:ann@example.com'>ann@example.com</a> or visit",
        "<a href=\"https://example.com\">https://example.com</a>.</p>",
        "<p>" + QString("word ").repeated(30) + "</p>",
        "<p>https://example.com/" + QString(90, 'x') + "</p></body></html>"};
    const QStringList expected{"Monthly letter",
                               "",
                               "Dear Ann,",
                               "our news & offers:",
                               "",
                               QStringLiteral("- Caf\u00e9 opens \u2013 at 9"),
                               "- See the menu (https://example.com/menu?a=1&b=2)",
                               "",
                               "Write to ann@example.com or visit https://example.com.",
                               "",
                               QString("word ").repeated(15).trimmed(),
                               QString("word ").repeated(15).trimmed(),
                               "",
                               "https://example.com/" + QString(90, 'x')};
    EXPECT_EQ(HtmlToText(html), expected);
    for (const QString& line : HtmlToText(html))
        EXPECT_TRUE(line.size() < 78 || !line.contains(' ')) << line.toStdString();
}

// An HTML message with a text alternative is multipart/alternative: the text part first, then
// the HTML, each with its own charset and transfer encoding; the boundary ends it.
TEST_F(MessageTest, HtmlWithTextAlternativeIsMultipart)
{
    EmailMessage m = typical();
    m.ContentType = "text/html";
    m.Body = {QStringLiteral("<p>Gr\u00fc\u00dfe</p>")};
    m.TextAlternative = {QStringLiteral("Gr\u00fc\u00dfe")};
    const QByteArray data = WriteMessage(m, {false}).data;
    const qsizetype at = data.indexOf("boundary=\"") + 10;
    ASSERT_GT(at, 10);
    const QByteArray boundary = data.mid(at, data.indexOf('"', at) - at);
    EXPECT_TRUE(data.contains("Content-Type: multipart/alternative; boundary=\"" + boundary + "\"\r\nMIME-Version: 1.0\r\n"
                              "Content-Transfer-Encoding: 7bit\r\n")) << data.toStdString();
    EXPECT_TRUE(data.endsWith("\r\n\r\n--" + boundary + "\r\nContent-Type: text/plain; charset=\"ISO-8859-1\"\r\n"
                              "Content-Transfer-Encoding: quoted-printable\r\n\r\nGr=FC=DFe\r\n--" + boundary + "\r\n"
                              "Content-Type: text/html; charset=\"ISO-8859-1\"\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
                              "<p>Gr=FC=DFe</p>\r\n--" + boundary + "--\r\n"))
        << data.toStdString();
}
