#include "core/mail/headerencoding.h"

#include "core/text/codepage.h"
#include "core/mail/tojis.h"

#include <ctime>

namespace {

const QByteArray kRfc822Specials("\"(),.:;<>@[]\\");
// The longest word left as it stands: longer ones could never be folded under 78 columns.
constexpr qsizetype kLongestWord = 75;

bool isWhite(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool inEncodeSet(unsigned char c, const QByteArray& extra)
{
    return c < 0x20 || c >= 0x7F || extra.contains(char(c));
}

// Length of a well-formed encoded word "=?charset?X?text?=" starting at pos, or 0.
qsizetype encodedWordLength(const QByteArray& s, qsizetype pos)
{
    if (!s.mid(pos, 2).startsWith("=?"))
        return 0;
    const qsizetype q1 = s.indexOf('?', pos + 2);
    if (q1 < 0 || q1 + 2 >= s.size() || s.at(q1 + 2) != '?')
        return 0;
    const qsizetype end = s.indexOf("?=", q1 + 3);
    if (end < 0)
        return 0;
    for (qsizetype i = pos; i < end; ++i)
        if (isWhite(s.at(i)))
            return 0;
    return end + 2 - pos;
}

} // namespace

HeaderCharsetInfo HeaderCharsetFor(const QByteArray& codePage)
{
    const QByteArray cp = codePage.toUpper();
    if (cp == "GBK" || cp == "CP936" || cp == "GB2312" || cp == "GB18030")
        return {"GB2312", 'B', false};
    if (cp == "BIG5" || cp == "CP950")
        return {"Big5", 'B', false};
    if (cp == "CP932" || cp == "SHIFT_JIS" || cp == "SJIS")
        return {"ISO-2022-JP", 'B', true};
    if (cp == "CP949" || cp == "EUC-KR")
        return {"EUC-KR", 'B', false};
    if (cp == "CP1252" || cp == "WINDOWS-1252" || cp == "ISO-8859-1" || cp == "LATIN1")
        return {"ISO-8859-1", 'Q', false};
    if (cp == "UTF-8" || cp == "UTF8")
        return {"UTF-8", 'B', false};
    return {cp, 'B', false};
}

HeaderCharsetInfo HeaderCharset()
{
    thread_local QByteArray cachedFor;
    thread_local HeaderCharsetInfo cached;
    const QByteArray cp = CodePage::name();
    if (cp != cachedFor) {
        cached = HeaderCharsetFor(cp);
        cachedFor = cp;
    }
    return cached;
}

QByteArray CharsetLabel(const QByteArray& bytes)
{
    const HeaderCharsetInfo charset = HeaderCharset();
    // The usual label stays whenever it is true; the wider one only for text that needs it.
    if (charset.name == "ISO-8859-1") {
        for (char c : bytes) {
            const auto b = static_cast<unsigned char>(c);
            if (b >= 0x80 && b <= 0x9F)
                return "windows-1252";
        }
    } else if (charset.name == "GB2312") {
        for (qsizetype i = 0; i < bytes.size(); ++i) {
            const auto lead = static_cast<unsigned char>(bytes[i]);
            if (lead < 0x80)
                continue;
            const auto trail = i + 1 < bytes.size() ? static_cast<unsigned char>(bytes[i + 1]) : 0;
            if (lead < 0xA1 || lead > 0xF7 || trail < 0xA1 || trail > 0xFE)
                return "GBK";
            ++i;
        }
    }
    return charset.name;
}

namespace {

// The length of a word's encoded text (without "=?charset?X?" and "?=").
qsizetype encodedTextLength(const QByteArray& bytes, char letter, const QByteArray& quoteSet, const QByteArray& extra)
{
    if (letter == 'B')
        return (bytes.size() + 2) / 3 * 4;
    qsizetype n = 0;
    for (char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        n += c == ' ' || (!inEncodeSet(c, extra) && !quoteSet.contains(ch)) ? 1 : 3;
    }
    return n;
}

QByteArray encodedText(const QByteArray& bytes, char letter, const QByteArray& quoteSet, const QByteArray& extra)
{
    if (letter == 'B')
        return bytes.toBase64();
    QByteArray out;
    for (char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == ' ')
            out += '_';
        else if (!inEncodeSet(c, extra) && !quoteSet.contains(ch))
            out += ch;
        else
            out += '=' + QByteArray::number(c, 16).toUpper().rightJustified(2, '0');
    }
    return out;
}

// A run of words as encoded words of at most 75 characters, joined by folds. Each word holds
// whole characters only (with ISO-2022-JP it starts and ends in ASCII), as RFC 2047 section 5
// asks: mail programs decode each word on its own.
QByteArray encodeRun(const QString& run, const QByteArray& extra, qsizetype column)
{
    const HeaderCharsetInfo charset = HeaderCharset();
    const QString text = charset.jis ? WidenKatakana(run) : run;
    const QByteArray label = charset.jis ? charset.name : CharsetLabel(CodePage::encode(text));
    const QByteArray opening = "=?" + label + '?' + charset.letter + '?';
    const qsizetype fullBudget = 75 - opening.size() - 2;
    // The first word fits the rest of its line when there is room for a few characters there,
    // so that the folder need not break between the header's name and its text.
    const qsizetype roomOnLine = 78 - column - opening.size() - 2;
    qsizetype budget = roomOnLine >= 8 ? qMin(fullBudget, roomOnLine) : fullBudget;
    const QByteArray quoteSet = extra + "=?_";
    const auto bytesOf = [&charset](QStringView piece) {
        return charset.jis ? ToJis(piece.toString()) : CodePage::encode(piece.toString());
    };

    QList<QByteArray> words;
    qsizetype chunkStart = 0;
    QByteArray chunk; // the bytes of text[chunkStart, i)
    for (qsizetype i = 0; i < text.size();) {
        const qsizetype unit = text[i].isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
        // ISO-2022-JP bytes depend on what precedes them: the chunk is converted whole.
        const QByteArray tentative = charset.jis ? bytesOf(QStringView(text).mid(chunkStart, i + unit - chunkStart))
                                                 : chunk + bytesOf(QStringView(text).mid(i, unit));
        if (i > chunkStart && encodedTextLength(tentative, charset.letter, quoteSet, extra) > budget) {
            words.append(chunk);
            budget = fullBudget;
            chunkStart = i;
            chunk = bytesOf(QStringView(text).mid(i, unit));
        } else {
            chunk = tentative;
        }
        i += unit;
    }
    words.append(chunk);
    QByteArray out;
    for (const QByteArray& word : words) {
        if (!out.isEmpty())
            out += "\r\n\t";
        out += opening + encodedText(word, charset.letter, quoteSet, extra) + "?=";
    }
    return out;
}

bool needsEncoding(QChar c, const QByteArray& extra)
{
    const char16_t u = c.unicode();
    return u < 0x20 || u >= 0x7F || extra.contains(char(u));
}

bool isWhiteChar(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\r') || c == QLatin1Char('\n');
}

} // namespace

QByteArray EncodeHeaderText(const QString& text, const QByteArray& extra, qsizetype startColumn)
{
    bool any = false;
    qsizetype wordLength = 0;
    for (QChar c : text) {
        wordLength = isWhiteChar(c) ? 0 : wordLength + 1;
        if (needsEncoding(c, extra) || wordLength > kLongestWord) {
            any = true;
            break;
        }
    }
    if (!any)
        return text.toLatin1();
    // Every message of a run asks for the same subject: the last answer is kept.
    thread_local QString cachedText;
    thread_local QByteArray cachedExtra;
    thread_local QByteArray cachedCodePage;
    thread_local QByteArray cached;
    const QByteArray codePage = CodePage::name();
    thread_local qsizetype cachedColumn = 0;
    if (!cached.isEmpty() && text == cachedText && extra == cachedExtra && codePage == cachedCodePage
        && startColumn == cachedColumn)
        return cached;

    QByteArray out;
    QString run;
    bool runOpen = false;
    const auto closeRun = [&] {
        const qsizetype lastFold = out.lastIndexOf('\n');
        if (runOpen)
            out += encodeRun(run, extra, lastFold < 0 ? startColumn + out.size() : out.size() - lastFold);
        run.clear();
        runOpen = false;
    };
    qsizetype i = 0;
    while (i < text.size()) {
        const qsizetype wordStart = i;
        while (i < text.size() && isWhiteChar(text[i]))
            ++i;
        const qsizetype coreStart = i;
        bool needs = false;
        while (i < text.size() && !isWhiteChar(text[i])) {
            needs = needs || needsEncoding(text[i], extra);
            ++i;
        }
        // A word too long for a line cannot be folded: as encoded words it can.
        needs = needs || i - coreStart > kLongestWord;
        const QString white = text.mid(wordStart, coreStart - wordStart);
        const QString core = text.mid(coreStart, i - coreStart);
        if (!needs) {
            closeRun();
            out += (white + core).toLatin1();
        } else if (!runOpen) {
            out += white.toLatin1();
            run = core;
            runOpen = true;
        } else {
            run += white + core;
        }
    }
    closeRun();
    cachedText = text;
    cachedExtra = extra;
    cachedCodePage = codePage;
    cachedColumn = startColumn;
    cached = out;
    return out;
}

QByteArray FormatMailbox(const QString& address, const QString& name)
{
    const QByteArray addr = CodePage::encode(address);
    if (name.isEmpty())
        return addr;
    bool nonAscii = false;
    for (QChar c : name)
        nonAscii = nonAscii || c.unicode() < 0x20 || c.unicode() >= 0x7F;
    // A quoted name cannot be folded: a long one goes as atoms and encoded words, which can.
    if (nonAscii || name.size() > kLongestWord - 2)
        return EncodeHeaderText(name, kRfc822Specials) + " <" + addr + '>';
    QByteArray quoted = "\"";
    for (char c : name.toLatin1()) {
        if (c == '\\' || c == '"')
            quoted += '\\';
        quoted += c;
    }
    return quoted + "\" <" + addr + '>';
}

QByteArray InternetDate(const QDateTime& t, int offsetSeconds)
{
    static const char* days[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    static const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const QDate d = t.date();
    const QTime tm = t.time();
    const int offsetMinutes = offsetSeconds / 60;
    const int absMinutes = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s, %d %s %d %02d:%02d:%02d %c%02d%02d", days[d.dayOfWeek() - 1], d.day(),
                  months[d.month() - 1], d.year(), tm.hour(), tm.minute(), tm.second(), offsetMinutes < 0 ? '-' : '+',
                  absMinutes / 60, absMinutes % 60);
    return QByteArray(buffer);
}

QByteArray InternetDateNow()
{
    // Every message of a run asks for it; the text changes once a second.
    thread_local std::time_t cachedAt = -1;
    thread_local QByteArray cached;
    const std::time_t now = std::time(nullptr);
    if (now == cachedAt)
        return cached;
    std::tm local{};
    localtime_r(&now, &local);
    const QDateTime t(QDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday),
                      QTime(local.tm_hour, local.tm_min, local.tm_sec));
    cached = InternetDate(t, int(local.tm_gmtoff));
    cachedAt = now;
    return cached;
}

QList<QByteArray> FoldHeaderLine(const QByteArray& line)
{
    constexpr qsizetype kMaxColumn = 78;
    if (line.size() <= kMaxColumn && !line.contains('\r') && !line.contains('\n')) {
        QByteArray only = line;
        while (!only.isEmpty() && static_cast<unsigned char>(only.back()) <= 0x20)
            only.chop(1);
        return {only};
    }
    // Quotes group text only in address headers; in a subject a lone quote is just a character.
    static const QList<QByteArray> addressHeaders{"from", "to", "cc", "bcc", "reply-to", "sender",
                                                  "disposition-notification-to"};
    const bool quotesMatter = addressHeaders.contains(line.left(qMax<qsizetype>(0, line.indexOf(':'))).trimmed().toLower());
    QList<QByteArray> pieces;
    qsizetype lineStart = 0;
    qsizetype column = 0; // bytes on the current output line so far
    qsizetype breakAt = -1;
    bool quoted = false;
    bool continuation = false; // the current output line is a continuation

    auto flushPiece = [&](qsizetype endExclusive) {
        QByteArray piece = line.mid(lineStart, endExclusive - lineStart);
        if (continuation && !piece.startsWith(' ') && !piece.startsWith('\t'))
            piece.prepend(' ');
        while (!piece.isEmpty() && static_cast<unsigned char>(piece.back()) <= 0x20)
            piece.chop(1);
        if (!piece.trimmed().isEmpty())
            pieces.append(piece);
    };

    qsizetype i = 0;
    while (i < line.size()) {
        const char c = line.at(i);
        // An existing fold: CR LF followed by whitespace starts a continuation line as it stands.
        if (!quoted && c == '\r' && i + 2 < line.size() && line.at(i + 1) == '\n'
            && (line.at(i + 2) == ' ' || line.at(i + 2) == '\t')) {
            flushPiece(i);
            lineStart = i + 2;
            continuation = true;
            column = 0;
            breakAt = -1;
            i += 2;
            continue;
        }
        qsizetype unit = 1;
        if (CodePage::isLeadByte(static_cast<unsigned char>(c)) && i + 1 < line.size())
            unit = 2;
        else if (!quoted && c == '=')
            unit = std::max<qsizetype>(1, encodedWordLength(line, i));
        else if (c == '"' && quotesMatter)
            quoted = !quoted;
        else if (!quoted && (c == ' ' || c == '\t' || c == ','))
            breakAt = i;
        // Control characters other than a fold never reach the output as line ends.
        column += unit;
        i += unit;
        if (!quoted && column > kMaxColumn && breakAt > lineStart) {
            flushPiece(breakAt + 1);
            lineStart = breakAt + 1;
            continuation = true;
            // The new line is the fold's space plus what follows the break.
            column = 1 + (i - lineStart);
            breakAt = -1;
        }
    }
    flushPiece(line.size());
    // A lone CR or LF left inside a piece would end the header line early.
    for (QByteArray& piece : pieces) {
        piece.replace('\r', ' ');
        piece.replace('\n', ' ');
    }
    return pieces;
}
