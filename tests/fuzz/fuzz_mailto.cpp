// Clipboard text and HTML from anywhere: a captured address never holds what would end it on the wire.
#include "core/intake/mailto.h"

#include <QString>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    for (const QString& address : ClipboardMailtos(text, text)) {
        for (QChar c : address)
            if (c.unicode() < 0x21 || c.unicode() >= 0x7F || c == u'<' || c == u'>')
                __builtin_trap();
    }
    return 0;
}
