#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMultiHash>
#include <QString>

// The rows of the pending list, compact enough for a list of millions: each row is its id and
// where its text is, and the texts lie back to back in blocks of UTF-8, so a row costs its bytes
// rather than a string object each. An index by address key answers "is this address in
// the list" without a second copy of every text.
class EntryTable
{
public:
    qsizetype size() const { return m_rows.size(); }
    qint64 idAt(qsizetype row) const { return m_rows[row].id; }
    QString entryAt(qsizetype row) const { return textAt(m_rows[row].at); }
    // True when a row holds an entry for the same address (compared by AddressKey).
    bool contains(const QString& entry) const;
    // The row with the id, or -1. The rows from sortedFrom on are in the order of their ids
    // (as the store hands them out) and are searched by halving; the rest one by one.
    qsizetype rowOf(qint64 id, qsizetype sortedFrom) const;

    void reserve(qsizetype rows);
    void append(qint64 id, const QString& entry);
    // Takes a row out; quick for the rows near either end, where deliveries end.
    void removeAt(qsizetype row);
    // Takes out many rows at once: their positions, in increasing order.
    void removeRows(const QList<qsizetype>& sortedRows);
    // The row goes to the end under a new id.
    void moveToEnd(qsizetype row, qint64 newId);
    // The rows at the given positions (distinct) come first in that order, then the others as
    // they were.
    void bringFirst(const QList<qsizetype>& rows);

private:
    // Where a text is: its block in the high half, its offset in the block in the low half.
    using Position = quint64;
    struct Row
    {
        qint64 id;
        Position at;
    };
    // Texts lie back to back in blocks of a megabyte, each its length (4 bytes) then its UTF-8:
    // the list grows without copying what it holds, and a block whose rows all left (a run
    // takes them from the front) is freed.
    struct Block
    {
        QByteArray bytes;
        qsizetype live = 0; // bytes of rows still in the table
    };
    // The UTF-8 of the text at the position in the blocks, and its length.
    static const char* bytesAt(const QList<Block>& blocks, Position at, quint32* size);
    QString textAt(Position at) const;
    void indexAdd(Position at, const QString& entry);
    void indexRemove(Position at);
    // A row left: its text is unused from now on.
    void forget(Position at);
    // Copies the texts into new blocks once most of what the blocks hold is unused.
    void compact();

    QList<Row> m_rows;
    QList<Block> m_blocks;
    qsizetype m_heldBytes = 0;   // in the blocks not freed
    qsizetype m_unusedBytes = 0; // of those, the texts of rows that left
    // Hash of the address key -> the text of an entry with that key. Further entries whose key
    // has the same hash (the same address again, or seldom another) are in m_indexMore.
    QHash<size_t, Position> m_index;
    QMultiHash<size_t, Position> m_indexMore;
};
