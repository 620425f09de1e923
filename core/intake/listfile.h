#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// The text of a list file: UTF-8 or UTF-16 when it starts with a byte-order mark (the mark
// itself is dropped), else the code page, whose undefined bytes become U+FFFD so that the line
// holding them can be refused. Linear in the file's size.
QString DecodeListFile(const QByteArray& bytes);
// The same for a CSV or TSV file, which spreadsheets write in UTF-8: without a byte-order mark,
// UTF-8 when the bytes are valid UTF-8, else the code page.
QString DecodeCsvFile(const QByteArray& bytes);
