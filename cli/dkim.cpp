#include "cli/command.h"

#include "core/error.h"
#include "core/mail/dkim.h"
#include "core/settings/dkimsettings.h"
#include "core/settings/settingsfile.h"

#include <cstdio>

// "brevora dkim generate|set|list|remove": the keys messages are signed with.
namespace cli {
namespace {

const char* kDkimUsage =
    "Usage: brevora dkim generate --domain DOMAIN --selector SELECTOR [--type rsa|ed25519]\n"
    "       brevora dkim set --domain DOMAIN --selector SELECTOR --key FILE\n"
    "       brevora dkim list\n"
    "       brevora dkim remove --domain DOMAIN [--selector SELECTOR]\n"
    "Messages from an address of DOMAIN are signed (DKIM, relaxed/relaxed, SHA-256) with each of the\n"
    "domain's keys. generate makes a key (RSA of 2048 bits by default, or Ed25519) in the data folder,\n"
    "readable by you only, signs with it from now on, and prints the DNS TXT record to publish: its\n"
    "name, then its value, on one line. set uses a key you have (PEM; RSA of 2048 bits or more, or\n"
    "Ed25519). A key that cannot be read stops a run before it connects.\n";

void printRecord(const Dkim::Key& key)
{
    out(Dkim::RecordName(key) + QStringLiteral(" TXT \"") + QString::fromLatin1(Dkim::DnsRecord(key)) + u'"');
}

QString required(const Options& o, const char* name)
{
    const QString v = o.values.value(QLatin1String(name)).trimmed();
    if (v.isEmpty())
        throw CommandLineError(QStringLiteral("%1 is needed.").arg(QLatin1String(name)));
    return v;
}

} // namespace

int DkimCommand(const QStringList& args)
{
    if (args.isEmpty() || args.contains(QStringLiteral("--help"))) {
        std::fputs(kDkimUsage, args.isEmpty() ? stderr : stdout);
        return args.isEmpty() ? kExitUsage : kExitOk;
    }
    const QString verb = args.first();
    const Options o = parseOptions(args.mid(1),
                                   {QStringLiteral("--domain"), QStringLiteral("--selector"), QStringLiteral("--type"), QStringLiteral("--key")}, {});
    if (verb == QLatin1String("list")) {
        for (const DkimEntry& e : ReadDkimEntries())
            out(QStringLiteral("%1\t%2\t%3\t%4").arg(e.domain, e.selector, e.keyFile, DkimKeyState(e)));
        return kExitOk;
    }
    if (verb == QLatin1String("remove")) {
        const int removed = RemoveDkimEntries(required(o, "--domain"), o.values.value(QStringLiteral("--selector")));
        if (removed == 0)
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("No DKIM key of %1 to remove.").arg(required(o, "--domain")));
        out(QStringLiteral("%1 removed").arg(removed));
        return kExitOk;
    }
    const DkimEntry entry{required(o, "--domain").toLower(), required(o, "--selector"), {}};
    if (verb == QLatin1String("generate")) {
        const QString type = o.values.value(QStringLiteral("--type"), QStringLiteral("rsa")).toLower();
        if (type != QLatin1String("rsa") && type != QLatin1String("ed25519"))
            throw CommandLineError(QStringLiteral("--type takes rsa or ed25519."));
        const Dkim::Key key = GenerateDkimKey(entry.domain, entry.selector, type == QLatin1String("rsa") ? Dkim::KeyType::Rsa : Dkim::KeyType::Ed25519);
        printRecord(key);
        return kExitOk;
    }
    if (verb == QLatin1String("set")) {
        printRecord(SetDkimKey(entry.domain, entry.selector, required(o, "--key")));
        return kExitOk;
    }
    throw CommandLineError(QStringLiteral("Unknown argument: %1 (say generate, set, list or remove)").arg(verb));
}

} // namespace cli
