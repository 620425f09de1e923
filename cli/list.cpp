#include "cli/command.h"

#include "core/error.h"
#include "core/sendlog/sendlogstore.h"
#include "core/settings/settingsfile.h"
#include "core/intake/csvfile.h"
#include "core/intake/intakerule.h"
#include "core/run/pendinglist.h"
#include "core/text/codepage.h"

#include <cstdio>

namespace cli {
namespace {

const char* kListUsage =
    "Usage: brevora list [--data-dir DIR] [--remove ENTRY | --clear | --failed | --uncertain] [--export FILE]\n"
    "Prints the pending list, one entry per line; --remove takes an entry off it, --clear empties it;\n"
    "--failed prints the failed list (entry, code, reason, time). --export writes the list (or with\n"
    "--failed the failed list) as CSV in UTF-8: a header row, the address, the values under their\n"
    "names, and for failed entries the code, the reason and the time.\n"
    "--uncertain prints the pending entries whose message a run that was killed wrote without\n"
    "reading the server's reply: they may have arrived (see \"brevora send --uncertain\").\n";

} // namespace

int ListCommand(const QStringList& args)
{
    if (args.contains(QStringLiteral("--help"))) {
        std::fputs(kListUsage, stdout);
        return kExitOk;
    }
    const Options o = parseOptions(args, {QStringLiteral("--remove"), QStringLiteral("--export")},
                                   {QStringLiteral("--clear"), QStringLiteral("--failed"), QStringLiteral("--uncertain")});
    if (o.values.contains(QStringLiteral("--export"))) {
        // As CSV with a header row: the address, the values under their names, and for failed
        // entries the code and the reason.
        std::unique_ptr<SendLogStore> store = openStore();
        const bool failed = o.flags.contains(QStringLiteral("--failed"));
        QStringList entries;
        QList<QStringList> outcome;
        if (failed) {
            for (const SendLogStore::FailedRow& row : store->failedRows()) {
                entries.append(row.entry);
                outcome.append({QString::number(row.code), row.reason, row.at});
            }
        } else {
            PendingList list(store.get());
            entries = list.entries();
        }
        const QByteArray bytes = EntriesAsCsv(entries, store->fieldNames(),
                                              failed ? QStringList{QStringLiteral("code"), QStringLiteral("reason"), QStringLiteral("time")}
                                                     : QStringList(),
                                              outcome);
        WriteFileBytes(o.values.value(QStringLiteral("--export")), bytes);
        out(QStringLiteral("%1 exported").arg(entries.size()));
        return kExitOk;
    }
    if (o.flags.contains(QStringLiteral("--uncertain"))) {
        std::unique_ptr<SendLogStore> store = openStore();
        bool ok = false;
        const QList<PendingRow> rows = store->uncertainRows(&ok);
        if (!ok)
            throw BrevoraError(ErrorKind::Store, store->lastError());
        for (const PendingRow& row : rows)
            out(row.entry);
        return kExitOk;
    }
    if (o.flags.contains(QStringLiteral("--failed"))) {
        std::unique_ptr<SendLogStore> store = openStore();
        for (const SendLogStore::FailedRow& row : store->failedRows())
            out(row.entry + '\t' + QString::number(row.code) + '\t' + row.reason + '\t' + row.at);
        return kExitOk;
    }
    const bool clear = o.flags.contains(QStringLiteral("--clear"));
    const bool remove = o.values.contains(QStringLiteral("--remove"));
    if (clear && remove)
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("--remove and --clear cannot be used together."));
    std::unique_ptr<SendLogStore> store = openStore();
    PendingList list(store.get());
    if (clear || remove) {
        // Not under a run: it would deliver entries that are no longer pending.
        list.lockForRun();
        list.reload();
        const QString entry = IntakeRule::trimEntry(o.values.value(QStringLiteral("--remove")));
        QList<int> rows;
        for (int i = 0; i < list.count(); ++i)
            if (clear || list.entry(i) == entry)
                rows.append(i);
        if (remove && rows.isEmpty())
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("\"%1\" is not in the pending list.").arg(entry));
        list.removeRowsAt(rows);
        list.unlockRun();
        out(QStringLiteral("%1 removed, %2 pending").arg(rows.size()).arg(list.count()));
        return kExitOk;
    }
    for (int row = 0; row < list.count(); ++row)
        out(list.entry(row));
    return kExitOk;
}

} // namespace cli
