#include "core/settings/entries.h"

#include "core/settings/bouncesettings.h"

#include "core/error.h"
#include "core/settings/keyring.h"

namespace {

BrevoraError missing(const char* what, const QString& key)
{
    return BrevoraError(ErrorKind::Usage, QStringLiteral("No %1 \"%2\" in the settings file.").arg(QLatin1String(what), key));
}

bool listed(const QStringList& keys, const QString& key)
{
    for (const QString& k : keys)
        if (k.trimmed().compare(key.trimmed(), Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

// An add must not take the place of an entry, nor an edit move onto another one.
void checkFree(const QStringList& keys, const std::optional<QString>& oldKey, const QString& key, const char* what)
{
    const bool sameEntry = oldKey && oldKey->trimmed().compare(key.trimmed(), Qt::CaseInsensitive) == 0;
    if (!sameEntry && listed(keys, key))
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("There is a %1 \"%2\" already; edit it instead.").arg(QLatin1String(what), key.trimmed()));
}

void writeServerOptions(const QString& key, const ServerSetup& setup)
{
    WritePlainLoginAllowed(key, setup.allowPlainLogin);
    WriteRateLimits(key, setup.limits);
    WriteThroughput(key, setup.throughput);
    WriteLoginChoice(key, setup.login);
    WriteServerSession(key, setup.session);
    WritePasswordInKeyring(key, setup.passwordInKeyring);
}

void writeContentOptions(const QString& title, const ContentSetup& setup)
{
    WriteUnsubscribe(title, setup.links);
    WriteAttachments(title, setup.attachments);
    WriteRecipientFiles(title, setup.recipientFiles);
    WriteContentHeaders(title, setup.headers);
}

} // namespace

QString CheckServerFree(const std::optional<QString>& oldKey, const SmtpServerEntry& entry)
{
    CheckServerEntry(entry);
    const QString key = ServerKeyFor(entry, oldKey);
    const bool sameEntry = oldKey && oldKey->trimmed().compare(key, Qt::CaseInsensitive) == 0;
    if (!sameEntry && listed(ListServers(), key))
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("The server %1 with the account \"%2\" is set up already (as \"%3\"); edit it instead.")
                                                 .arg(entry.host.trimmed(), entry.account.trimmed(), key));
    return key;
}

void CheckSenderFree(const std::optional<QString>& oldKey, const QString& address)
{
    checkFree(ListSenders(), oldKey, address, "sender");
}

void CheckContentFree(const std::optional<QString>& oldKey, const QString& title)
{
    checkFree(ListContents(), oldKey, title, "content");
}

ServerSetup ReadServerSetup(const QString& key)
{
    if (!listed(ListServers(), key))
        throw missing("server", key);
    ServerSetup setup;
    setup.entry.host = ServerHostOf(key);
    LookupServer(key, setup.entry.account, setup.entry.ssl, setup.entry.port, setup.entry.password);
    setup.allowPlainLogin = ReadPlainLoginAllowed(key);
    setup.limits = ReadRateLimits(key);
    setup.throughput = ReadThroughput(key);
    setup.login = ReadLoginChoice(key);
    setup.session = ReadServerSession(key);
    setup.passwordInKeyring = ReadPasswordInKeyring(key);
    if (setup.passwordInKeyring)
        setup.entry.password = Keyring::read(key);
    return setup;
}

SenderEntry ReadSender(const QString& address)
{
    if (!listed(ListSenders(), address))
        throw missing("sender", address);
    return {address, LookupSender(address)};
}

ContentSetup ReadContentSetup(const QString& title)
{
    if (!listed(ListContents(), title))
        throw missing("content", title);
    return {{title, LookupContent(title)}, ReadUnsubscribe(title), ReadAttachments(title), ReadRecipientFiles(title),
            ReadContentHeaders(title)};
}

QString SaveServer(const std::optional<QString>& oldKey, const ServerSetup& setup)
{
    if (oldKey && !listed(ListServers(), *oldKey))
        throw missing("server", *oldKey);
    const QString key = CheckServerFree(oldKey, setup.entry);
    // The keyring first: when it cannot take the password, nothing has changed.
    if (setup.passwordInKeyring)
        Keyring::write(key, setup.entry.password);
    const bool keptInKeyring = oldKey && ReadPasswordInKeyring(*oldKey);
    if (oldKey && oldKey->trimmed().compare(key, Qt::CaseInsensitive) != 0)
        writeServerOptions(*oldKey, {});
    SmtpServerEntry stored = setup.entry;
    if (setup.passwordInKeyring)
        stored.password.clear();
    StoreServer(oldKey, stored);
    writeServerOptions(key, setup);
    if (keptInKeyring && (!setup.passwordInKeyring || oldKey->trimmed() != key))
        Keyring::remove(*oldKey);
    return key;
}

QString SaveSender(const std::optional<QString>& oldKey, const SenderEntry& entry)
{
    if (oldKey && !listed(ListSenders(), *oldKey))
        throw missing("sender", *oldKey);
    CheckSenderEntry(entry);
    checkFree(ListSenders(), oldKey, entry.address, "sender");
    StoreSender(oldKey, entry);
    // The sender's bounce settings go with it to its new address.
    if (oldKey && oldKey->trimmed().toLower() != entry.address.trimmed().toLower()) {
        const BounceSetup bounce = ReadBounceSetup(*oldKey);
        RemoveBounceSetup(*oldKey);
        WriteBounceSetup(entry.address, bounce);
    }
    return entry.address.trimmed();
}

QString SaveContent(const std::optional<QString>& oldKey, const ContentSetup& setup)
{
    if (oldKey && !listed(ListContents(), *oldKey))
        throw missing("content", *oldKey);
    CheckContentEntry(setup.entry);
    CheckUnsubscribe(setup.links);
    CheckContentHeaders(setup.headers);
    checkFree(ListContents(), oldKey, setup.entry.title, "content");
    if (oldKey && oldKey->trimmed() != setup.entry.title.trimmed())
        writeContentOptions(*oldKey, {});
    StoreContent(oldKey, setup.entry);
    writeContentOptions(setup.entry.title, setup);
    return setup.entry.title.trimmed();
}

void DeleteServer(const QString& key)
{
    if (!listed(ListServers(), key))
        throw missing("server", key);
    if (ReadPasswordInKeyring(key))
        Keyring::remove(key);
    writeServerOptions(key, {});
    RemoveServer(key);
}

void DeleteSender(const QString& address)
{
    if (!listed(ListSenders(), address))
        throw missing("sender", address);
    RemoveBounceSetup(address);
    RemoveSender(address);
}

void DeleteContent(const QString& title)
{
    if (!listed(ListContents(), title))
        throw missing("content", title);
    writeContentOptions(title, {});
    RemoveContent(title);
}
