// A delivery journal left behind with anything in it: opening the store applies what it can
// read and never crashes.
#include "core/sendlog/sendlogstore.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QTemporaryDir dir;
    QDir().mkpath(dir.path() + "/db");
    const QString database = dir.path() + "/db/sendlog.db";
    {
        SendLogStore store(database);
        QList<qint64> ids;
        store.appendPending({"a@example.org", "b@example.org"}, &ids);
    }
    {
        QFile journal(database + "-deliveries-1-2-fuzz");
        journal.open(QIODevice::WriteOnly);
        journal.write(reinterpret_cast<const char*>(data), qint64(size));
    }
    SendLogStore store(database);
    store.pendingRows();
    store.hasBeenSent("a@example.org");
    return 0;
}
