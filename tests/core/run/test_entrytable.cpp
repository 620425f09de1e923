#include "core/mail/addresskey.h"
#include "core/run/entrytable.h"
#include "support/printers.h"

#include <QList>
#include <QRandomGenerator>
#include <gtest/gtest.h>
#include <utility>

// The compact table against a plain list of (id, entry) under a long random mix of what the
// pending list does: appending (the same address again, in other case, too), taking rows from
// the front as a run does and from anywhere, many at once, moving a row to the end, bringing
// rows first. Enough text passes through that blocks are freed and the table compacts itself.
TEST(EntryTable, ActsAsAPlainListOfEntries)
{
    QRandomGenerator random(20261209);
    EntryTable table;
    QList<std::pair<qint64, QString>> plain;
    qint64 nextId = 1;
    const QString values = QStringLiteral(",%1").arg(QString(400, u'v'));
    const auto address = [&random] {
        const int n = int(random.bounded(3000));
        return random.bounded(4) == 0 ? QStringLiteral("User%1@Example.org").arg(n) : QStringLiteral("user%1@example.org").arg(n);
    };
    const auto plainContains = [&plain](const QString& entry) {
        for (const auto& row : std::as_const(plain))
            if (AddressKey(row.second) == AddressKey(entry))
                return true;
        return false;
    };
    const auto same = [&] {
        ASSERT_EQ(table.size(), plain.size());
        for (qsizetype row = 0; row < plain.size(); ++row) {
            ASSERT_EQ(table.idAt(row), plain[row].first) << row;
            ASSERT_EQ(table.entryAt(row), plain[row].second) << row;
        }
    };
    for (int step = 0; step < 30000; ++step) {
        // The list grows to some megabytes of text, then mostly shrinks.
        const quint32 op = random.bounded(100);
        const qsizetype size = plain.size();
        if (op < (step < 15000 ? 70 : 40) || size < 10) {
            const QString entry = address() + (random.bounded(2) ? values : QString());
            table.append(nextId, entry);
            plain.append({nextId++, entry});
        } else if (op < 80) {
            const qsizetype row = random.bounded(4) ? random.bounded(qMin<qsizetype>(size, 3)) : random.bounded(size);
            table.removeAt(row);
            plain.removeAt(row);
        } else if (step % 2500 == 0) {
            QList<qsizetype> rows;
            for (qsizetype row = random.bounded(8); row < size; row += 1 + random.bounded(8))
                rows.append(row);
            table.removeRows(rows);
            for (auto it = rows.crbegin(); it != rows.crend(); ++it)
                plain.removeAt(*it);
        } else if (op < 92) {
            const qsizetype row = random.bounded(size);
            table.moveToEnd(row, nextId);
            auto moved = plain.takeAt(row);
            moved.first = nextId++;
            plain.append(moved);
        } else if (op < 95) {
            QList<qsizetype> rows;
            for (qsizetype row = size - 1; row >= 0 && rows.size() < 5; row -= 1 + random.bounded(size))
                rows.append(row);
            table.bringFirst(rows);
            QList<std::pair<qint64, QString>> ordered;
            for (qsizetype row : rows)
                ordered.append(plain[row]);
            for (qsizetype row = 0; row < size; ++row)
                if (!rows.contains(row))
                    ordered.append(plain[row]);
            plain = ordered;
        } else {
            const QString probe = address();
            ASSERT_EQ(table.contains(probe), plainContains(probe)) << probe.toStdString() << " at step " << step;
            const qsizetype row = random.bounded(size);
            ASSERT_EQ(table.rowOf(plain[row].first, 0), row);
            ASSERT_EQ(table.rowOf(nextId + 1, 0), -1);
        }
        if (step % 3000 == 0)
            same();
    }
    same();
    // A run takes the rows from the front: the blocks they leave empty are freed.
    for (int taken = 0; !plain.isEmpty(); ++taken) {
        table.removeAt(0);
        plain.removeFirst();
        if (taken % 500 == 0)
            same();
    }
    same();
    EXPECT_FALSE(table.contains(QStringLiteral("user1@example.org")));
}
