// Addresses, names and subjects from anywhere, written as a message: whatever goes out has no
// header line over 998 bytes, no bare CR or LF and no 8-bit byte in its header block.
#include "core/error.h"
#include "core/mail/emailmessage.h"
#include "core/mail/messagewriter.h"
#include "core/text/codepage.h"

#include <QString>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    static const char* const pages[] = {"CP1252", "GBK", "BIG5", "CP932", "CP949", "UTF-8"};
    CodePage::setName(pages[data[0] % 6]);
    const QStringList parts = QString::fromUtf8(reinterpret_cast<const char*>(data) + 1, qsizetype(size) - 1).split(u'\x01');
    EmailMessage m;
    try {
        SetRecipientsText(m.Recipients, parts.value(0));
        m.From = {parts.value(1, "me@example.com"), parts.value(2)};
        m.Subject = parts.value(3);
        m.Organization = parts.value(4);
        m.ContentType = "text/plain";
        m.Body = parts.mid(5);
        const QByteArray written = WriteMessage(m, {bool(data[0] & 0x80)}).data;
        const QByteArray block = written.left(written.indexOf("\r\n\r\n") + 2);
        for (qsizetype i = 0, lineStart = 0; i < block.size(); ++i) {
            const auto c = static_cast<unsigned char>(block[i]);
            if (c >= 0x80)
                __builtin_trap(); // 8-bit byte in a header
            if (c == '\r' && (i + 1 >= block.size() || block[i + 1] != '\n'))
                __builtin_trap(); // bare CR
            if (c == '\n' && (i == 0 || block[i - 1] != '\r'))
                __builtin_trap(); // bare LF
            if (c == '\n') {
                if (i - 1 - lineStart > 998)
                    __builtin_trap(); // header line over 998 bytes
                lineStart = i + 1;
            }
        }
    } catch (const BrevoraError&) {
    }
    return 0;
}
