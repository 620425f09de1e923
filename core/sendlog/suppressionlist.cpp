#include "core/sendlog/suppressionlist.h"

#include "core/sendlog/storeconnection.h"
#include "core/mail/addresskey.h"

#include <QVariant>

namespace {
// Entries up to this many are asked for by key, in one statement.
constexpr qsizetype kAskedByKey = 64;
} // namespace

SuppressionList::SuppressionList(StoreConnection& connection)
    : m_connection(connection)
{
}

QString SuppressionList::key(const QString& entryOrAddress)
{
    return AddressKey(entryOrAddress);
}

bool SuppressionList::add(const QStringList& addresses, const QString& reason, int* added)
{
    if (added)
        *added = 0;
    int count = 0;
    const bool ok = m_connection.transaction([&] {
        QSqlQuery q(m_connection.db());
        q.prepare(QStringLiteral("INSERT INTO suppressed (address, shown, added, reason) VALUES (?, ?, ?, ?) "
                                 "ON CONFLICT DO NOTHING"));
        const QString now = SendLogTimestamp();
        for (const QString& a : addresses) {
            const QString shown = a.section(QLatin1Char(','), 0, 0).trimmed();
            if (shown.isEmpty())
                continue;
            q.addBindValue(key(shown));
            q.addBindValue(shown);
            q.addBindValue(now);
            q.addBindValue(reason);
            if (!q.exec())
                return m_connection.fail(q);
            count += q.numRowsAffected() > 0 ? 1 : 0;
        }
        return true;
    });
    if (ok && added)
        *added = count;
    return ok;
}

bool SuppressionList::remove(const QString& address, bool* found)
{
    QSqlQuery q(m_connection.db());
    q.prepare(QStringLiteral("DELETE FROM suppressed WHERE address = ?"));
    q.addBindValue(key(address));
    if (!q.exec())
        return m_connection.fail(q);
    if (found)
        *found = q.numRowsAffected() > 0;
    return true;
}

QList<SuppressionList::Row> SuppressionList::rows(bool* ok)
{
    QList<Row> rows;
    QSqlQuery q(m_connection.db());
    q.setForwardOnly(true);
    const bool read = q.exec(QStringLiteral("SELECT shown, added, reason FROM suppressed ORDER BY rowid"));
    if (ok)
        *ok = read;
    if (!read) {
        m_connection.fail(q);
        return rows;
    }
    while (q.next())
        rows.append({q.value(0).toString(), q.value(1).toString(), q.value(2).toString()});
    return rows;
}

std::optional<QString> SuppressionList::reasonFor(const QString& entry)
{
    QSqlQuery q(m_connection.db());
    q.prepare(QStringLiteral("SELECT reason FROM suppressed WHERE address = ?"));
    q.addBindValue(key(entry));
    if (!q.exec()) {
        m_connection.fail(q);
        return std::nullopt;
    }
    if (!q.next())
        return std::nullopt;
    return q.value(0).toString();
}

QHash<QString, QString> SuppressionList::among(const QStringList& entries)
{
    QHash<QString, QString> found;
    if (entries.isEmpty())
        return found;
    // A few entries (a run's claim) are asked for by key; against a long list the suppression
    // list is read whole, as it is short next to such lists.
    QHash<QString, QString> reasons;
    QSqlQuery q(m_connection.db());
    q.setForwardOnly(true);
    bool read = false;
    if (entries.size() <= kAskedByKey) {
        QString text = QStringLiteral("SELECT address, reason FROM suppressed WHERE address IN (?");
        for (qsizetype k = 1; k < entries.size(); ++k)
            text += QStringLiteral(", ?");
        q.prepare(text + ')');
        for (qsizetype k = 0; k < entries.size(); ++k)
            q.bindValue(int(k), key(entries[k]));
        read = q.exec();
    } else {
        read = q.exec(QStringLiteral("SELECT address, reason FROM suppressed"));
    }
    if (!read) {
        m_connection.fail(q);
        return found;
    }
    while (q.next())
        reasons.insert(q.value(0).toString(), q.value(1).toString());
    if (reasons.isEmpty())
        return found;
    for (const QString& e : entries)
        if (const auto it = reasons.constFind(key(e)); it != reasons.constEnd())
            found.insert(e, *it);
    return found;
}
