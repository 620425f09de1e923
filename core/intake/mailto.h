#pragma once

#include <QString>
#include <QStringList>

// The lines of clipboard text that are looked at for "mailto:" links: lines end at CR LF or LF
// (as Linux programs copy them), and the first line shorter than five characters ends the scan.
QStringList ClipboardLines(const QString& text);

// The address of a "mailto:" line (spaces removed, lower case, ending before the first "<",
// ">", control or non-ASCII character), or empty when the line is no such link or its address
// is not plausible.
QString ExtractMailto(const QString& line);

// The question asked before an address that was sent to before is taken again.
QString ResendQuestion(const QString& address);
