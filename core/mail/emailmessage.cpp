#include "core/mail/emailmessage.h"

#include "core/error.h"
#include "core/mail/headerencoding.h"
#include "core/smtp/envelope.h"

namespace {

QString unquote(const QString& text)
{
    QString t = text.trimmed();
    if (t.size() >= 2 && t.startsWith('"') && t.endsWith('"')) {
        QString out;
        for (qsizetype i = 1; i + 1 < t.size(); ++i) {
            if (t.at(i) == '\\' && i + 2 < t.size())
                ++i;
            out += t.at(i);
        }
        return out;
    }
    return t;
}

// Drops comments in parentheses outside quotes.
QString withoutComments(const QString& text)
{
    QString out;
    bool quoted = false;
    int depth = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == '\\' && i + 1 < text.size()) {
            if (depth == 0)
                out += c + QString(text.at(i + 1));
            ++i;
            continue;
        }
        if (!quoted && c == '(') {
            ++depth;
            continue;
        }
        if (!quoted && c == ')' && depth > 0) {
            --depth;
            continue;
        }
        if (depth > 0)
            continue;
        if (c == '"')
            quoted = !quoted;
        out += c;
    }
    return out;
}

EmailAddress parseMailbox(const QString& itemText)
{
    const QString text = withoutComments(itemText);
    bool quoted = false;
    qsizetype open = -1;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == '\\') {
            ++i;
            continue;
        }
        if (c == '"')
            quoted = !quoted;
        else if (!quoted && c == '<') {
            open = i;
            break;
        }
    }
    EmailAddress result;
    if (open < 0) {
        result.Address = unquote(text);
        return result;
    }
    const qsizetype close = text.indexOf('>', open);
    result.Name = unquote(text.left(open));
    result.Address = text.mid(open + 1, (close < 0 ? text.size() : close) - open - 1).trimmed();
    if (close >= 0 && text.mid(close + 1).contains('@'))
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("@ Outside address"));
    return result;
}

} // namespace

void SetRecipientsText(EmailAddressList& list, const QString& text)
{
    list.clear();
    const QString all = text.trimmed();
    if (all.isEmpty())
        return;
    QString item;
    bool quoted = false;
    int depth = 0;
    auto finish = [&](bool endedByCommaOrEnd) {
        const QString trimmed = item.trimmed();
        item.clear();
        if (trimmed.isEmpty() || (endedByCommaOrEnd && trimmed == QLatin1String("<>")))
            return;
        const EmailAddress address = parseMailbox(trimmed);
        if (address.Address.isEmpty() && address.Name.isEmpty())
            return;
        list.append(address);
    };
    for (qsizetype i = 0; i < all.size(); ++i) {
        const QChar c = all.at(i);
        if (c == '\\' && i + 1 < all.size()) {
            item += c;
            item += all.at(++i);
            continue;
        }
        if (c == '"' && depth == 0)
            quoted = !quoted;
        else if (!quoted && c == '(')
            ++depth;
        else if (!quoted && c == ')' && depth > 0)
            --depth;
        if (!quoted && depth == 0) {
            if (c == ',' || c == ';') {
                finish(c == ',');
                continue;
            }
            if (c == ':') {
                item.clear(); // a group name
                continue;
            }
        }
        item += c;
    }
    finish(true);
}

qsizetype HeaderList::find(const QByteArray& name) const
{
    for (qsizetype i = 0; i < m_lines.size(); ++i) {
        const QByteArray& line = m_lines[i];
        if (line.startsWith(' ') || line.startsWith('\t'))
            continue;
        const qsizetype colon = line.indexOf(':');
        if (colon >= 0 && line.left(colon).compare(name, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

void HeaderList::set(const QByteArray& name, const QByteArray& value)
{
    qsizetype at = find(name);
    if (at >= 0) {
        qsizetype end = at + 1;
        while (end < m_lines.size() && (m_lines[end].startsWith(' ') || m_lines[end].startsWith('\t')))
            ++end;
        m_lines.remove(at, end - at);
    }
    if (value.isEmpty())
        return;
    const QList<QByteArray> folded = FoldHeaderLine(name + ": " + value);
    if (at < 0)
        at = m_lines.size();
    for (qsizetype i = 0; i < folded.size(); ++i)
        m_lines.insert(at + i, folded[i]);
}

void HeaderList::add(QByteArrayView name, const QByteArray& value)
{
    if (value.isEmpty())
        return;
    // Most header lines are short and plain: they stay one line as they are.
    if (name.size() + 2 + value.size() <= 78 && static_cast<unsigned char>(value.back()) > 0x20 && !value.contains('\r')
        && !value.contains('\n')) {
        QByteArray line;
        line.reserve(name.size() + 2 + value.size());
        line += name;
        line += ": ";
        line += value;
        m_lines.append(line);
        return;
    }
    m_lines += FoldHeaderLine(name.toByteArray() + ": " + value);
}

void CheckMessageAddresses(const EmailMessage& message)
{
    // Every address part goes into a command or raw into a header; names are encoded.
    auto check = [](const QString& what, const EmailAddress& a) {
        CheckEnvelopeAddress(what, a.Address);
        CheckCommandArgument(what, a.Name);
    };
    check(QStringLiteral("sender address"), message.From);
    check(QStringLiteral("receipt address"), message.ReceiptRecipient);
    for (const EmailAddressList* list : {&message.Recipients, &message.CCList, &message.BccList, &message.ReplyTo})
        for (const EmailAddress& a : *list)
            check(QStringLiteral("recipient address"), a);
}

QByteArray FormatAddress(const EmailAddress& address)
{
    return FormatMailbox(address.Address, address.Name);
}

QByteArray FormatAddressList(const QList<EmailAddress>& list)
{
    QByteArray out;
    for (const EmailAddress& a : list) {
        if (!out.isEmpty())
            out += ", ";
        out += FormatAddress(a);
    }
    return out;
}
