#pragma once

#include <QString>
#include <QStringList>

// The lines of clipboard text that are looked at for "mailto:" links: lines end at CR LF or LF
// (as Linux programs copy them), and the first line shorter than five characters ends the scan.
QStringList ClipboardLines(const QString& text);

// The addresses of a "mailto:" line (spaces removed, lower case, ending before the first "<",
// ">", quote, control or non-ASCII character): the link's addresses before its "?" headers,
// percent-decoded, split at commas (RFC 6068), each kept when it is plausible.
QStringList ExtractMailto(const QString& line);

// The addresses of the "mailto:" links on a clipboard: its text's lines and, where it holds HTML,
// the links' targets, each once, in order.
QStringList ClipboardMailtos(const QString& text, const QString& html);

// The question asked before an address that was sent to before is taken again.
QString ResendQuestion(const QString& address);
