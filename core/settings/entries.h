#pragma once

#include <QString>
#include <QStringList>
#include <optional>

#include "core/settings/contentheaders.h"
#include "core/settings/settingsfile.h"

// The entries of the settings window with everything that belongs to each: what the window and
// the setup commands add, change and remove, in one place, so neither leaves half an entry behind.

struct ServerSetup
{
    SmtpServerEntry entry;
    bool allowPlainLogin = false;
    RateLimits limits;
    Throughput throughput;
    LoginChoice login;
    ServerSession session;
    // The password goes to the desktop's keyring, not the settings file.
    bool passwordInKeyring = false;
};

struct ContentSetup
{
    ContentEntry entry; // the body file must exist
    Unsubscribe links;
    QStringList attachments;
    RecipientFiles recipientFiles;
    ContentHeaders headers;
};

// What is stored under a key; throws "No server ..." (and so on) when nothing is.
ServerSetup ReadServerSetup(const QString& key);
SenderEntry ReadSender(const QString& address);
ContentSetup ReadContentSetup(const QString& title);

// Adding an entry whose key exists is an error (edit it instead); an edit passes the entry's key
// and moves what belongs to it when the key changes. Each answers the key stored under.
QString SaveServer(const std::optional<QString>& oldKey, const ServerSetup& setup);
QString SaveSender(const std::optional<QString>& oldKey, const SenderEntry& entry);
QString SaveContent(const std::optional<QString>& oldKey, const ContentSetup& setup);

// Throws when saving under the name would take another entry's place.
// The server's check answers the key the entry would be stored under.
QString CheckServerFree(const std::optional<QString>& oldKey, const SmtpServerEntry& entry);
void CheckSenderFree(const std::optional<QString>& oldKey, const QString& address);
void CheckContentFree(const std::optional<QString>& oldKey, const QString& title);

// Removing takes what belongs to the entry with it (a content's body file too).
void DeleteServer(const QString& key);
void DeleteSender(const QString& address);
void DeleteContent(const QString& title);
