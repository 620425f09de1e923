#include "core/sendlog/historyexport.h"

#include "core/text/codepage.h"
#include "core/error.h"

#include <QFile>

QString DayPattern(const QDate& day)
{
    return day.toString(QStringLiteral("yyyy-MM-dd")) + QLatin1Char('%');
}

void ExportHistory(const QStringList& entries, const QString& path)
{
    if (QFile::exists(path) && !QFile::remove(path))
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("Error on File"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("Cannot create file \"%1\". %2").arg(path, file.errorString()));
    const QByteArray bytes = CodePage::encodeLines(entries);
    if (file.write(bytes) != bytes.size() || !file.flush())
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("Cannot create file \"%1\". %2").arg(path, file.errorString()));
}
