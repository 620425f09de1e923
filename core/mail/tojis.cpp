#include "core/mail/tojis.h"

#include "core/text/codepage.h"

namespace {

// Full-width forms of U+FF61 to U+FF9F, in order.
const char16_t kFullWidth[] = {
    0x3002, 0x300C, 0x300D, 0x3001, 0x30FB, 0x30F2, 0x30A1, 0x30A3, 0x30A5, 0x30A7, 0x30A9, 0x30E3, 0x30E5,
    0x30E7, 0x30C3, 0x30FC, 0x30A2, 0x30A4, 0x30A6, 0x30A8, 0x30AA, 0x30AB, 0x30AD, 0x30AF, 0x30B1, 0x30B3,
    0x30B5, 0x30B7, 0x30B9, 0x30BB, 0x30BD, 0x30BF, 0x30C1, 0x30C4, 0x30C6, 0x30C8, 0x30CA, 0x30CB, 0x30CC,
    0x30CD, 0x30CE, 0x30CF, 0x30D2, 0x30D5, 0x30D8, 0x30DB, 0x30DE, 0x30DF, 0x30E0, 0x30E1, 0x30E2, 0x30E4,
    0x30E6, 0x30E8, 0x30E9, 0x30EA, 0x30EB, 0x30EC, 0x30ED, 0x30EF, 0x30F3, 0x309B, 0x309C,
};

constexpr char16_t kVoicedMark = 0xFF9E;
constexpr char16_t kSemiVoicedMark = 0xFF9F;

bool takesVoicedMark(char16_t half)
{
    return (half >= 0xFF76 && half <= 0xFF84) || (half >= 0xFF8A && half <= 0xFF8E) || half == 0xFF73;
}

bool takesSemiVoicedMark(char16_t half)
{
    return half >= 0xFF8A && half <= 0xFF8E;
}

} // namespace

QString WidenKatakana(const QString& text)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (c < 0xFF61 || c > 0xFF9F) {
            out += QChar(c);
            continue;
        }
        char16_t full = kFullWidth[c - 0xFF61];
        const char16_t next = i + 1 < text.size() ? text.at(i + 1).unicode() : 0;
        if (next == kVoicedMark && takesVoicedMark(c)) {
            full = c == 0xFF73 ? char16_t(0x30F4) : char16_t(full + 1);
            ++i;
        } else if (next == kSemiVoicedMark && takesSemiVoicedMark(c)) {
            full = char16_t(full + 2);
            ++i;
        }
        out += QChar(full);
    }
    return out;
}

QByteArray ToJis(const QString& text)
{
    // A character outside JIS X 0208 (circled digits, the company sign and the like, which the
    // Windows code page has) is an error that names it: dropped, the text would say something else.
    return CodePage::encodeAs("ISO-2022-JP", WidenKatakana(text));
}
