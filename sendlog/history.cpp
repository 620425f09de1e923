#include "sendlog/history.h"

#include "common/codepage.h"
#include "common/errors.h"

#include <QFile>
#include <QVariant>

QString DayPattern(const QDate& day)
{
    return day.toString(QStringLiteral("yyyy-MM-dd")) + QLatin1Char('%');
}

void ExportHistory(QSqlQuery& result, const QString& path)
{
    if (QFile::exists(path) && !QFile::remove(path))
        throw BrevoraError(QStringLiteral("Error on File"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw BrevoraError(QStringLiteral("Cannot create file \"%1\". %2").arg(path, file.errorString()));
    QByteArray chunk;
    if (result.isActive() && result.first()) {
        do {
            chunk += CodePage::encode(result.value(1).toString()) + "\r\n";
            if (chunk.size() > (1 << 16)) {
                if (file.write(chunk) != chunk.size())
                    throw BrevoraError(QStringLiteral("Cannot create file \"%1\". %2").arg(path, file.errorString()));
                chunk.clear();
            }
        } while (result.next());
    }
    if (file.write(chunk) != chunk.size() || !file.flush())
        throw BrevoraError(QStringLiteral("Cannot create file \"%1\". %2").arg(path, file.errorString()));
}
