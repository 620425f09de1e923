#include "core/mail/headerencoding.h"

#include "core/text/codepage.h"
#include "core/mail/emailmessage.h"
#include "core/mail/tojis.h"

#include <ctime>

namespace {

const QByteArray kRfc822Specials("\"(),.:;<>@[]\\");

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

QByteArray MessageBytes(const QString& text)
{
    return HeaderCharset().jis ? ToJis(text) : CodePage::encode(text);
}

QByteArray EncodeHeaderText(const QByteArray& text, const QByteArray& extra, const HeaderCharsetInfo& charset)
{
    bool any = false;
    for (char c : text)
        if (inEncodeSet(static_cast<unsigned char>(c), extra)) {
            any = true;
            break;
        }
    if (!any)
        return text;

    const QByteArray opening = "=?" + charset.name + '?' + charset.letter + '?';
    const QByteArray closing = "?=";
    QByteArray quoteSet = extra + "=?_";
    QByteArray out;
    QByteArray run;
    bool runOpen = false;

    auto closeRun = [&]() {
        if (!runOpen)
            return;
        out += opening;
        qsizetype count = opening.size() + 2;
        auto wrapIfNeeded = [&](qsizetype pieceLength) {
            if (count + pieceLength > 75) {
                out += closing + "\r\n\t" + opening;
                count = opening.size() + 2;
            }
        };
        if (charset.letter == 'Q') {
            for (char ch : run) {
                const auto c = static_cast<unsigned char>(ch);
                QByteArray piece;
                if (c == ' ')
                    piece = "_";
                else if (!inEncodeSet(c, extra) && !quoteSet.contains(ch))
                    piece = QByteArray(1, ch);
                else
                    piece = '=' + QByteArray::number(c, 16).toUpper().rightJustified(2, '0');
                wrapIfNeeded(piece.size());
                out += piece;
                count += piece.size();
            }
        } else {
            for (qsizetype i = 0; i < run.size(); i += 3) {
                wrapIfNeeded(4);
                out += run.mid(i, 3).toBase64();
                count += 4;
            }
        }
        out += closing;
        run.clear();
        runOpen = false;
    };

    qsizetype i = 0;
    while (i < text.size()) {
        const qsizetype wordStart = i;
        while (i < text.size() && isWhite(text.at(i)))
            ++i;
        const qsizetype coreStart = i;
        bool needs = false;
        while (i < text.size() && !isWhite(text.at(i))) {
            needs = needs || inEncodeSet(static_cast<unsigned char>(text.at(i)), extra);
            ++i;
        }
        const QByteArray white = text.mid(wordStart, coreStart - wordStart);
        const QByteArray core = text.mid(coreStart, i - coreStart);
        if (!needs) {
            closeRun();
            out += white + core;
        } else if (!runOpen) {
            out += white;
            run = core;
            runOpen = true;
        } else {
            run += white + core;
        }
    }
    closeRun();
    return out;
}

QByteArray EncodeHeaderText(const QString& text, const QByteArray& extraSpecials)
{
    return EncodeHeaderText(MessageBytes(text), extraSpecials, HeaderCharset());
}

QByteArray FormatAddress(const EmailAddress& address)
{
    const QByteArray addr = CodePage::encode(address.Address);
    if (address.Name.isEmpty())
        return addr;
    const QByteArray name = MessageBytes(address.Name);
    bool needsEncoding = false;
    for (char c : name) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b >= 0x7F) {
            needsEncoding = true;
            break;
        }
    }
    if (needsEncoding)
        return EncodeHeaderText(name, kRfc822Specials, HeaderCharset()) + " <" + addr + '>';
    QByteArray quoted = "\"";
    for (char c : name) {
        if (c == '\\' || c == '"')
            quoted += '\\';
        quoted += c;
    }
    return quoted + "\" <" + addr + '>';
}

QByteArray FormatAddressList(const QList<EmailAddress>& list)
{
    QByteArray out;
    for (const EmailAddress& a : list) {
        if (!out.isEmpty())
            out += ", ";
        out += FormatAddress(a);
    }
    return out;
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
        else if (c == '"')
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
