#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// Small text routines shared by the windows, the run and the settings file.

// True when the token looks like an email address (one "@", a dotted domain, no forbidden character).
bool IsValidEmail(const QString& token);
// The text without any space character (tabs and other characters stay).
QString RemoveSpaces(const QString& text);
// The pieces between separators, empty pieces kept; always one more piece than separators.
QStringList SplitString(const QString& text, const QString& separator);

enum class ReplaceFlag { All = 1, IgnoreCase = 2 };
// Replaces old by replacement in every line, left to right, never searching inserted text again.
void ReplaceInLines(QStringList& lines, const QString& old, const QString& replacement, int flags);

// An integer written in decimal, or in hexadecimal after "0x" or "$", with an optional sign and
// nothing around it; nothing for any other text.
std::optional<int> ParseInteger(const QString& text);
// The same, throwing "'%s' is not a valid integer value" for any other text.
int ParseIntegerText(const QString& text);

// The scrambled form of a stored server password: upper-case hexadecimal, two digits a byte.
QByteArray EncodePassword(const QByteArray& password);
// Inverse of EncodePassword; throws "'$xx' is not a valid integer value" for a pair that is not hex.
QByteArray DecodePassword(const QByteArray& text);

// The machine's own host name as the system reports it.
QString LocalHostName();

// Text safe to show on a terminal or in a log: control characters other than TAB and line breaks are
// written as escapes ("\x1b"), so that no text from a list or a server can act on the screen.
// With joinLines, line breaks become single spaces and the text is one line.
QString PrintableText(const QString& text, bool joinLines);
