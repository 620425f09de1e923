#include "core/sendlog/claims.h"

#include "core/sendlog/storeconnection.h"

#include <QRandomGenerator>
#include <QSysInfo>
#include <QVariant>
#include <algorithm>
#include <ctime>
#include <unistd.h>

namespace {
std::function<qint64()> g_clock; // set by tests
} // namespace

qint64 Claims::clockMs()
{
    if (g_clock)
        return g_clock();
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void Claims::setClock(std::function<qint64()> clock)
{
    g_clock = std::move(clock);
}

Claims::Claims(StoreConnection& connection)
    : m_connection(connection)
    , m_claimant(QStringLiteral("%1:%2:%3")
                     .arg(QSysInfo::machineHostName())
                     .arg(::getpid())
                     .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0')))
{
}

bool Claims::claim(int count, const QSet<qint64>& skip, QList<PendingRow>* rows)
{
    rows->clear();
    QSqlQuery q(m_connection.db());
    q.prepare(QStringLiteral("UPDATE pending SET claimed_by = ?, lease_until = now() + interval '%1 seconds' "
                             "WHERE id IN (SELECT id FROM pending WHERE lease_until IS NULL OR lease_until < now() "
                             "ORDER BY id LIMIT ? FOR UPDATE SKIP LOCKED) RETURNING id, entry")
                  .arg(m_leaseSeconds));
    q.addBindValue(m_claimant);
    q.addBindValue(count);
    const bool claimed = exec(q, [rows, &skip](const QSqlQuery& row) {
        const qint64 id = row.value(0).toLongLong();
        if (!skip.contains(id))
            rows->append({id, row.value(1).toString()});
    });
    if (!claimed) {
        rows->clear();
        return false;
    }
    std::sort(rows->begin(), rows->end(), [](const PendingRow& a, const PendingRow& b) { return a.id < b.id; });
    return true;
}

bool Claims::renew(QSet<qint64>* held)
{
    held->clear();
    QSqlQuery q(m_connection.db());
    q.prepare(QStringLiteral("UPDATE pending SET lease_until = now() + interval '%1 seconds' WHERE claimed_by = ? RETURNING id")
                  .arg(m_leaseSeconds));
    q.addBindValue(m_claimant);
    if (!exec(q, [held](const QSqlQuery& row) { held->insert(row.value(0).toLongLong()); })) {
        held->clear();
        return false;
    }
    return true;
}

void Claims::giveBack()
{
    QSqlQuery q(m_connection.db());
    q.prepare(QStringLiteral("UPDATE pending SET claimed_by = NULL, lease_until = NULL WHERE claimed_by = ?"));
    q.addBindValue(m_claimant);
    q.exec();
}

bool Claims::exec(QSqlQuery& statement, const std::function<void(const QSqlQuery&)>& eachRow)
{
    // A claim need not wait for the server's disk: should the server crash and lose it, the
    // entry is merely unclaimed again. The deliveries are written durably.
    return m_connection.transaction([&] {
        QSqlQuery(m_connection.db()).exec(QStringLiteral("SET LOCAL synchronous_commit = off"));
        if (!statement.exec())
            return m_connection.fail(statement);
        while (statement.next())
            eachRow(statement);
        statement.finish();
        return true;
    });
}

int Claims::heldByOthers()
{
    QSqlQuery q(m_connection.db());
    q.prepare(QStringLiteral("SELECT count(*) FROM pending WHERE lease_until >= now() AND claimed_by <> ?"));
    q.addBindValue(m_claimant);
    if (!q.exec() || !q.next()) {
        m_connection.fail(q);
        return 0;
    }
    return q.value(0).toInt();
}

bool Claims::lockIntake()
{
    QSqlQuery q(m_connection.db());
    return q.exec(QStringLiteral("SELECT pg_advisory_lock(7306197322)")) || m_connection.fail(q);
}

void Claims::unlockIntake()
{
    QSqlQuery(m_connection.db()).exec(QStringLiteral("SELECT pg_advisory_unlock(7306197322)"));
}
