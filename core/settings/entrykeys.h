#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

#include "core/settings/inifile.h"

// How the names of the settings file's entries (hosts, addresses, titles) become its keys. A name
// the file syntax cannot hold as a key ("=" anywhere, a leading "[" or ";": a title such as
// "[Club] Spring news") is kept under a stand-in key, with the name itself in a section of its own
// ("<section> names"). Files without that section read exactly as they always did.
namespace EntryKeys {

// The settings file, and one of its fixed names as the GBK bytes it always is.
IniFile file();
QByteArray fixed(const QString& name);

// The names of a section's entries, in file order.
QStringList list(const QString& section);
// The key an existing entry is stored under, or nothing.
std::optional<QByteArray> stored(const QString& section, const QString& name);
// The value stored for a name, decoded; empty when there is none.
QString lookup(const QString& section, const QString& name);
// An edit passes the old name: when it differs (case-sensitively) its entry goes first.
void store(const QString& section, const std::optional<QString>& oldName, const QString& name, const QByteArray& value);
void remove(const QString& section, const QString& name);
// Throws unless the file can store the name: not empty, no line break, every character in the
// code page.
void checkName(const QString& name);

// The keys of a content's and of a server's options in the sections kept by entry (a server's in
// lower case, as they always were).
QByteArray ofContent(const QString& title);
QByteArray ofServer(const QString& server);
// A key to write under: one the syntax cannot hold is refused (its entry does not exist).
QByteArray writable(const QByteArray& key, const QString& name);

} // namespace EntryKeys
