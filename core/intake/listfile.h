#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>
#include <QStringDecoder>

#include "core/intake/csvfile.h"

// The text of a list file: UTF-8 or UTF-16 when it starts with a byte-order mark (the mark
// itself is dropped), else the code page, whose undefined bytes become U+FFFD so that the line
// holding them can be refused. Linear in the file's size.
QString DecodeListFile(const QByteArray& bytes);
// The same for a CSV or TSV file, which spreadsheets write in UTF-8: without a byte-order mark,
// UTF-8 when the bytes are valid UTF-8, else the code page.
QString DecodeCsvFile(const QByteArray& bytes);

// A list file read a piece at a time, so that a list of any length is read in bounded memory. It
// is a table (see CsvReader) when asked to be, or when its first line, decoded as DecodeCsvFile
// decodes it, looks like one (LooksLikeCsv); else a list of one entry a line, decoded as
// DecodeListFile decodes it. The pieces together are what the whole file decoded would give.
class ListFileReader
{
public:
    // Throws a usage error when the file cannot be read.
    explicit ListFileReader(const QString& path, const QString& addressColumn = {}, bool asTable = false);
    bool isTable() const { return m_table; }
    // The next piece: a table's entries with their lines and its refusals (its header and
    // address column once the header row is read), or the list's lines as entries with their
    // line numbers. False once the whole file has been read.
    bool next(CsvList* piece);

private:
    enum class Encoding { CodePage, Utf8, Utf16LE, Utf16BE };
    void startReading(Encoding encoding);
    // The next block of the file decoded; *last once the file is read to its end.
    QString readText(bool* last);
    // Throws a usage error naming the file.
    [[noreturn]] void fail() const;

    QFile m_file;
    qint64 m_start = 0; // where the text starts (after a byte-order mark)
    Encoding m_encoding = Encoding::CodePage;
    QStringDecoder m_decoder;
    QByteArray m_bytes; // code page bytes that no line end has closed yet
    QString m_text;     // text read but not yet handed out
    bool m_readAhead = false; // m_text was read to tell a table, and is the next piece's
    bool m_atEnd = false;
    bool m_table = false;
    CsvReader m_csv;
    int m_line = 1;
    bool m_done = false;
};
