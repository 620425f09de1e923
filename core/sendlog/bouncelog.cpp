#include "core/sendlog/bouncelog.h"

#include "core/mail/addresskey.h"
#include "core/sendlog/storeconnection.h"

#include <QRandomGenerator>
#include <QVariant>

BounceLog::BounceLog(StoreConnection& connection)
    : m_connection(connection)
{
}

const QString& BounceLog::shownName() const
{
    return m_connection.shownName();
}

const QString& BounceLog::lastError() const
{
    return m_connection.lastError();
}

QByteArray BounceLog::secret()
{
    QSqlQuery q(m_connection.db());
    if (q.exec(QStringLiteral("SELECT secret FROM bounce_key WHERE id = 1")) && q.next())
        return q.value(0).toString().toLatin1();
    QByteArray made(32, Qt::Uninitialized);
    QRandomGenerator::system()->generate(reinterpret_cast<quint32*>(made.data()), reinterpret_cast<quint32*>(made.data() + made.size()));
    // Two processes may make one at once: the first stays.
    q.prepare(QStringLiteral("INSERT INTO bounce_key (id, secret) VALUES (1, ?) ON CONFLICT DO NOTHING"));
    q.addBindValue(QString::fromLatin1(made.toHex()));
    if (!q.exec()) {
        m_connection.fail(q);
        return {};
    }
    if (q.exec(QStringLiteral("SELECT secret FROM bounce_key WHERE id = 1")) && q.next())
        return q.value(0).toString().toLatin1();
    m_connection.fail(q);
    return {};
}

qint64 BounceLog::beginRun(const QString& sender)
{
    QSqlQuery q(m_connection.db());
    q.prepare(QStringLiteral("INSERT INTO runs (started, sender) VALUES (?, ?)") + m_connection.dialect().returningId(QStringLiteral("id")));
    q.addBindValue(SendLogTimestamp());
    q.addBindValue(sender);
    if (!q.exec()) {
        m_connection.fail(q);
        return 0;
    }
    const QList<qint64> ids = m_connection.dialect().insertedIds(q, 1);
    return ids.isEmpty() ? 0 : ids.first();
}

bool BounceLog::noteRunSent(qint64 run, qint64 sent)
{
    QSqlQuery q(m_connection.db());
    q.prepare(QStringLiteral("UPDATE runs SET sent = ? WHERE id = ?"));
    q.addBindValue(sent);
    q.addBindValue(run);
    return q.exec() || m_connection.fail(q);
}

bool BounceLog::record(QList<Incoming>& rows, int softLimit, const QString& softSince, int softDays)
{
    return m_connection.transaction([&] {
        QSqlQuery insert(m_connection.db()), count(m_connection.db()), suppress(m_connection.db());
        insert.prepare(QStringLiteral("INSERT INTO bounces (message, address, shown, class, status, reason, run, received) "
                                      "VALUES (?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT DO NOTHING"));
        count.prepare(QStringLiteral("SELECT COUNT(*) FROM bounces WHERE address = ? AND class = 'soft' AND received >= ?"));
        suppress.prepare(QStringLiteral("INSERT INTO suppressed (address, shown, added, reason) VALUES (?, ?, ?, ?) ON CONFLICT DO NOTHING"));
        const QString now = SendLogTimestamp();
        for (Incoming& in : rows) {
            const Row& r = in.row;
            const QString key = AddressKey(r.address);
            insert.addBindValue(QString::fromLatin1(in.messageKey));
            insert.addBindValue(key);
            insert.addBindValue(r.address);
            insert.addBindValue(r.kind);
            insert.addBindValue(r.status);
            insert.addBindValue(r.reason);
            insert.addBindValue(r.run > 0 ? QVariant(r.run) : QVariant(QMetaType(QMetaType::LongLong)));
            insert.addBindValue(r.received.isEmpty() ? now : r.received);
            if (!insert.exec())
                return m_connection.fail(insert);
            in.isNew = insert.numRowsAffected() > 0;
            if (!in.isNew)
                continue;
            QString reason;
            if (r.kind == QLatin1String("hard"))
                reason = QStringLiteral("bounced: %1 %2").arg(r.status, r.reason).trimmed().left(300);
            else if (r.kind == QLatin1String("complaint"))
                reason = QStringLiteral("complaint");
            else if (r.kind == QLatin1String("soft")) {
                count.addBindValue(key);
                count.addBindValue(softSince);
                if (!count.exec() || !count.next())
                    return m_connection.fail(count);
                const int soft = count.value(0).toInt();
                count.finish();
                if (soft >= softLimit)
                    reason = QStringLiteral("bounced: %1 soft bounces in %2 days (last %3)").arg(soft).arg(softDays).arg(r.status);
            }
            if (reason.isEmpty())
                continue;
            suppress.addBindValue(key);
            suppress.addBindValue(r.address);
            suppress.addBindValue(now);
            suppress.addBindValue(reason);
            if (!suppress.exec())
                return m_connection.fail(suppress);
            in.suppressed = suppress.numRowsAffected() > 0;
        }
        return true;
    });
}

QList<BounceLog::Row> BounceLog::rows(const QString& since, bool* ok)
{
    QList<Row> rows;
    QSqlQuery q(m_connection.db());
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT received, shown, class, status, reason, run FROM bounces WHERE received >= ? "
                             "ORDER BY received, shown"));
    q.addBindValue(since.isEmpty() ? QStringLiteral("0") : since); // an empty QString binds as NULL
    const bool read = q.exec() || m_connection.fail(q);
    if (ok)
        *ok = read;
    while (read && q.next())
        rows.append({q.value(0).toString(), q.value(1).toString(), q.value(2).toString(), q.value(3).toString(),
                     q.value(4).toString(), q.value(5).toLongLong()});
    return rows;
}

QList<BounceLog::Row> BounceLog::rowsOf(const QDate& day)
{
    QList<Row> out;
    const QString until = day.addDays(1).toString(Qt::ISODate);
    for (const Row& r : rows(day.toString(Qt::ISODate)))
        if (r.received < until)
            out.append(r);
    return out;
}

QHash<QDate, int> BounceLog::countByDay(const QDate& first, const QDate& last)
{
    QHash<QDate, int> out;
    QSqlQuery q(m_connection.db());
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT substr(received, 1, 10), COUNT(*) FROM bounces WHERE received >= ? AND received < ? "
                             "GROUP BY substr(received, 1, 10)"));
    q.addBindValue(first.toString(Qt::ISODate));
    q.addBindValue(last.addDays(1).toString(Qt::ISODate));
    if (!q.exec()) {
        m_connection.fail(q);
        return out;
    }
    while (q.next())
        out.insert(QDate::fromString(q.value(0).toString(), Qt::ISODate), q.value(1).toInt());
    return out;
}

QList<BounceLog::RunSummary> BounceLog::runs(bool* ok)
{
    QList<RunSummary> out;
    QSqlQuery q(m_connection.db());
    q.setForwardOnly(true);
    const bool read = q.exec(QStringLiteral(
                          "SELECT r.id, r.started, r.sender, r.sent, COALESCE(r.brake, ''), "
                          "(SELECT COUNT(*) FROM bounces b WHERE b.run = r.id AND b.class = 'hard'), "
                          "(SELECT COUNT(*) FROM bounces b WHERE b.run = r.id AND b.class = 'soft'), "
                          "(SELECT COUNT(*) FROM bounces b WHERE b.run = r.id AND b.class = 'policy'), "
                          "(SELECT COUNT(*) FROM bounces b WHERE b.run = r.id AND b.class = 'complaint') "
                          "FROM runs r ORDER BY r.id"))
        || m_connection.fail(q);
    if (ok)
        *ok = read;
    while (read && q.next()) {
        RunSummary s;
        s.run = q.value(0).toLongLong();
        s.started = q.value(1).toString();
        s.sender = q.value(2).toString();
        s.sent = q.value(3).toLongLong();
        s.brake = q.value(4).toString();
        s.hard = q.value(5).toInt();
        s.soft = q.value(6).toInt();
        s.policy = q.value(7).toInt();
        s.complaints = q.value(8).toInt();
        out.append(s);
    }
    return out;
}

BounceLog::RunSummary BounceLog::summaryOf(qint64 run)
{
    for (const RunSummary& s : runs())
        if (s.run == run)
            return s;
    return {};
}

bool BounceLog::applyBrake(qint64 run, const QString& reason)
{
    QSqlQuery q(m_connection.db());
    q.prepare(QStringLiteral("UPDATE runs SET brake = ?, braked = ? WHERE id = ?"));
    q.addBindValue(reason);
    q.addBindValue(SendLogTimestamp());
    q.addBindValue(run);
    return q.exec() || m_connection.fail(q);
}

QString BounceLog::brakeSince(const QString& since)
{
    QSqlQuery q(m_connection.db());
    q.prepare(QStringLiteral("SELECT brake FROM runs WHERE braked >= ? ORDER BY braked DESC"));
    q.addBindValue(since);
    if (q.exec() && q.next())
        return q.value(0).toString();
    return {};
}

bool BounceLog::forEachDeliveredKey(const std::function<void(const QString&)>& each)
{
    QSqlQuery q(m_connection.db());
    q.setForwardOnly(true);
    if (!q.exec(QStringLiteral("SELECT address FROM delivered_address")))
        return m_connection.fail(q);
    while (q.next())
        each(q.value(0).toString());
    return true;
}
