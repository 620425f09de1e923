#include "app/prepare.h"

#include "common/errors.h"
#include "common/pubunit.h"

QString ParamPlaceholder(int number)
{
    static const QStringList common = [] {
        QStringList list;
        for (int i = 0; i <= 15; ++i)
            list.append(QStringLiteral("[= PARAM%1 =]").arg(i));
        return list;
    }();
    return number >= 0 && number <= 15 ? common[number] : QStringLiteral("[= PARAM%1 =]").arg(number);
}

PreparedMessage PrepareMessage(const QString& entry, const QStringList& contentLines, EmailMessage& message)
{
    const QStringList fields = SplitString(entry, QStringLiteral(","));
    SetRecipientsText(message.Recipients, fields.first().trimmed());

    PreparedMessage prepared;
    prepared.body = contentLines;
    // Only lines holding "[=" can hold a placeholder, and replacing never adds one to another
    // line: the passes run over those lines alone.
    QList<qsizetype> withPlaceholders;
    QStringList lines;
    for (qsizetype i = 0; i < prepared.body.size(); ++i)
        if (prepared.body[i].contains(u"[=")) {
            withPlaceholders.append(i);
            lines.append(prepared.body[i]);
        }
    if (!lines.isEmpty()) {
        const int flags = int(ReplaceFlag::All) | int(ReplaceFlag::IgnoreCase);
        for (int i = 1; i < fields.size(); ++i)
            ReplaceInLines(lines, ParamPlaceholder(i), fields[i], flags);
        for (int i = 1; i <= 15; ++i)
            ReplaceInLines(lines, ParamPlaceholder(i), QStringLiteral(" "), flags);
        for (qsizetype k = 0; k < withPlaceholders.size(); ++k)
            prepared.body[withPlaceholders[k]] = lines[k];
    }

    if (prepared.body.isEmpty())
        throw BrevoraError(QStringLiteral("List index out of bounds (0)"));
    prepared.contentType = prepared.body.first().contains(QLatin1String("html"), Qt::CaseSensitive)
        ? QStringLiteral("text/html")
        : QStringLiteral("text/plain");
    return prepared;
}
