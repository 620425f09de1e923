#include "app/prepare.h"

#include "common/errors.h"
#include "common/pubunit.h"

QString ParamPlaceholder(int number)
{
    return QStringLiteral("[= PARAM%1 =]").arg(number);
}

PreparedMessage PrepareMessage(const QString& entry, const QStringList& contentLines, EmailMessage& message)
{
    const QStringList fields = SplitString(entry, QStringLiteral(","));
    SetRecipientsText(message.Recipients, fields.first().trimmed());

    PreparedMessage prepared;
    prepared.body = contentLines;
    const int flags = int(ReplaceFlag::All) | int(ReplaceFlag::IgnoreCase);
    for (int i = 1; i < fields.size(); ++i)
        ReplaceInLines(prepared.body, ParamPlaceholder(i), fields[i], flags);
    for (int i = 1; i <= 15; ++i)
        ReplaceInLines(prepared.body, ParamPlaceholder(i), QStringLiteral(" "), flags);

    if (prepared.body.isEmpty())
        throw BrevoraError(QStringLiteral("List index out of bounds (0)"));
    prepared.contentType = prepared.body.first().contains(QLatin1String("html"), Qt::CaseSensitive)
        ? QStringLiteral("text/html")
        : QStringLiteral("text/plain");
    return prepared;
}
