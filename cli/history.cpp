#include "cli/command.h"

#include "core/error.h"
#include "core/sendlog/sendlogstore.h"
#include "core/settings/settingsfile.h"
#include "core/sendlog/historyexport.h"

#include <QDate>
#include <cstdio>

namespace cli {
namespace {

const char* kHistoryUsage =
    "Usage: brevora history [--data-dir DIR] [--date YYYY-MM-DD] [--export FILE]\n"
    "Prints the send log rows of a day (date, entry, True or False) and their count.\n";

} // namespace

int HistoryCommand(const QStringList& args)
{
    if (args.contains(QStringLiteral("--help"))) {
        std::fputs(kHistoryUsage, stdout);
        return kExitOk;
    }
    const Options o = parseOptions(args, {QStringLiteral("--date"), QStringLiteral("--export")}, {});
    QDate day = QDate::currentDate();
    if (o.values.contains(QStringLiteral("--date"))) {
        day = QDate::fromString(o.values.value(QStringLiteral("--date")), QStringLiteral("yyyy-MM-dd"));
        if (!day.isValid())
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("The date must be written YYYY-MM-DD."));
    }
    std::unique_ptr<SendLogStore> store = openStore();
    QStringList entries;
    for (const SendLogStore::LogRow& row : store->logRows(DayPattern(day))) {
        QString line = row.sentAt + '\t' + row.address + '\t' + (row.delivered ? QStringLiteral("True") : QStringLiteral("False"));
        // A refusal's code and reason follow, where the run recorded them.
        if (row.code)
            line += '\t' + QString::number(*row.code) + '\t' + row.reason;
        out(line);
        entries.append(row.address);
    }
    out(QStringLiteral("Total Amount : %1").arg(entries.size()));
    if (o.values.contains(QStringLiteral("--export")))
        ExportHistory(entries, o.values.value(QStringLiteral("--export")));
    return kExitOk;
}

} // namespace cli
