#include "core/mail/messagewriter.h"

#include "core/error.h"

#include "core/text/codepage.h"
#include "core/mail/headerencoding.h"

#include "core/text/textutil.h"
#include "core/mail/tojis.h"

#include <QUrl>
#include <QRandomGenerator>
#include <QDateTime>
#include <atomic>
#include <optional>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

constexpr qsizetype kMaxLineBytes = 998;

QByteArray priorityText(Priority p)
{
    return QByteArray::number(int(p) + 1);
}

// Body lines as bytes: a line holding CR or LF becomes several lines.
QList<QByteArray> bodyLines(const QStringList& body)
{
    const bool jis = HeaderCharset().jis;
    QList<QByteArray> lines;
    lines.reserve(body.size());
    for (const QString& line : body) {
        auto add = [&](const QString& piece) { lines.append(jis ? ToJis(piece) : CodePage::encode(piece)); };
        if (!line.contains('\r') && !line.contains('\n')) {
            add(line);
            continue;
        }
        qsizetype from = 0;
        for (qsizetype i = 0; i < line.size(); ++i) {
            const QChar c = line.at(i);
            if (c == '\r' || c == '\n') {
                add(line.mid(from, i - from));
                if (c == '\r' && i + 1 < line.size() && line.at(i + 1) == '\n')
                    ++i;
                from = i + 1;
            }
        }
        add(line.mid(from));
    }
    return lines;
}

bool hasHighByte(const QByteArray& line)
{
    unsigned char all = 0; // a plain loop the compiler turns into wide operations
    for (char c : line)
        all |= static_cast<unsigned char>(c);
    return (all & 0x80) != 0;
}

void appendLine(QByteArray& out, const QByteArray& line)
{
    out += line;
    out += "\r\n";
}

} // namespace

QByteArray NewMessageId(const QString& senderAddress, const QByteArray& tag)
{
    static std::atomic<quint32> counter{0};
    static const QByteArray processTag = QByteArray::number(qint64(getpid()), 16);
    QString domain = senderAddress.mid(senderAddress.lastIndexOf('@') + 1).trimmed();
    if (!senderAddress.contains('@') || domain.isEmpty())
        domain = LocalHostName();
    if (domain.isEmpty())
        domain = QStringLiteral("localhost");
    char id[96];
    std::snprintf(id, sizeof id, "%llx.%s.%x.%016llx", static_cast<unsigned long long>(QDateTime::currentMSecsSinceEpoch()),
                  processTag.constData(), counter.fetch_add(1),
                  static_cast<unsigned long long>(QRandomGenerator::global()->generate64()));
    bool ascii = true;
    for (QChar c : domain)
        ascii = ascii && c.unicode() < 0x80;
    // With a tag (which names the run and recipient) a random part keeps it unique, and short
    // enough not to be folded.
    if (!tag.isEmpty())
        std::snprintf(id, sizeof id, "%s.%016llx", tag.left(60).constData(),
                      static_cast<unsigned long long>(QRandomGenerator::global()->generate64()));
    return '<' + QByteArray(id) + '@' + (ascii ? domain.toLatin1() : QUrl::toAce(domain)) + '>';
}

HeaderList BuildHeaders(const EmailMessage& m, const QByteArray& transferEncoding, const QByteArray& bodyCharset,
                        const QByteArray& boundary)
{
    HeaderList h;
    h.add("From", FormatAddress(m.From));
    h.add("Subject", EncodeHeaderText(m.Subject, {}, qsizetype(sizeof "Subject: " - 1)));
    h.add("To", FormatAddressList(m.Recipients));
    h.add("Cc", FormatAddressList(m.CCList));
    h.add("Newsgroups", CodePage::encode(m.NewsGroups.join(',')));
    if (!boundary.isEmpty())
        h.add("Content-Type", CodePage::encode(m.ContentType) + "; boundary=\"" + boundary + '"');
    else if (!m.ContentType.isEmpty())
        h.add("Content-Type", CodePage::encode(m.ContentType) + "; charset=\""
                                  + (bodyCharset.isEmpty() ? HeaderCharset().name : bodyCharset) + '"');
    h.add("MIME-Version", "1.0");
    h.add("Content-Transfer-Encoding", transferEncoding);
    h.add("Reply-To", FormatAddressList(m.ReplyTo));
    h.add("Organization", EncodeHeaderText(m.Organization, {}, qsizetype(sizeof "Organization: " - 1)));
    h.add("Disposition-Notification-To", FormatAddress(m.ReceiptRecipient));
    h.add("References", CodePage::encode(m.References));
    if (m.Date.isValid())
        h.add("Date", InternetDate(m.Date, m.Date.offsetFromUtc()));
    else
        h.add("Date", InternetDateNow());
    h.add("Message-ID", NewMessageId(m.From.Address, m.MessageIdTag));
    h.add("X-Priority", priorityText(m.MessagePriority));
    h.add("X-Library", "Brevora 1.0.5");
    h.append(m.ExtraHeaders);
    return h;
}

QByteArray QuotedPrintableLine(const QByteArray& line)
{
    QByteArray out;
    qsizetype column = 0;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const auto c = static_cast<unsigned char>(line.at(i));
        const bool last = i + 1 == line.size();
        QByteArray piece;
        if ((c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !last))
            piece = QByteArray(1, char(c));
        else
            piece = '=' + QByteArray::number(c, 16).toUpper().rightJustified(2, '0');
        // Soft breaks keep every encoded line within 76 characters.
        if (column + piece.size() > (last ? 76 : 75)) {
            out += "=\r\n";
            column = 0;
        }
        out += piece;
        column += piece.size();
    }
    return out;
}

namespace {

// How one body goes out: its lines as bytes, the transfer encoding they need and the charset
// label their bytes need.
struct EncodedBody
{
    QList<QByteArray> lines;
    QByteArray encoding = "7bit";
    QByteArray charset;
};

EncodedBody encodeBody(const QStringList& body, const WriterOptions& options)
{
    EncodedBody e;
    e.lines = bodyLines(body);
    bool highBytes = false;
    bool unsendable = false; // lines too long, or a NUL: neither 7bit nor 8bit may carry them
    for (const QByteArray& line : e.lines) {
        unsendable = unsendable || line.size() > kMaxLineBytes || std::memchr(line.constData(), 0, size_t(line.size()));
        highBytes = highBytes || hasHighByte(line);
    }
    if (unsendable || (highBytes && !options.serverOffers8BitMime))
        e.encoding = "quoted-printable";
    else if (highBytes)
        e.encoding = "8bit";
    // The label the body's bytes need (the usual one unless they go beyond it).
    e.charset = HeaderCharset().name;
    if (highBytes && !HeaderCharset().jis)
        for (const QByteArray& line : e.lines)
            if (hasHighByte(line) && (e.charset = CharsetLabel(line)) != HeaderCharset().name)
                break; // one line beyond the usual label labels the whole body
    return e;
}

void appendBody(QByteArray& out, const EncodedBody& body)
{
    if (body.encoding != "quoted-printable") {
        for (const QByteArray& line : body.lines)
            appendLine(out, line);
        return;
    }
    // Each encoded line of a quoted-printable body is stuffed on its own.
    for (const QByteArray& line : body.lines) {
        const QByteArray encoded = QuotedPrintableLine(line);
        qsizetype from = 0;
        for (qsizetype at = encoded.indexOf("\r\n"); at >= 0; at = encoded.indexOf("\r\n", from)) {
            appendLine(out, encoded.mid(from, at - from));
            from = at + 2;
        }
        appendLine(out, encoded.mid(from));
    }
}

void appendHeaders(QByteArray& out, const HeaderList& headers)
{
    for (const QByteArray& header : headers.lines()) {
        // Folded and encoded wherever the syntax allows; a line still too long is refused.
        if (header.size() > kMaxLineBytes)
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("The header line \"%1...\" is longer than %2 bytes and cannot be sent.")
                                                     .arg(QString::fromLatin1(header.left(40)))
                                                     .arg(kMaxLineBytes));
        out += header;
        out += "\r\n";
    }
    out += "\r\n";
}

} // namespace

namespace {

// A boundary no body line can match: "=_" cannot appear in quoted-printable or base64 text, and
// the rest is random. Short enough for the Content-Type line to stay one line.
QByteArray newBoundary()
{
    return "=_" + QByteArray::number(QRandomGenerator::global()->generate64(), 36)
        + QByteArray::number(QRandomGenerator::global()->generate(), 36);
}

// The body as a MIME part, its headers first: one text part, or the text and the HTML as
// multipart/alternative.
QByteArray bodyPart(const EmailMessage& message, const EncodedBody& body, const EncodedBody* text)
{
    QByteArray out;
    if (!text) {
        out += "Content-Type: " + CodePage::encode(message.ContentType) + "; charset=\"" + body.charset + "\"\r\n";
        out += "Content-Transfer-Encoding: " + body.encoding + "\r\n\r\n";
        appendBody(out, body);
        return out;
    }
    const QByteArray boundary = newBoundary();
    out += "Content-Type: multipart/alternative; boundary=\"" + boundary + "\"\r\n\r\n";
    for (const auto& [part, type] : {std::pair{text, "text/plain"}, std::pair{&body, "text/html"}}) {
        out += "--" + boundary + "\r\n";
        out += "Content-Type: " + QByteArray(type) + "; charset=\"" + part->charset + "\"\r\n";
        out += "Content-Transfer-Encoding: " + part->encoding + "\r\n\r\n";
        appendBody(out, *part);
    }
    out += "--" + boundary + "--\r\n";
    return out;
}

// A parameter of a MIME header: as it is when it is plain ASCII, else RFC 2231 (UTF-8,
// percent-encoded).
QByteArray mimeParameter(const char* name, const QString& value)
{
    bool plain = !value.isEmpty();
    for (QChar c : value)
        plain = plain && c.unicode() >= 0x20 && c.unicode() < 0x7F && c != u'"' && c != u'\\';
    if (plain)
        return QByteArray(name) + "=\"" + value.toLatin1() + '"';
    return QByteArray(name) + "*=UTF-8''" + value.toUtf8().toPercentEncoding("!#$&+-.^_`|~");
}

QByteArray attachmentPart(const Attachment& a)
{
    QByteArray out = "Content-Type: " + (a.mimeType.isEmpty() ? QByteArray("application/octet-stream") : a.mimeType) + ";\r\n "
        + mimeParameter("name", a.fileName) + "\r\n";
    out += "Content-Disposition: attachment;\r\n " + mimeParameter("filename", a.fileName) + "\r\n";
    out += "Content-Transfer-Encoding: base64\r\n\r\n";
    const QByteArray encoded = a.data.toBase64();
    for (qsizetype at = 0; at < encoded.size(); at += 76) {
        out += encoded.mid(at, 76);
        out += "\r\n";
    }
    return out;
}

} // namespace

namespace {
WrittenMessage writeIn(const EmailMessage& message, const WriterOptions& options);
} // namespace

WrittenMessage WriteMessage(const EmailMessage& message, const WriterOptions& options)
{
    try {
        return writeIn(message, options);
    } catch (const BrevoraError& e) {
        // Text the folder's code page cannot hold (a name with 髙, ① or an emoji where the
        // code page is ISO-2022-JP or CP1252) goes as UTF-8 for this message, not as a failure.
        if (!CodePage::isUnwritableText(e.message()) || HeaderCharset().name == "UTF-8")
            throw;
        const CodePage::ThreadOverride utf8("UTF-8");
        return writeIn(message, options);
    }
}

namespace {

WrittenMessage writeIn(const EmailMessage& message, const WriterOptions& options)
{
    CheckMessageAddresses(message);
    WrittenMessage written;
    QByteArray& out = written.data;
    const EncodedBody body = encodeBody(message.Body, options);
    qsizetype size = 1024;
    for (const QByteArray& line : body.lines)
        size += line.size() + 3;
    const bool alternative = !message.TextAlternative.isEmpty() && message.ContentType == QLatin1String("text/html");

    if (!alternative && message.Attachments.isEmpty()) {
        written.eightBit = body.encoding == "8bit";
        out.reserve(body.encoding == "quoted-printable" ? size * 3 : size);
        appendHeaders(out, BuildHeaders(message, body.encoding, body.charset));
        appendBody(out, body);
        return written;
    }

    std::optional<EncodedBody> text;
    if (alternative)
        text = encodeBody(message.TextAlternative, options);
    written.eightBit = body.encoding == "8bit" || (text && text->encoding == "8bit");
    const QByteArray first = bodyPart(message, body, text ? &*text : nullptr);
    EmailMessage outer = message;
    if (message.Attachments.isEmpty()) {
        // The alternative block is the whole body: its headers become the message's.
        const qsizetype headersEnd = first.indexOf("\r\n\r\n");
        const QByteArray contentType = first.left(headersEnd);
        outer.ContentType = QStringLiteral("multipart/alternative");
        const QByteArray boundary = contentType.mid(contentType.indexOf("boundary=\"") + 10).chopped(1);
        appendHeaders(out, BuildHeaders(outer, written.eightBit ? "8bit" : "7bit", {}, boundary));
        out += first.mid(headersEnd + 4);
        return written;
    }
    // multipart/mixed: the body first, then each file.
    const QByteArray boundary = newBoundary();
    outer.ContentType = QStringLiteral("multipart/mixed");
    appendHeaders(out, BuildHeaders(outer, written.eightBit ? "8bit" : "7bit", {}, boundary));
    out += "--" + boundary + "\r\n" + first;
    for (const Attachment& a : message.Attachments)
        out += "--" + boundary + "\r\n" + attachmentPart(a);
    out += "--" + boundary + "--\r\n";
    return written;
}
} // namespace
