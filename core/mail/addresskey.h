#pragma once

#include <QString>

// The one key by which entries and addresses are compared: the duplicate check, the send log's
// delivered check, the suppression list. It is the mailbox the run sends to (the text before the
// entry's first comma, without display name, angle brackets or comments), in lower case: domains
// are compared without case, and so, by this program's rule, are local parts.
QString AddressKey(const QString& entryOrAddress);
