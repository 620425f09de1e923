#include "sendlog/history.h"

#include "common/codepage.h"
#include "common/errors.h"

#include <QFile>

QString DayPattern(const QDate& day)
{
    return day.toString(QStringLiteral("yyyy-MM-dd")) + QLatin1Char('%');
}

void ExportHistory(const QStringList& entries, const QString& path)
{
    if (QFile::exists(path) && !QFile::remove(path))
        throw BrevoraError(QStringLiteral("Error on File"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw BrevoraError(QStringLiteral("Cannot create file \"%1\". %2").arg(path, file.errorString()));
    QByteArray chunk;
    for (const QString& entry : entries) {
        chunk += CodePage::encode(entry) + "\r\n";
        if (chunk.size() > (1 << 16)) {
            if (file.write(chunk) != chunk.size())
                throw BrevoraError(QStringLiteral("Cannot create file \"%1\". %2").arg(path, file.errorString()));
            chunk.clear();
        }
    }
    if (file.write(chunk) != chunk.size() || !file.flush())
        throw BrevoraError(QStringLiteral("Cannot create file \"%1\". %2").arg(path, file.errorString()));
}
