#include "core/run/entrytable.h"

#include "core/mail/addresskey.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {
constexpr qsizetype kBlockBytes = 1 << 20;
constexpr int kLengthBytes = sizeof(quint32);
} // namespace

const char* EntryTable::bytesAt(const QList<Block>& blocks, Position at, quint32* size)
{
    const char* text = blocks[qsizetype(at >> 32)].bytes.constData() + (at & 0xFFFFFFFFu);
    std::memcpy(size, text, kLengthBytes);
    return text + kLengthBytes;
}

QString EntryTable::textAt(Position at) const
{
    quint32 size = 0;
    const char* text = bytesAt(m_blocks, at, &size);
    return QString::fromUtf8(text, qsizetype(size));
}

bool EntryTable::contains(const QString& entry) const
{
    const QString key = AddressKey(entry);
    const size_t hash = qHash(key);
    const auto it = m_index.constFind(hash);
    if (it == m_index.constEnd())
        return false;
    if (AddressKey(textAt(*it)) == key)
        return true;
    for (auto more = m_indexMore.constFind(hash); more != m_indexMore.constEnd() && more.key() == hash; ++more)
        if (AddressKey(textAt(more.value())) == key)
            return true;
    return false;
}

qsizetype EntryTable::rowOf(qint64 id, qsizetype sortedFrom) const
{
    sortedFrom = std::min(sortedFrom, m_rows.size());
    for (qsizetype row = 0; row < sortedFrom; ++row)
        if (m_rows[row].id == id)
            return row;
    const auto begin = m_rows.cbegin() + sortedFrom;
    const auto it = std::lower_bound(begin, m_rows.cend(), id, [](const Row& r, qint64 v) { return r.id < v; });
    if (it != m_rows.cend() && it->id == id)
        return it - m_rows.cbegin();
    // Rows another process changed meanwhile may be out of order.
    for (qsizetype row = sortedFrom; row < m_rows.size(); ++row)
        if (m_rows[row].id == id)
            return row;
    return -1;
}

void EntryTable::reserve(qsizetype rows)
{
    m_rows.reserve(rows);
    m_index.reserve(rows);
}

void EntryTable::append(qint64 id, const QString& entry)
{
    const QByteArray utf8 = entry.toUtf8();
    const quint32 size = quint32(utf8.size());
    const qsizetype need = kLengthBytes + utf8.size();
    if (m_blocks.isEmpty() || m_blocks.last().bytes.size() + need > m_blocks.last().bytes.capacity()) {
        Block block;
        block.bytes.reserve(std::max(kBlockBytes, need));
        m_heldBytes += block.bytes.capacity();
        m_blocks.append(std::move(block));
    }
    Block& block = m_blocks.last();
    const Position at = (Position(m_blocks.size() - 1) << 32) | Position(block.bytes.size());
    block.bytes.append(reinterpret_cast<const char*>(&size), kLengthBytes);
    block.bytes.append(utf8);
    block.live += need;
    m_rows.append({id, at});
    indexAdd(at, entry);
}

void EntryTable::indexAdd(Position at, const QString& entry)
{
    const size_t hash = qHash(AddressKey(entry));
    if (const auto it = m_index.constFind(hash); it == m_index.constEnd())
        m_index.insert(hash, at);
    else
        m_indexMore.insert(hash, at);
}

void EntryTable::indexRemove(Position at)
{
    const size_t hash = qHash(AddressKey(textAt(at)));
    const auto it = m_index.find(hash);
    if (it == m_index.end() || *it != at) {
        m_indexMore.remove(hash, at);
        return;
    }
    if (const auto more = m_indexMore.find(hash); more != m_indexMore.end()) {
        *it = more.value();
        m_indexMore.erase(more);
    } else {
        m_index.erase(it);
    }
}

void EntryTable::forget(Position at)
{
    indexRemove(at);
    quint32 size = 0;
    bytesAt(m_blocks, at, &size);
    Block& block = m_blocks[qsizetype(at >> 32)];
    block.live -= kLengthBytes + qsizetype(size);
    m_unusedBytes += kLengthBytes + qsizetype(size);
    if (block.live == 0 && &block != &m_blocks.last()) {
        m_heldBytes -= block.bytes.capacity();
        m_unusedBytes -= block.bytes.size();
        block.bytes = QByteArray();
    }
}

void EntryTable::compact()
{
    // Only when most of what the blocks hold is unused: each text is copied a bounded number of
    // times.
    if (m_unusedBytes < kBlockBytes || m_unusedBytes * 2 < m_heldBytes)
        return;
    QList<Block> old = std::exchange(m_blocks, {});
    m_heldBytes = 0;
    m_unusedBytes = 0;
    m_index.clear();
    m_indexMore.clear();
    const QList<Row> rows = std::exchange(m_rows, {});
    m_rows.reserve(rows.size());
    for (const Row& row : rows) {
        quint32 size = 0;
        const char* text = bytesAt(old, row.at, &size);
        append(row.id, QString::fromUtf8(text, qsizetype(size)));
    }
}

void EntryTable::removeAt(qsizetype row)
{
    forget(m_rows[row].at);
    if (row < m_rows.size() / 2) {
        // The rows before it move one down and the first goes: no shift of the long tail.
        std::rotate(m_rows.begin(), m_rows.begin() + row, m_rows.begin() + row + 1);
        m_rows.removeFirst();
    } else {
        m_rows.removeAt(row);
    }
    compact();
}

void EntryTable::removeRows(const QList<qsizetype>& sortedRows)
{
    if (sortedRows.isEmpty())
        return;
    QList<Row> kept;
    kept.reserve(m_rows.size() - sortedRows.size());
    qsizetype next = 0;
    for (qsizetype i = 0; i < m_rows.size(); ++i) {
        if (next < sortedRows.size() && sortedRows[next] == i) {
            forget(m_rows[i].at);
            ++next;
            continue;
        }
        kept.append(m_rows[i]);
    }
    m_rows = std::move(kept);
    compact();
}

void EntryTable::moveToEnd(qsizetype row, qint64 newId)
{
    Row moved = m_rows.takeAt(row);
    moved.id = newId;
    m_rows.append(moved);
}

void EntryTable::bringFirst(const QList<qsizetype>& rows)
{
    std::vector<bool> first(size_t(m_rows.size()), false);
    QList<Row> ordered;
    ordered.reserve(m_rows.size());
    for (qsizetype row : rows) {
        first[size_t(row)] = true;
        ordered.append(m_rows[row]);
    }
    for (qsizetype i = 0; i < m_rows.size(); ++i)
        if (!first[size_t(i)])
            ordered.append(m_rows[i]);
    m_rows = std::move(ordered);
}
