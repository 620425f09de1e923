#pragma once

#include <QList>
#include <QString>

#include "core/mail/dkim.h"

// The DKIM keys messages are signed with, by the From address's domain: a selector and the file of
// its private key each (a domain may have two, an RSA key and an Ed25519 key, and messages then
// carry both signatures). Kept in the settings file under [DKIM keys] as "domain selector=file".
struct DkimEntry
{
    QString domain;   // lower case
    QString selector;
    QString keyFile;
};
// Where the entry's key file is: a relative name is in the data folder (where generate puts keys).
QString DkimKeyPath(const DkimEntry& entry);
// Every entry, or those of one domain.
QList<DkimEntry> ReadDkimEntries(const QString& domain = {});
// Throws for a domain or selector that is not a DNS label sequence.
void WriteDkimEntry(const DkimEntry& entry);
// Removes the domain's entries (of that selector only, when given); answers how many went.
int RemoveDkimEntries(const QString& domain, const QString& selector = {});

// Makes a key of the type in the data folder (dkim/DOMAIN.SELECTOR.TYPE.pem, readable by the user
// only) and signs for the domain with it from now on; throws when a name is not a DNS label
// sequence or the key cannot be written.
Dkim::Key GenerateDkimKey(const QString& domain, const QString& selector, Dkim::KeyType type);
// Signs for the domain with an existing key file from now on; throws when it cannot be used.
Dkim::Key SetDkimKey(const QString& domain, const QString& selector, const QString& file);
// The entry's key, or the reason it cannot be used.
QString DkimKeyState(const DkimEntry& entry, Dkim::Key* key = nullptr);
