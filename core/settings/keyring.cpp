#include "core/settings/keyring.h"

#include "core/error.h"

#include <QEventLoop>
#include <qt6keychain/keychain.h>

namespace {

const QString kService = QStringLiteral("Brevora");

// Runs a job to its end; the job's error, when there is one, in words.
void finish(QKeychain::Job& job, bool missingIsError = true)
{
    job.setAutoDelete(false);
    QEventLoop loop;
    QObject::connect(&job, &QKeychain::Job::finished, &loop, &QEventLoop::quit);
    job.start();
    loop.exec();
    if (job.error() == QKeychain::NoError || (!missingIsError && job.error() == QKeychain::EntryNotFound))
        return;
    throw BrevoraError(ErrorKind::Usage, QStringLiteral("The desktop's keyring cannot be used: %1").arg(job.errorString()));
}

} // namespace

namespace Keyring {

QString read(const QString& serverKey)
{
    QKeychain::ReadPasswordJob job(kService);
    job.setKey(serverKey.trimmed());
    finish(job);
    return job.textData();
}

void write(const QString& serverKey, const QString& password)
{
    QKeychain::WritePasswordJob job(kService);
    job.setKey(serverKey.trimmed());
    job.setTextData(password);
    finish(job);
}

void remove(const QString& serverKey)
{
    QKeychain::DeletePasswordJob job(kService);
    job.setKey(serverKey.trimmed());
    finish(job, false);
}

} // namespace Keyring
