#pragma once

#include <QByteArray>
#include <QStringList>

// The code page a data folder keeps its texts in (settings file, body files) and sends them in,
// named in its settings file. A folder whose file names none follows the locale, as folders always
// did; BREVORA_CODEPAGE, when set, goes before both.
namespace FolderEncoding {

// The code pages offered for a folder.
QList<QByteArray> choices();
// The one the settings file names, or empty.
QByteArray recorded();
// At start, once the data folder is set: the recorded code page is put in force. A folder made
// just now under a UTF-8 locale records UTF-8.
void apply(bool folderIsNew);
// Converts the settings file and the body files to another code page, records it and puts it in
// force. Throws, with nothing changed, when a stored text cannot be written in it.
void change(const QByteArray& codePage);

} // namespace FolderEncoding
