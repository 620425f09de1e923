#pragma once

#include <QString>

// Server passwords kept in the desktop's keyring (the Secret Service, through QtKeychain) instead
// of the settings file, by the server entry's key. Each call waits for the keyring's answer and
// throws with its reason when it cannot be reached or refuses.
namespace Keyring {

QString read(const QString& serverKey);
void write(const QString& serverKey, const QString& password);
// Removing what is not there is no error.
void remove(const QString& serverKey);

} // namespace Keyring
