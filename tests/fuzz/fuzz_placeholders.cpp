// Entries and bodies from anywhere: placeholder filling ends in a message or a clean error, and a
// body merged for a run (its placeholders found once) is each line merged on its own.
#include "core/error.h"
#include "core/mail/emailmessage.h"
#include "core/run/prepare.h"
#include "core/text/textutil.h"

#include <QString>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    const qsizetype split = text.indexOf(u'\n');
    const QString entry = split < 0 ? text : text.left(split);
    const QStringList body = split < 0 ? QStringList() : text.mid(split + 1).split(u'\n');
    const QStringList names{QStringLiteral("first"), QStringLiteral("PARAM2")};
    const QStringList fields = SplitString(entry, QStringLiteral(","));
    EmailMessage m;
    for (const QStringList& fieldNames : {QStringList(), names}) {
        try {
            // Twice: the second time from what the first found.
            for (int round = 0; round < 2; ++round) {
                const QStringList merged = PrepareMessage(entry, body, m, fieldNames).body;
                for (qsizetype i = 0; i < body.size(); ++i)
                    if (merged.value(i) != MergeLine(body[i], fields, fieldNames))
                        __builtin_trap();
            }
        } catch (const BrevoraError&) {
        }
    }
    return 0;
}
