#pragma once

#include <QString>

// An entry of the pending list and its id in the store, which does not change while it waits.
struct PendingRow
{
    qint64 id;
    QString entry;
};
