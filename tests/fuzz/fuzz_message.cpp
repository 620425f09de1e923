// Addresses, names, subjects and bodies from anywhere, written as a message (as HTML with its
// generated text alternative when the first byte says so): whatever goes out has no header line
// over 998 bytes, no bare CR or LF and no 8-bit byte in its header block, and no body line that
// could end a multipart body early.
#include "core/error.h"
#include "core/mail/emailmessage.h"
#include "core/mail/htmltext.h"
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
        m.ContentType = data[0] & 0x40 ? "text/html" : "text/plain";
        m.Body = parts.mid(5);
        if (data[0] & 0x40)
            m.TextAlternative = HtmlToText(m.Body).value(0).isNull() ? QStringList{QString()} : HtmlToText(m.Body);
        const QByteArray written = WriteMessage(m, {bool(data[0] & 0x80)}).data;
        if (data[0] & 0x40) {
            const qsizetype at = written.indexOf("boundary=\"");
            if (at < 0)
                __builtin_trap(); // HTML without its alternative
            const QByteArray boundary = "\r\n--" + written.mid(at + 10, written.indexOf('"', at + 10) - at - 10);
            if (written.count(boundary) != 3 || !written.endsWith(boundary + "--\r\n"))
                __builtin_trap(); // a body line that reads as a boundary
        }
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
