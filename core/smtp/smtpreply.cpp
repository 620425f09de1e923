#include "core/smtp/smtpreply.h"

#include "core/error.h"

QString SmtpReply::text() const
{
    QString out;
    for (const QString& entry : Text)
        out += entry + QStringLiteral("\r\n");
    return out;
}

SmtpReply SmtpReply::parse(const QList<QByteArray>& lines)
{
    SmtpReply reply;
    if (lines.isEmpty())
        return reply;
    const QByteArrayView first(lines.first());
    QByteArrayView code = first.first(qMin<qsizetype>(4, first.size())).trimmed();
    if (code.size() == 4 && code.back() == '-')
        code.chop(1);
    reply.TextCode = QString::fromLatin1(code);
    bool ok = false;
    const int number = code.toInt(&ok);
    reply.NumericCode = ok ? number : 0;
    reply.Text.reserve(lines.size());
    for (const QByteArray& line : lines)
        reply.Text.append(line.size() > 4 ? QString::fromLatin1(QByteArrayView(line).sliced(4)) : QString());
    return reply;
}

QByteArray ReplyAssembler::trimLine(const QByteArray& line)
{
    qsizetype start = 0;
    qsizetype end = line.size();
    while (start < end && static_cast<unsigned char>(line.at(start)) <= 0x20)
        ++start;
    while (end > start && static_cast<unsigned char>(line.at(end - 1)) <= 0x20)
        --end;
    return line.mid(start, end - start);
}

ReplyAssembler::Step ReplyAssembler::addLine(const QByteArray& rawLine)
{
    const QByteArray line = trimLine(rawLine);
    if (line.isEmpty())
        return Step::NeedMore;
    m_bytes += line.size();
    if (m_lines.size() >= kMaxLines || m_bytes > kMaxBytes)
        throw BrevoraError(ErrorKind::Network, QStringLiteral("The server's reply is too long."));
    m_lines.append(line);
    if (m_lines.size() == 1) {
        if (line.size() > 3 && line.at(3) == '-') {
            m_terminator = line.left(3) + ' ';
            return Step::NeedMore;
        }
        return Step::Complete;
    }
    if (line.size() < 4 || line.left(4).compare(m_terminator, Qt::CaseInsensitive) == 0)
        return Step::Complete;
    // A line with a code of its own can never end this reply: waiting for it would hang.
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    if (isDigit(line[0]) && isDigit(line[1]) && isDigit(line[2]) && line.left(3) != m_terminator.left(3))
        throw BrevoraError(ErrorKind::Network, QStringLiteral("The server's reply mixes the codes %1 and %2.")
                                                   .arg(QString::fromLatin1(m_terminator.left(3)), QString::fromLatin1(line.left(3))));
    return Step::NeedMore;
}

ServerCapabilities ServerCapabilities::fromEhlo(const SmtpReply& reply)
{
    ServerCapabilities caps;
    for (qsizetype i = 0; i < reply.Text.size(); ++i) {
        const QString entry = reply.Text[i].toUpper();
        if (entry.startsWith(QLatin1String("AUTH ")) || entry.startsWith(QLatin1String("AUTH="))) {
            QString rest = entry.mid(4);
            rest.replace('=', ' ');
            for (const QString& piece : rest.split(' ', Qt::SkipEmptyParts))
                if (!caps.authSchemes.contains(piece))
                    caps.authSchemes.append(piece);
        }
        // The first entry is the server's greeting, not a keyword.
        if (i == 0)
            continue;
        const QString keyword = entry.section(' ', 0, 0).trimmed();
        if (keyword == QLatin1String("PIPELINING"))
            caps.pipelining = true;
        else if (keyword == QLatin1String("CHUNKING"))
            caps.chunking = true;
        else if (keyword == QLatin1String("8BITMIME"))
            caps.eightBitMime = true;
        else if (keyword == QLatin1String("STARTTLS"))
            caps.startTls = true;
        else if (keyword == QLatin1String("SIZE")) {
            caps.size = true;
            caps.sizeLimit = qMax<qint64>(0, entry.section(' ', 1, 1).toLongLong());
        }
    }
    return caps;
}
