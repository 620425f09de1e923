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

// Splits the text into records of fields; each record's first line number in *lines, counting
// from *line, which is left at the line after the last record taken. Unless the text is the last
// there is, a record that no line end closes yet waits for more: *used says how much was taken.
QList<QStringList> records(const QString& text, QChar separator, QList<int>* lines, int* line, qsizetype* used, bool last)
{
    QList<QStringList> result;
    QStringList record;
    QString field;
    bool quoted = false;
    bool fieldStarted = false;
    int at = *line;
    int recordLine = at;
    qsizetype taken = 0;
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
                    ++at;
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
            if (c == u'\r' && i + 1 == text.size() && !last)
                break; // a line feed may follow in the next piece
            if (c == u'\r' && i + 1 < text.size() && text.at(i + 1) == u'\n')
                ++i;
            endRecord();
            ++at;
            recordLine = at;
            taken = i + 1;
        } else {
            field += c;
            fieldStarted = true;
        }
    }
    if (last) {
        if (fieldStarted || !field.isEmpty() || !record.isEmpty())
            endRecord();
        taken = text.size();
    }
    *line = recordLine;
    *used = taken;
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
    int line = 1;
    qsizetype used = 0;
    const QList<QStringList> head = records(first, separator, &lines, &line, &used, true);
    if (head.isEmpty())
        return false;
    for (const QString& name : head.first())
        if (isAddressName(name))
            return true;
    return false;
}

CsvReader::CsvReader(const QString& addressColumn)
    : m_addressColumn(addressColumn)
{
}

void CsvReader::read(const QString& text, bool last, CsvList* list)
{
    m_text += text;
    if (m_separator.isNull()) {
        // The separator is the one the header line holds most of.
        const qsizetype firstEnd = m_text.indexOf(u'\n');
        if (firstEnd < 0 && !last)
            return;
        m_separator = separatorOf(m_text.left(firstEnd));
    }
    QList<int> lines;
    qsizetype used = 0;
    const QList<QStringList> all = records(m_text, m_separator, &lines, &m_line, &used, last);
    m_text.remove(0, used);
    qsizetype r = 0;
    if (!m_headerRead && !all.isEmpty()) {
        m_headerRead = true;
        m_header = all.first();
        for (int i = 0; i < m_header.size() && m_column < 0; ++i)
            if (m_addressColumn.isEmpty() ? isAddressName(m_header[i])
                                          : m_header[i].trimmed().compare(m_addressColumn.trimmed(), Qt::CaseInsensitive) == 0)
                m_column = i;
        r = 1;
    }
    list->header = m_header;
    list->addressColumn = m_column;
    if (!m_headerRead)
        return;
    if (m_column < 0) {
        if (!m_refusedHeader)
            list->refusals.append(QStringLiteral("Line 1: no column is named %1.")
                                      .arg(m_addressColumn.isEmpty() ? QStringLiteral("email, e-mail, mail or address")
                                                                     : QStringLiteral("\"%1\"").arg(m_addressColumn)));
        m_refusedHeader = true;
        return;
    }
    for (; r < all.size(); ++r) {
        const QStringList& row = all[r];
        const int line = lines[r];
        const QString address = m_column < row.size() ? row[m_column].trimmed() : QString();
        if (!IsValidEmail(address)) {
            list->refusals.append(QStringLiteral("Line %1: \"%2\" is not an address.").arg(line).arg(PrintableText(address, true)));
            continue;
        }
        QStringList entry{address};
        QString refusal;
        for (int c = 0; c < m_header.size(); ++c) {
            if (c == m_column)
                continue;
            const QString value = c < row.size() ? row[c].trimmed() : QString();
            if (value.contains(u',') || value.contains(u'\n') || value.contains(u'\r')) {
                refusal = QStringLiteral("Line %1: the value \"%2\" of %3 holds %4, which an entry cannot carry.")
                              .arg(line)
                              .arg(PrintableText(value, true), m_header[c].trimmed(),
                                   value.contains(u',') ? QStringLiteral("a comma") : QStringLiteral("a line break"));
                break;
            }
            entry.append(value);
        }
        if (!refusal.isEmpty()) {
            list->refusals.append(refusal);
            continue;
        }
        // Trailing empty values add nothing to an entry.
        while (entry.size() > 1 && entry.last().isEmpty())
            entry.removeLast();
        list->entries.append(entry.join(u','));
        list->entryLines.append(line);
    }
}

CsvList ParseCsvList(const QString& text, const QString& addressColumn)
{
    CsvList list;
    CsvReader(addressColumn).read(text, true, &list);
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
