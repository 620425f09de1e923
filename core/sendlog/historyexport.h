#pragma once

#include <QDate>
#include <QStringList>
#include <QString>

// The day pattern that lists one calendar day of the send log.
QString DayPattern(const QDate& day);

// Writes the entries, each followed by CR LF, in the code page, replacing the file. Throws
// "Error on File" when an existing file cannot be deleted and "Cannot create file ..." when the
// new one cannot be written.
void ExportHistory(const QStringList& entries, const QString& path);
