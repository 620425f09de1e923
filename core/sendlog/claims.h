#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QSet>
#include <QString>
#include <functional>

#include "core/sendlog/pendingrow.h"

class StoreConnection;
class QSqlQuery;

// How runs share the pending list of a shared store. A run claims a few pending entries at a time
// for a lease: no other run takes them while the lease lasts, and the run renews it while it
// works. Delivered entries leave the list with their claim; when a run dies its claims end with
// the lease and other runs take its entries over.
class Claims
{
public:
    static constexpr int kShortestLease = 5;
    static constexpr int kDefaultLease = 180;

    explicit Claims(StoreConnection& connection);

    // Milliseconds on a clock that goes on while the machine sleeps and the process is stopped,
    // as a lease does on the server; tests may set their own.
    static qint64 clockMs();
    static void setClock(std::function<qint64()> clock);

    void setLeaseSeconds(int seconds) { m_leaseSeconds = qMax(kShortestLease, seconds); }
    int leaseSeconds() const { return m_leaseSeconds; }
    // Claims up to `count` entries that no live claim holds, oldest first, leaving out those in
    // `skip`; false (and the store's lastError) on failure.
    bool claim(int count, const QSet<qint64>& skip, QList<PendingRow>* rows);
    // Extends the lease of every claim of this run; *held gets the ids still claimed by it (a
    // claim whose lease ran out may have gone to another run).
    bool renew(QSet<qint64>* held);
    // Gives back every claim of this run.
    void giveBack();
    // How many pending entries other runs hold claims on now.
    int heldByOthers();
    // One process at a time checks entries against the list and adds them, so that runs started
    // together with the same list file add it once.
    bool lockIntake();
    void unlockIntake();

private:
    // Runs a prepared claim or renewal in a transaction of its own, handing each returned row on.
    bool exec(QSqlQuery& statement, const std::function<void(const QSqlQuery&)>& eachRow);

    StoreConnection& m_connection;
    QString m_claimant; // this run's name in the claims: machine, process and a random part
    int m_leaseSeconds = kDefaultLease;
};
