// Bounce mail comes from anyone on the internet: any bytes must give a report (most often
// "unrelated"), never a crash, and what it names must be what a record can hold.
#include "core/bounce/bouncereport.h"
#include "core/mail/returnpath.h"

#include <QByteArray>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray message(reinterpret_cast<const char*>(data), qsizetype(size));
    const BounceReport report = ReadBounceReport(message);
    if (report.kind != BounceReport::Kind::Unrelated && report.key.isEmpty())
        std::abort(); // a result must be countable once
    for (const BounceFinding& f : report.findings)
        if (ClassName(f.kind).isEmpty())
            std::abort();
    for (const QByteArray& place : report.tagPlaces)
        if (const auto tag = ReturnPath::findTag(place); tag && tag->mac.size() != 16)
            std::abort();
    return 0;
}
