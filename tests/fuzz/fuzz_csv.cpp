// Tables from anywhere, read in two pieces cut at any point: the same entries, line numbers,
// refusals and header as the whole text read at once.
#include "core/intake/csvfile.h"

#include <QString>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data) + 1, qsizetype(size - 1));
    const qsizetype cut = text.isEmpty() ? 0 : data[0] % (text.size() + 1);
    const CsvList whole = ParseCsvList(text);
    CsvReader reader;
    CsvList pieces;
    reader.read(text.left(cut), false, &pieces);
    reader.read(text.mid(cut), true, &pieces);
    if (pieces.entries != whole.entries || pieces.entryLines != whole.entryLines || pieces.refusals != whole.refusals
        || pieces.header != whole.header || pieces.addressColumn != whole.addressColumn)
        __builtin_trap();
    return 0;
}
