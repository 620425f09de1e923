#include "core/intake/listfile.h"

#include "core/error.h"
#include "core/settings/settingsfile.h"
#include "core/text/codepage.h"

#include <optional>
#include <utility>

#include <QStringDecoder>

QString DecodeListFile(const QByteArray& bytes)
{
    const auto startsWith = [&bytes](const char* mark, int size) { return bytes.startsWith(QByteArrayView(mark, size)); };
    if (startsWith("\xEF\xBB\xBF", 3))
        return QString::fromUtf8(bytes.constData() + 3, bytes.size() - 3);
    if (startsWith("\xFF\xFE", 2) || startsWith("\xFE\xFF", 2)) {
        QStringDecoder decoder(startsWith("\xFF\xFE", 2) ? QStringConverter::Utf16LE : QStringConverter::Utf16BE);
        return decoder(QByteArrayView(bytes).sliced(2));
    }
    return CodePage::decode(bytes);
}

QString DecodeCsvFile(const QByteArray& bytes)
{
    if (bytes.startsWith("\xEF\xBB\xBF") || bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF"))
        return DecodeListFile(bytes);
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    const QString text = utf8(bytes);
    return utf8.hasError() ? CodePage::decode(bytes) : text;
}

namespace {
constexpr qint64 kBlockBytes = 1 << 20;
} // namespace

ListFileReader::ListFileReader(const QString& path, const QString& addressColumn, bool asTable)
    : m_file(path)
    , m_csv(addressColumn)
{
    if (!m_file.open(QIODevice::ReadOnly))
        fail();
    const QByteArray head = m_file.peek(3);
    std::optional<Encoding> marked;
    if (head.startsWith("\xEF\xBB\xBF"))
        marked = Encoding::Utf8, m_start = 3;
    else if (head.startsWith("\xFF\xFE"))
        marked = Encoding::Utf16LE, m_start = 2;
    else if (head.startsWith("\xFE\xFF"))
        marked = Encoding::Utf16BE, m_start = 2;
    bool utf8 = false;
    if (!marked) {
        // A table without a mark is UTF-8 when all of it is: checked a block at a time, each cut
        // after its last ASCII byte, where no character can be split.
        utf8 = true;
        QByteArray rest;
        while (utf8) {
            const QByteArray block = m_file.read(kBlockBytes);
            if (block.isEmpty() && !m_file.atEnd())
                fail();
            rest += block;
            qsizetype cut = rest.size();
            if (!block.isEmpty())
                while (cut > 0 && (uchar(rest[cut - 1]) & 0x80))
                    --cut;
            utf8 = QByteArrayView(rest).first(cut).isValidUtf8();
            rest.remove(0, cut);
            if (block.isEmpty())
                break;
        }
        utf8 = utf8 && rest.isEmpty();
    }
    const Encoding tableEncoding = marked ? *marked : (utf8 ? Encoding::Utf8 : Encoding::CodePage);
    const Encoding listEncoding = marked ? *marked : Encoding::CodePage;
    startReading(tableEncoding);
    if (asTable) {
        m_table = true;
        return;
    }
    // The first line tells a table; what was read for it is the first piece's.
    while (!m_atEnd && !m_text.contains(u'\n'))
        m_text += readText(&m_atEnd);
    m_table = LooksLikeCsv(m_text);
    m_readAhead = true;
    if (!m_table && listEncoding != tableEncoding)
        startReading(listEncoding);
}

void ListFileReader::fail() const
{
    throw BrevoraError(ErrorKind::Usage, QStringLiteral("Cannot open file \"%1\". %2").arg(m_file.fileName(), m_file.errorString()));
}

void ListFileReader::startReading(Encoding encoding)
{
    if (!m_file.seek(m_start))
        fail();
    m_encoding = encoding;
    m_bytes.clear();
    m_text.clear();
    m_readAhead = false;
    m_atEnd = false;
    if (encoding != Encoding::CodePage)
        m_decoder = QStringDecoder(encoding == Encoding::Utf8 ? QStringConverter::Utf8
                                   : encoding == Encoding::Utf16LE ? QStringConverter::Utf16LE
                                                                   : QStringConverter::Utf16BE);
}

QString ListFileReader::readText(bool* last)
{
    for (;;) {
        const QByteArray block = m_file.read(kBlockBytes);
        if (block.isEmpty() && !m_file.atEnd())
            fail();
        *last = block.isEmpty();
        if (m_encoding != Encoding::CodePage)
            return m_decoder(block);
        // A code page's multi-byte characters never hold a line feed byte: the bytes are
        // decoded up to the last one.
        m_bytes += block;
        const qsizetype cut = *last ? m_bytes.size() : m_bytes.lastIndexOf('\n') + 1;
        if (cut == 0 && !*last)
            continue;
        const QString text = CodePage::decode(m_bytes.first(cut));
        m_bytes.remove(0, cut);
        return text;
    }
}

bool ListFileReader::next(CsvList* piece)
{
    *piece = {};
    if (m_done)
        return false;
    bool last = m_atEnd;
    QString text = std::exchange(m_text, QString());
    if (!std::exchange(m_readAhead, false))
        text += readText(&last);
    m_done = last;
    if (m_table) {
        m_csv.read(text, last, piece);
        return true;
    }
    // Whole lines only; a CR at the end may have its LF in the next block.
    qsizetype cut = text.size();
    if (!last) {
        cut = 0;
        for (qsizetype i = text.size() - 2; i >= 0 && cut == 0; --i)
            if (text.at(i) == u'\n' || text.at(i) == u'\r')
                cut = i + 1;
        if (text.endsWith(u'\n'))
            cut = text.size();
        m_text = text.sliced(cut);
        text.truncate(cut);
    }
    piece->entries = SplitTextLines(text);
    for (qsizetype i = 0; i < piece->entries.size(); ++i)
        piece->entryLines.append(m_line++);
    return true;
}
