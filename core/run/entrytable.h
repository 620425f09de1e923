#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMultiHash>
#include <QString>

// The rows of the pending list, compact enough for a list of millions: each row is its id and
// where its text is, and the texts lie back to back in one block of UTF-8, so a row costs its
// bytes rather than a string object each. An index by address key answers "is this address in
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
    // Throws when the list's text outgrows what a table can hold (4 GB).
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
    struct Row
    {
        qint64 id;
        quint32 at; // where the text starts in m_text: its length (4 bytes), then its UTF-8
    };
    QString textAt(quint32 at) const;
    void indexAdd(quint32 at, const QString& entry);
    void indexRemove(quint32 at);
    // A row left: its text is unused from now on, and is dropped when that is most of the block.
    void forget(quint32 at);
    void compact();

    QList<Row> m_rows;
    QByteArray m_text;
    qsizetype m_unusedBytes = 0;
    // Hash of the address key -> the text of an entry with that key. Further entries whose key
    // has the same hash (the same address again, or seldom another) are in m_indexMore.
    QHash<size_t, quint32> m_index;
    QMultiHash<size_t, quint32> m_indexMore;
};
