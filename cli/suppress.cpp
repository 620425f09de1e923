#include "cli/command.h"

#include "core/error.h"
#include "core/sendlog/sendlogstore.h"
#include "core/settings/settingsfile.h"
#include "core/intake/intakerule.h"
#include "core/intake/listfile.h"
#include "core/text/codepage.h"
#include "core/text/textutil.h"

#include <cstdio>

namespace cli {
namespace {

const char* kSuppressUsage =
    "Usage: brevora suppress [--data-dir DIR] [--add ADDRESS | --import FILE | --remove ADDRESS |\n"
    "                        --export FILE] [--reason TEXT]\n"
    "Prints the suppression list (address, date added, reason): addresses that are never mailed.\n"
    "--add and --import (one address per line) add to it, with the reason; --remove takes one off;\n"
    "--export writes the addresses one per line. Letter case, display names and angle brackets do not\n"
    "matter: an address is one entry however it is written.\n";

} // namespace

int SuppressCommand(const QStringList& args)
{
    if (args.contains(QStringLiteral("--help"))) {
        std::fputs(kSuppressUsage, stdout);
        return kExitOk;
    }
    const QStringList actions{QStringLiteral("--add"), QStringLiteral("--import"), QStringLiteral("--remove"), QStringLiteral("--export")};
    const Options o = parseOptions(args, actions + QStringList{QStringLiteral("--reason")}, {});
    int chosen = 0;
    for (const QString& a : actions)
        chosen += o.values.contains(a) ? 1 : 0;
    if (chosen > 1)
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("Give one of --add, --import, --remove and --export."));
    std::unique_ptr<SendLogStore> store = openStore();
    const auto check = [&store](bool ok) {
        if (!ok)
            throw BrevoraError(ErrorKind::Store, store->lastError());
    };
    if (o.values.contains(QStringLiteral("--add")) || o.values.contains(QStringLiteral("--import"))) {
        QStringList addresses;
        if (o.values.contains(QStringLiteral("--add"))) {
            addresses.append(o.values.value(QStringLiteral("--add")).trimmed());
        } else {
            const QString file = o.values.value(QStringLiteral("--import"));
            for (const QString& line : SplitTextLines(DecodeListFile(ReadFileBytes(file))))
                if (const QString a = IntakeRule::trimEntry(line).section(QLatin1Char(','), 0, 0).trimmed(); !a.isEmpty())
                    addresses.append(a);
        }
        QStringList valid;
        for (const QString& a : addresses) {
            if (IsValidEmail(a))
                valid.append(a);
            else
                err(QStringLiteral("\"%1\" is not an address; it is not added.").arg(PrintableText(a, true)));
        }
        int added = 0;
        check(store->suppression().add(valid, o.values.value(QStringLiteral("--reason")), &added));
        out(QStringLiteral("%1 added, %2 already there").arg(added).arg(valid.size() - added));
        return valid.size() == addresses.size() ? kExitOk : kExitUsage;
    }
    if (o.values.contains(QStringLiteral("--remove"))) {
        bool found = false;
        check(store->suppression().remove(o.values.value(QStringLiteral("--remove")), &found));
        if (!found)
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("\"%1\" is not on the suppression list.").arg(o.values.value(QStringLiteral("--remove"))));
        out(QStringLiteral("1 removed"));
        return kExitOk;
    }
    const QList<SuppressionList::Row> rows = store->suppression().rows();
    if (o.values.contains(QStringLiteral("--export"))) {
        QStringList addresses;
        for (const SuppressionList::Row& r : rows)
            addresses.append(r.address);
        WriteFileBytes(o.values.value(QStringLiteral("--export")), CodePage::encodeLines(addresses));
        out(QStringLiteral("%1 exported").arg(addresses.size()));
        return kExitOk;
    }
    for (const SuppressionList::Row& r : rows)
        out(r.address + '\t' + r.added + '\t' + r.reason);
    return kExitOk;
}

} // namespace cli
