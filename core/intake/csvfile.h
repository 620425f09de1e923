#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// A list as a spreadsheet exports it: CSV or TSV (RFC 4180 quoting: a field in double quotes may
// hold the separator, a line break, or a doubled quote), a header row naming the columns in any
// order, the address column found by its name ("email", "e-mail", "mail", "address", any case)
// unless the caller names it.
struct CsvList
{
    QStringList header;     // the names as written
    int addressColumn = -1; // -1: none was found
    // Each row as a pending entry in the list's usual form: the address, then the values of the
    // other columns in the header's order, joined by commas.
    QStringList entries;
    QList<int> entryLines; // the line each entry starts on (1: the header)
    // Rows that cannot be entries, with the line they start on and why.
    QStringList refusals;
    // The names of the values in an entry, in order: the header without the address column.
    QStringList fieldNames() const;
};

// Entries as such a list, UTF-8 with its mark as spreadsheets read it: a header row ("email",
// the values' names, "PARAMn" for values without one, then the extra columns), one row an entry
// with the extra values after its own, quotes where a field needs them.
QByteArray EntriesAsCsv(const QStringList& entries, const QStringList& fieldNames, const QStringList& extraNames = {},
                        const QList<QStringList>& extraValues = {});

// Whether the text looks like such a list: its first line holds a separator and names an
// address column.
bool LooksLikeCsv(const QString& text);
// Reads such a list a piece of text at a time, so that a table of any length is read in bounded
// memory: the pieces joined are the text as ParseCsvList takes it.
class CsvReader
{
public:
    // The address column by its name; empty: the first column named like one.
    explicit CsvReader(const QString& addressColumn = {});
    // Takes the text that follows what came before (last: nothing more comes). The rows it
    // completes join the list's entries and refusals; the list's header and address column are
    // the table's once its header row has come.
    void read(const QString& text, bool last, CsvList* list);

private:
    QString m_addressColumn;
    QString m_text; // what no line end has closed yet
    QChar m_separator;
    int m_line = 1; // the line m_text starts on
    bool m_headerRead = false;
    bool m_refusedHeader = false;
    QStringList m_header;
    int m_column = -1;
};

// Reads the text (decoded by DecodeTextFile) as such a list. A value holding a comma is refused
// (an entry cannot carry it), as is a row whose address is not an address.
CsvList ParseCsvList(const QString& text, const QString& addressColumn = {});
