#include "core/text/codepage.h"
#include "core/error.h"
#include "core/text/textutil.h"

#include <gtest/gtest.h>

TEST(IsValidEmail, AcceptsPlausibleAddresses)
{
    EXPECT_TRUE(IsValidEmail("a@b.c"));
    EXPECT_TRUE(IsValidEmail("john.doe@mail.example.com"));
    // Only the first dot of the domain is examined.
    EXPECT_TRUE(IsValidEmail("a@b.c."));
}

TEST(IsValidEmail, RefusesImplausibleTokens)
{
    for (const char* token : {"", "   ", "ab.c", "@b.c", "a@", "a@b@c.d", "a@bc", "a@.bc", "a@bc.", "a b@c.d",
                              "a?b@c.d", "a@b.c]", "(a)@b.c", "mailto:a@b.c", "a@b"})
        EXPECT_FALSE(IsValidEmail(QString::fromLatin1(token))) << token;
    EXPECT_FALSE(IsValidEmail(QStringLiteral("m\u00fcller@b.de")));
}

TEST(SplitString, KeepsEveryPiece)
{
    EXPECT_EQ(SplitString("", ","), QStringList{""});
    EXPECT_EQ(SplitString("a,", ","), (QStringList{"a", ""}));
    EXPECT_EQ(SplitString("a,,b", ","), (QStringList{"a", "", "b"}));
    EXPECT_EQ(SplitString(" a , b", ","), (QStringList{" a ", " b"}));
    const QString longPiece(500, QChar('x'));
    EXPECT_EQ(SplitString(longPiece + ",y", ","), (QStringList{longPiece, "y"}));
    EXPECT_EQ(SplitString("a::b::", "::"), (QStringList{"a", "b", ""}));
}

TEST(RemoveSpaces, RemovesOnlySpaces)
{
    EXPECT_EQ(RemoveSpaces("   "), "");
    EXPECT_EQ(RemoveSpaces(" a b\tc "), "ab\tc");
}

TEST(ReplaceInLines, ReplacesLeftToRightWithoutRescanning)
{
    QStringList empty;
    ReplaceInLines(empty, "x", "y", int(ReplaceFlag::All));
    EXPECT_TRUE(empty.isEmpty());

    QStringList lines{"aXa xa", "none"};
    ReplaceInLines(lines, "xa", "", int(ReplaceFlag::All) | int(ReplaceFlag::IgnoreCase));
    EXPECT_EQ(lines, (QStringList{"a ", "none"}));

    // The inserted text holds the pattern again; it is not replaced a second time.
    QStringList nested{"ab"};
    ReplaceInLines(nested, "a", "aa", int(ReplaceFlag::All));
    EXPECT_EQ(nested, QStringList{"aab"});

    // Patterns that start without letters are still matched without regard to case.
    QStringList placeholders{"[= [= param1 =] [= PaRaM1 =][= PARAM1="};
    ReplaceInLines(placeholders, "[= PARAM1 =]", "x", int(ReplaceFlag::All) | int(ReplaceFlag::IgnoreCase));
    EXPECT_EQ(placeholders, QStringList{"[= x x[= PARAM1="});
    // Characters outside ASCII still fold as Unicode says (the Kelvin sign is a K).
    QStringList folded{u"[= \u212Aey =] [= KEX =] [= \u00C9t\u00E9 =]"_qs};
    ReplaceInLines(folded, "[= key =]", "k", int(ReplaceFlag::All) | int(ReplaceFlag::IgnoreCase));
    ReplaceInLines(folded, u"[= \u00E9T\u00C9 =]"_qs, "e", int(ReplaceFlag::All) | int(ReplaceFlag::IgnoreCase));
    EXPECT_EQ(folded, QStringList{"k [= KEX =] e"});

    QStringList first{"a a a"};
    ReplaceInLines(first, "a", "b", 0);
    EXPECT_EQ(first, QStringList{"b a a"});
}

TEST(Password, EncodesToKnownTextAndBack)
{
    EXPECT_EQ(EncodePassword("ab"), "4251");
    EXPECT_EQ(EncodePassword(""), "");
    EXPECT_EQ(DecodePassword("4251"), "ab");
    EXPECT_EQ(DecodePassword("4251" "7"), "ab"); // an odd last character is ignored
    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all.append(char(i));
    const QByteArray encoded = EncodePassword(all);
    EXPECT_EQ(encoded.size(), 512);
    EXPECT_EQ(encoded, encoded.toUpper());
    EXPECT_FALSE(encoded.contains(','));
    EXPECT_EQ(DecodePassword(encoded), all);
    EXPECT_EQ(DecodePassword(encoded.toLower()), all);
}

TEST(Password, BadPairGivesConversionError)
{
    try {
        DecodePassword("42ZZ");
        FAIL();
    } catch (const BrevoraError& e) {
        EXPECT_EQ(e.message(), "'$ZZ' is not a valid integer value");
    }
}

TEST(CodePage, FollowsTheLocaleLanguage)
{
    EXPECT_EQ(CodePage::forLocale("zh_CN.UTF-8"), "GBK");
    EXPECT_EQ(CodePage::forLocale("zh_SG"), "GBK");
    EXPECT_EQ(CodePage::forLocale("zh_TW.UTF-8"), "BIG5");
    EXPECT_EQ(CodePage::forLocale("ja_JP.UTF-8"), "CP932");
    EXPECT_EQ(CodePage::forLocale("ko_KR"), "CP949");
    EXPECT_EQ(CodePage::forLocale("de_DE.UTF-8"), "CP1252");
    EXPECT_EQ(CodePage::forLocale("C.UTF-8"), "CP1252");
    EXPECT_EQ(CodePage::forLocale(""), "CP1252");
}

TEST(CodePage, ConvertsAndRefusesWhatItCannotHold)
{
    CodePage::setName("CP1252");
    EXPECT_EQ(CodePage::encode(QStringLiteral("Caf\u00e9 \u20ac")), QByteArray("Caf\xe9 \x80"));
    EXPECT_EQ(CodePage::decode(QByteArray("Caf\xe9")), QStringLiteral("Caf\u00e9"));
    try {
        CodePage::encode(QStringLiteral("\u4e2d"));
        FAIL();
    } catch (const BrevoraError& e) {
        EXPECT_TRUE(e.message().contains("CP1252")) << e.message().toStdString();
    }
    QChar bad;
    EXPECT_FALSE(CodePage::canEncode(QStringLiteral("ok\u4e2d"), &bad));
    EXPECT_EQ(bad, QChar(0x4e2d));
    EXPECT_EQ(CodePage::encodeAs("GBK", QStringLiteral("基本")), QByteArray("\xBB\xF9\xB1\xBE"));
    CodePage::setName("GBK");
    EXPECT_TRUE(CodePage::isLeadByte(0xB0));
    EXPECT_FALSE(CodePage::isLeadByte('A'));
    // Bytes the code page does not define become a replacement character, nothing more is lost.
    EXPECT_EQ(CodePage::decode(QByteArray("a\xFF" "b")), QStringLiteral("a\uFFFDb"));
    CodePage::setName("CP1252");
}

TEST(ParseInteger, AcceptsOnlyWholeNumbers)
{
    EXPECT_EQ(ParseInteger("25"), 25);
    EXPECT_EQ(ParseInteger("-3"), -3);
    EXPECT_EQ(ParseInteger("0x1F"), 31);
    EXPECT_EQ(ParseInteger("$ff"), 255);
    for (const char* bad : {"", " 25", "25 ", "2x5", "0x", "$ 1F", "99999999999", "+"})
        EXPECT_FALSE(ParseInteger(QString::fromLatin1(bad)).has_value()) << bad;
}

// Text from a list or a server never acts on a terminal: controls are escaped, TAB stays, and
// joined text is one line.
TEST(PrintableText, EscapesControlsAndJoinsLines)
{
    EXPECT_EQ(PrintableText(QStringLiteral("a\x1b[2Jb") + QChar(0) + "c\td", false), "a\\x1b[2Jb\\x00c\td");
    EXPECT_EQ(PrintableText("Sending failed: x--5.1.1 a\r\n5.1.1 b\r\n", true), "Sending failed: x--5.1.1 a 5.1.1 b");
    EXPECT_EQ(PrintableText("one\r\ntwo\rthree\nfour\r\n", false), "one\ntwo\nthree\nfour\n");
    EXPECT_EQ(PrintableText(QString(QChar(0x9B)) + "x", true), "\\x9bx"); // the 8-bit CSI
}
