// Entries and bodies from anywhere: placeholder filling ends in a message or a clean error.
#include "core/error.h"
#include "core/mail/emailmessage.h"
#include "core/run/prepare.h"

#include <QString>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    const qsizetype split = text.indexOf(u'\n');
    const QString entry = split < 0 ? text : text.left(split);
    const QStringList body = split < 0 ? QStringList() : text.mid(split + 1).split(u'\n');
    EmailMessage m;
    try {
        PrepareMessage(entry, body, m);
    } catch (const BrevoraError&) {
    }
    return 0;
}
