#include "core/intake/csvfile.h"

#include "core/text/textutil.h"

namespace {

QChar separatorOf(const QString& firstLine)
{
    return firstLine.count(u'\t') > firstLine.count(u',') ? u'\t' : (firstLine.count(u';') > firstLine.count(u',') ? u';' : u',');
}

bool isAddressName(const QString& name)
{
    static const QStringList names{QStringLiteral("email"), QStringLiteral("e-mail"), QStringLiteral("mail"),
                                   QStringLiteral("address"), QStringLiteral("email address"), QStringLiteral("e-mail address")};
    return names.contains(name.trimmed().toLower());
}

// Splits the text into records of fields; each record's first line number in *lines.
QList<QStringList> records(const QString& text, QChar separator, QList<int>* lines)
{
    QList<QStringList> result;
    QStringList record;
    QString field;
    bool quoted = false;
    bool fieldStarted = false;
    int line = 1;
    int recordLine = 1;
    const auto endField = [&] {
        record.append(field);
        field.clear();
        fieldStarted = false;
    };
    const auto endRecord = [&] {
        endField();
        // A line that holds nothing at all is no record.
        if (!(record.size() == 1 && record.first().isEmpty())) {
            result.append(record);
            lines->append(recordLine);
        }
        record.clear();
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (quoted) {
            if (c == u'"') {
                if (i + 1 < text.size() && text.at(i + 1) == u'"') {
                    field += u'"';
                    ++i;
                } else {
                    quoted = false;
                }
            } else {
                if (c == u'\n')
                    ++line;
                field += c;
            }
            continue;
        }
        if (c == u'"' && !fieldStarted) {
            quoted = true;
            fieldStarted = true;
        } else if (c == separator) {
            endField();
        } else if (c == u'\r' || c == u'\n') {
            if (c == u'\r' && i + 1 < text.size() && text.at(i + 1) == u'\n')
                ++i;
            endRecord();
            ++line;
            recordLine = line;
        } else {
            field += c;
            fieldStarted = true;
        }
    }
    if (fieldStarted || !field.isEmpty() || !record.isEmpty())
        endRecord();
    return result;
}

} // namespace

QStringList CsvList::fieldNames() const
{
    QStringList names = header;
    if (addressColumn >= 0 && addressColumn < names.size())
        names.removeAt(addressColumn);
    for (QString& n : names)
        n = n.trimmed();
    return names;
}

bool LooksLikeCsv(const QString& text)
{
    const QString first = text.left(text.indexOf(u'\n')).trimmed();
    const QChar separator = separatorOf(first);
    if (!first.contains(separator))
        return false;
    QList<int> lines;
    const QList<QStringList> head = records(first, separator, &lines);
    if (head.isEmpty())
        return false;
    for (const QString& name : head.first())
        if (isAddressName(name))
            return true;
    return false;
}

CsvList ParseCsvList(const QString& text, const QString& addressColumn)
{
    CsvList list;
    const QChar separator = separatorOf(text.left(text.indexOf(u'\n')));
    QList<int> lines;
    const QList<QStringList> all = records(text, separator, &lines);
    if (all.isEmpty())
        return list;
    list.header = all.first();
    for (int i = 0; i < list.header.size() && list.addressColumn < 0; ++i)
        if (addressColumn.isEmpty() ? isAddressName(list.header[i])
                                    : list.header[i].trimmed().compare(addressColumn.trimmed(), Qt::CaseInsensitive) == 0)
            list.addressColumn = i;
    if (list.addressColumn < 0) {
        list.refusals.append(QStringLiteral("Line 1: no column is named %1.")
                                 .arg(addressColumn.isEmpty() ? QStringLiteral("email, e-mail, mail or address")
                                                              : QStringLiteral("\"%1\"").arg(addressColumn)));
        return list;
    }
    for (qsizetype r = 1; r < all.size(); ++r) {
        const QStringList& row = all[r];
        const int line = lines[r];
        const QString address = list.addressColumn < row.size() ? row[list.addressColumn].trimmed() : QString();
        if (!IsValidEmail(address)) {
            list.refusals.append(QStringLiteral("Line %1: \"%2\" is not an address.").arg(line).arg(PrintableText(address, true)));
            continue;
        }
        QStringList entry{address};
        QString refusal;
        for (int c = 0; c < list.header.size(); ++c) {
            if (c == list.addressColumn)
                continue;
            const QString value = c < row.size() ? row[c].trimmed() : QString();
            if (value.contains(u',') || value.contains(u'\n') || value.contains(u'\r')) {
                refusal = QStringLiteral("Line %1: the value \"%2\" of %3 holds %4, which an entry cannot carry.")
                              .arg(line)
                              .arg(PrintableText(value, true), list.header[c].trimmed(),
                                   value.contains(u',') ? QStringLiteral("a comma") : QStringLiteral("a line break"));
                break;
            }
            entry.append(value);
        }
        if (!refusal.isEmpty()) {
            list.refusals.append(refusal);
            continue;
        }
        // Trailing empty values add nothing to an entry.
        while (entry.size() > 1 && entry.last().isEmpty())
            entry.removeLast();
        list.entries.append(entry.join(u','));
        list.entryLines.append(line);
    }
    return list;
}

QByteArray EntriesAsCsv(const QStringList& entries, const QStringList& fieldNames, const QStringList& extraNames,
                        const QList<QStringList>& extraValues)
{
    const auto field = [](const QString& text) {
        // A spreadsheet runs a cell that starts like a formula (a hostile server's refusal text,
        // a list value): an apostrophe makes it text, and the spreadsheet shows it without one.
        static const QString formulaStarts = QStringLiteral("=+-@\t\r");
        const QString v = !text.isEmpty() && formulaStarts.contains(text.front()) ? u'\'' + text : text;
        return v.contains(u',') || v.contains(u'"') || v.contains(u'\n') || v.contains(u'\r')
            ? u'"' + QString(v).replace(QStringLiteral("\""), QStringLiteral("\"\"")) + u'"'
            : v;
    };
    int widest = 0;
    for (const QString& e : entries)
        widest = qMax(widest, int(SplitString(e, QStringLiteral(",")).size()) - 1);
    QStringList header{QStringLiteral("email")};
    for (int i = 0; i < widest; ++i)
        header.append(field(i < fieldNames.size() ? fieldNames[i] : QStringLiteral("PARAM%1").arg(i + 1)));
    for (const QString& n : extraNames)
        header.append(field(n));
    QByteArray bytes = "\xEF\xBB\xBF";
    bytes += header.join(u',').toUtf8() + "\r\n";
    for (qsizetype i = 0; i < entries.size(); ++i) {
        QStringList fields = SplitString(entries[i], QStringLiteral(","));
        while (fields.size() < widest + 1)
            fields.append(QString());
        fields += extraValues.value(i);
        for (QString& f : fields)
            f = field(f.trimmed());
        bytes += fields.join(u',').toUtf8() + "\r\n";
    }
    return bytes;
}
