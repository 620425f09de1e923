#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// The program's code page: the 8-bit encoding of the settings file, body files, exports and the
// message on the wire. Inside, text is Unicode; it becomes bytes only at those edges.
namespace CodePage {

// iconv name of the code page in force (BREVORA_CODEPAGE, else derived from the locale).
QByteArray name();
// Replaces the code page in force; used at start-up and by tests.
void setName(const QByteArray& iconvName);
// Code page for a locale name such as "zh_CN.UTF-8" or "ja_JP".
QByteArray forLocale(const QByteArray& localeName);

// Text to code page bytes; throws BrevoraError naming the first character the code page lacks.
QByteArray encode(const QString& text);
// Lines in the code page, each followed by CR LF: the form of every exported list of entries.
QByteArray encodeLines(const QStringList& lines);
// True when every character of the text has a code page byte sequence.
bool canEncode(const QString& text, QChar* firstBad = nullptr);
QString decode(const QByteArray& bytes);

// Conversions in a named encoding, for the fixed GBK names and ISO-2022-JP.
QByteArray encodeAs(const QByteArray& iconvName, const QString& text);
QString decodeAs(const QByteArray& iconvName, const QByteArray& bytes);

// Whether the byte starts a two-byte character in the code page in force.
bool isLeadByte(unsigned char byte);

// Whether the error says that a text has a character a code page lacks.
bool isUnwritableText(const QString& errorMessage);

// Another code page in force on this thread while it lives: one message written in UTF-8 where
// the folder's code page cannot hold its text.
class ThreadOverride
{
public:
    explicit ThreadOverride(const QByteArray& iconvName);
    ~ThreadOverride();
    ThreadOverride(const ThreadOverride&) = delete;
    ThreadOverride& operator=(const ThreadOverride&) = delete;

private:
    QByteArray m_previous;
};

} // namespace CodePage
