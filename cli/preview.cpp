#include "cli/command.h"

#include "core/error.h"
#include "core/text/codepage.h"
#include "core/sendlog/sendlogstore.h"
#include "core/settings/settingsfile.h"
#include "core/run/pendinglist.h"
#include "core/run/prepare.h"
#include "core/run/runselection.h"

#include <cstdio>
#include <unistd.h>

namespace cli {
namespace {

const char* kPreviewUsage =
    "Usage: brevora preview [--data-dir DIR] [--entry N | --address ADDRESS] [--sender ADDRESS]\n"
    "                       [--content TITLE]\n"
    "Prints the message of a pending entry (the first, the Nth, or the one for ADDRESS; an address\n"
    "not in the list is previewed as an entry of its own) exactly as it would go out.\n";

} // namespace

int PreviewCommand(const QStringList& args)
{
    if (args.contains(QStringLiteral("--help"))) {
        std::fputs(kPreviewUsage, stdout);
        return kExitOk;
    }
    const Options o = parseOptions(args, {QStringLiteral("--entry"), QStringLiteral("--address"), QStringLiteral("--sender"),
                                          QStringLiteral("--content")}, {});
    if (o.values.contains(QStringLiteral("--entry")) && o.values.contains(QStringLiteral("--address")))
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("Give --entry or --address, not both."));
    RunSelection s;
    SelectSender(s, pick(ListSenders(), SettingsKeys::SenderPosition, o.values.value(QStringLiteral("--sender"), QString()), "sender"));
    SelectContent(s, pick(ListContents(), SettingsKeys::ContentPosition, o.values.value(QStringLiteral("--content"), QString()), "content"));
    s.ReturnReceipt = ReadReturnReceipt();
    const QString bodyFile = LookupContent(s.ContentTitle);
    const QStringList body = bodyFile.trimmed().isEmpty() ? QStringList() : LoadBodyLines(bodyFile);
    std::unique_ptr<SendLogStore> store = openStore();
    PendingList list(store.get());
    QString entry;
    if (o.values.contains(QStringLiteral("--address"))) {
        const QString address = o.values.value(QStringLiteral("--address")).trimmed();
        entry = address;
        for (const QString& e : list.entries())
            if (SuppressionList::key(e) == SuppressionList::key(address)) {
                entry = e;
                break;
            }
    } else {
        bool ok = true;
        const int n = o.values.contains(QStringLiteral("--entry")) ? o.values.value(QStringLiteral("--entry")).toInt(&ok) : 1;
        if (!ok || n < 1 || n > list.count())
            throw BrevoraError(ErrorKind::Usage, list.count() == 0 ? QStringLiteral("The pending list is empty: name an --address.")
                                                                   : QStringLiteral("--entry takes a number from 1 to %1.").arg(list.count()));
        entry = list.entry(n - 1);
    }
    QByteArray bytes = MessageFileBytes(BaseMessage(s), entry, body, ExtrasFor(s, store->fieldNames()));
    // Redirected, it is the message as it goes out; on a terminal, its text in the terminal's
    // encoding, as the code page's bytes would show there as something else.
    if (::isatty(STDOUT_FILENO))
        bytes = CodePage::decode(bytes).toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    return kExitOk;
}

} // namespace cli
