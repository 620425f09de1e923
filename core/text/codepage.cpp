#include "core/text/codepage.h"

#include "core/error.h"

#include <QHash>
#include <cerrno>
#include <iconv.h>
#include <atomic>
#include <mutex>
#include <utility>

namespace {

std::mutex g_nameMutex;
QByteArray g_name;

// Which bytes start a two-byte character, decided once per code page: it is asked for every
// byte of every header line.
enum class LeadBytes { None, Range81FE, ShiftJis };
std::atomic<LeadBytes> g_leadBytes{LeadBytes::None};

LeadBytes leadBytesOf(const QByteArray& cp)
{
    if (cp == "GBK" || cp == "CP936" || cp == "GB18030" || cp == "BIG5" || cp == "CP950" || cp == "CP949"
        || cp == "EUC-KR")
        return LeadBytes::Range81FE;
    if (cp == "CP932" || cp == "SHIFT_JIS" || cp == "SJIS")
        return LeadBytes::ShiftJis;
    return LeadBytes::None;
}

QByteArray localeName()
{
    for (const char* var : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const QByteArray value = qgetenv(var);
        if (!value.isEmpty())
            return value;
    }
    return {};
}

bool isAsciiCompatible(const QByteArray& name)
{
    if (name.isEmpty() || (name.front() != 'I' && name.front() != 'U'))
        return true;
    return name != "ISO-2022-JP" && !name.startsWith("UTF-16") && !name.startsWith("UTF-32")
        && !name.startsWith("UCS");
}

// One converter per direction and encoding, kept for the thread's life (and closed with it):
// opening one costs more than converting a typical header.
struct ConverterCache
{
    QHash<QByteArray, iconv_t> handles;
    ~ConverterCache()
    {
        for (iconv_t cd : std::as_const(handles))
            iconv_close(cd);
    }
};

iconv_t converter(const QByteArray& from, const QByteArray& to)
{
    thread_local ConverterCache converters;
    QHash<QByteArray, iconv_t>& cache = converters.handles;
    const QByteArray key = from + '>' + to;
    auto it = cache.find(key);
    if (it != cache.end()) {
        iconv(*it, nullptr, nullptr, nullptr, nullptr);
        return *it;
    }
    iconv_t cd = iconv_open(to.constData(), from.constData());
    if (cd == reinterpret_cast<iconv_t>(-1))
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("The code page %1 is not supported.").arg(QString::fromLatin1(to == "UTF-8" ? from : to)));
    cache.insert(key, cd);
    return cd;
}

// Converts a whole buffer; returns false at the first input that cannot be converted, with its
// offset in *failedAt.
bool convert(iconv_t cd, const QByteArray& in, QByteArray& out, qsizetype* failedAt, bool flush)
{
    out.resize(in.size() * 4 + 16);
    char* inPtr = const_cast<char*>(in.constData());
    size_t inLeft = size_t(in.size());
    char* outPtr = out.data();
    size_t outLeft = size_t(out.size());
    while (inLeft > 0) {
        if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == size_t(-1)) {
            if (errno == E2BIG) {
                const qsizetype used = outPtr - out.data();
                out.resize(out.size() * 2);
                outPtr = out.data() + used;
                outLeft = size_t(out.size() - used);
                continue;
            }
            *failedAt = inPtr - in.constData();
            out.resize(outPtr - out.data());
            return false;
        }
    }
    if (flush) {
        if (outLeft < 16) {
            const qsizetype used = outPtr - out.data();
            out.resize(out.size() + 16);
            outPtr = out.data() + used;
            outLeft = size_t(out.size() - used);
        }
        iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
    }
    out.resize(outPtr - out.data());
    return true;
}

bool isAscii(const QString& text)
{
    char16_t all = 0; // a plain loop the compiler turns into wide operations
    for (QChar c : text)
        all |= c.unicode();
    return all < 0x80;
}

} // namespace

namespace CodePage {

QByteArray forLocale(const QByteArray& locale)
{
    const QByteArray lower = locale.toLower();
    const QByteArray language = lower.left(lower.indexOf('_') < 0 ? lower.indexOf('.') : lower.indexOf('_'));
    const QByteArray lang = language.isEmpty() ? lower.left(2) : language;
    if (lang == "zh") {
        if (lower.startsWith("zh_cn") || lower.startsWith("zh_sg"))
            return "GBK";
        return "BIG5";
    }
    if (lang == "ja")
        return "CP932";
    if (lang == "ko")
        return "CP949";
    return "CP1252";
}

namespace {
thread_local QByteArray t_override; // see ThreadOverride
} // namespace

ThreadOverride::ThreadOverride(const QByteArray& iconvName)
    : m_previous(std::exchange(t_override, iconvName.toUpper()))
{
}

ThreadOverride::~ThreadOverride()
{
    t_override = m_previous;
}

bool isUnwritableText(const QString& errorMessage)
{
    return errorMessage.startsWith(QLatin1String("The character \"")) && errorMessage.contains(QLatin1String("cannot be written in the code page"));
}

QByteArray name()
{
    if (!t_override.isEmpty())
        return t_override;
    std::lock_guard lock(g_nameMutex);
    if (g_name.isEmpty()) {
        const QByteArray override = qgetenv("BREVORA_CODEPAGE").trimmed();
        g_name = override.isEmpty() ? forLocale(localeName()) : override.toUpper();
        g_leadBytes = leadBytesOf(g_name);
    }
    return g_name;
}

void setName(const QByteArray& iconvName)
{
    std::lock_guard lock(g_nameMutex);
    g_name = iconvName.toUpper();
    g_leadBytes = leadBytesOf(g_name);
}

QByteArray encodeAs(const QByteArray& target, const QString& text)
{
    if (isAscii(text) && isAsciiCompatible(target))
        return text.toLatin1();
    const QByteArray utf8 = text.toUtf8();
    QByteArray out;
    qsizetype failedAt = 0;
    if (!convert(converter("UTF-8", target), utf8, out, &failedAt, true)) {
        const QString bad = QString::fromUtf8(utf8.mid(failedAt)).left(1);
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("The character \"%1\" (U+%2) cannot be written in the code page %3.")
                               .arg(bad)
                               .arg(bad.isEmpty() ? 0 : bad.at(0).unicode(), 4, 16, QLatin1Char('0'))
                               .arg(QString::fromLatin1(target)));
    }
    return out;
}

QString decodeAs(const QByteArray& source, const QByteArray& bytes)
{
    bool ascii = true;
    for (char c : bytes)
        if (static_cast<unsigned char>(c) >= 0x80) {
            ascii = false;
            break;
        }
    if (ascii && isAsciiCompatible(source))
        return QString::fromLatin1(bytes);
    // Bytes the code page does not define become U+FFFD one at a time; nothing else is lost. The
    // input is walked once, so a text full of such bytes costs no more than a clean one.
    iconv_t cd = converter(source, "UTF-8");
    QByteArray utf8;
    utf8.reserve(bytes.size() * 2);
    const char* in = bytes.constData();
    size_t inLeft = size_t(bytes.size());
    char buffer[16384];
    static const char replacement[] = "\xEF\xBF\xBD";
    while (inLeft > 0) {
        char* outPtr = buffer;
        size_t outLeft = sizeof buffer;
        const size_t result = iconv(cd, const_cast<char**>(&in), &inLeft, &outPtr, &outLeft);
        utf8.append(buffer, outPtr - buffer);
        if (result != size_t(-1) || errno == E2BIG)
            continue;
        // An undefined or incomplete byte: replaced, and the conversion goes on after it.
        utf8.append(replacement, 3);
        ++in;
        --inLeft;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    char* outPtr = buffer;
    size_t outLeft = sizeof buffer;
    iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
    utf8.append(buffer, outPtr - buffer);
    return QString::fromUtf8(utf8);
}

QByteArray encode(const QString& text)
{
    try {
        return encodeAs(name(), text);
    } catch (const BrevoraError& e) {
        if (name() == "UTF-8")
            throw;
        // The code page is the data folder's: say where it changes.
        throw BrevoraError(e.kind(), e.message() + QStringLiteral(" The code page is a setting of the data folder: choose UTF-8 "
                                                                  "under Setting, Code page, to write any text."));
    }
}

bool canEncode(const QString& text, QChar* firstBad)
{
    try {
        encode(text);
        return true;
    } catch (const BrevoraError&) {
        if (firstBad) {
            for (QChar c : text) {
                try {
                    encode(QString(c));
                } catch (const BrevoraError&) {
                    *firstBad = c;
                    break;
                }
            }
        }
        return false;
    }
}

QString decode(const QByteArray& bytes)
{
    return decodeAs(name(), bytes);
}

bool isLeadByte(unsigned char byte)
{
    name(); // settles the code page on first use
    switch (t_override.isEmpty() ? g_leadBytes.load(std::memory_order_relaxed) : leadBytesOf(t_override)) {
    case LeadBytes::Range81FE:
        return byte >= 0x81 && byte <= 0xFE;
    case LeadBytes::ShiftJis:
        return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
    case LeadBytes::None:
        break;
    }
    return false;
}

QByteArray encodeLines(const QStringList& lines)
{
    QByteArray bytes;
    for (const QString& line : lines)
        bytes += encode(line) + "\r\n";
    return bytes;
}

} // namespace CodePage
