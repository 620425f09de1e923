// GLib's headers name a member "signals", which Qt makes a keyword: they come first.
#include <gmime/gmime.h>

#include "core/bounce/bouncereport.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <mutex>

namespace {

void initGMime()
{
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

template <typename T> struct Unref
{
    T* p;
    ~Unref()
    {
        if (p)
            g_object_unref(p);
    }
};

QString headerOf(GMimeObject* object, const char* name)
{
    const char* value = g_mime_object_get_header(object, name);
    return value ? QString::fromUtf8(value).simplified() : QString();
}

// The decoded content of a leaf part.
QByteArray contentOf(GMimeObject* object)
{
    if (GMIME_IS_MESSAGE_PART(object)) {
        GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object));
        if (!inner)
            return {};
        char* text = g_mime_object_to_string(GMIME_OBJECT(inner), nullptr);
        QByteArray bytes(text);
        g_free(text);
        return bytes;
    }
    if (!GMIME_IS_PART(object))
        return {};
    GMimeDataWrapper* wrapper = g_mime_part_get_content(GMIME_PART(object));
    if (!wrapper)
        return {};
    Unref<GMimeStream> stream{g_mime_stream_mem_new()};
    g_mime_data_wrapper_write_to_stream(wrapper, stream.p);
    GByteArray* array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream.p));
    return QByteArray(reinterpret_cast<const char*>(array->data), qsizetype(array->len));
}

bool isType(GMimeObject* object, const char* type, const char* subtype)
{
    GMimeContentType* ct = g_mime_object_get_content_type(object);
    return ct && g_mime_content_type_is_type(ct, type, subtype);
}

// Header-like fields (a DSN's, a feedback report's, returned headers) in blocks split by empty
// lines, folded lines joined; names in lower case.
using Fields = QList<std::pair<QString, QString>>;
QList<Fields> fieldBlocks(const QByteArray& text)
{
    QList<Fields> blocks(1);
    for (QByteArray line : text.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.trimmed().isEmpty()) {
            if (!blocks.last().isEmpty())
                blocks.append(Fields());
            continue;
        }
        if ((line.startsWith(' ') || line.startsWith('\t')) && !blocks.last().isEmpty()) {
            blocks.last().last().second += QLatin1Char(' ') + QString::fromUtf8(line.trimmed());
            continue;
        }
        const qsizetype colon = line.indexOf(':');
        if (colon > 0)
            blocks.last().append({QString::fromLatin1(line.left(colon)).trimmed().toLower(), QString::fromUtf8(line.mid(colon + 1)).trimmed()});
    }
    if (blocks.last().isEmpty())
        blocks.removeLast();
    return blocks;
}

QString field(const Fields& fields, const QString& name)
{
    for (const auto& [n, v] : fields)
        if (n == name)
            return v;
    return {};
}

// "rfc822; a@b" -> "a@b"
QString typedAddress(const QString& value)
{
    QString a = value.section(QLatin1Char(';'), -1).trimmed();
    if (a.startsWith(QLatin1Char('<')) && a.endsWith(QLatin1Char('>')))
        a = a.mid(1, a.size() - 2);
    return a;
}

const QRegularExpression& statusPattern()
{
    static const QRegularExpression p(QStringLiteral("(?<![\\d.])([245])\\.(\\d{1,3})\\.(\\d{1,3})(?![\\d.]*\\d)"));
    return p;
}

bool saysUnknownUser(const QString& text)
{
    static const QRegularExpression unknown(QStringLiteral("user unknown|unknown user|no such (user|mailbox|recipient)|does not exist|"
                                                           "doesn't exist|no mailbox here|mailbox unavailable|invalid recipient|"
                                                           "recipient address rejected|address rejected|not found"),
                                            QRegularExpression::CaseInsensitiveOption);
    return unknown.match(text).hasMatch();
}

// The status a text names, or the one its wording means (servers that give none).
QString guessStatus(const QString& text)
{
    if (const auto m = statusPattern().match(text); m.hasMatch())
        return m.captured(0);
    static const QRegularExpression full(QStringLiteral("mailbox (is )?full|over ?quota|quota exceeded|insufficient storage"),
                                         QRegularExpression::CaseInsensitiveOption);
    if (full.match(text).hasMatch())
        return QStringLiteral("5.2.2");
    return saysUnknownUser(text) ? QStringLiteral("5.1.1") : QStringLiteral("5.0.0");
}

BounceFinding guessFromText(const QString& text)
{
    BounceFinding f;
    f.status = guessStatus(text);
    f.kind = ClassifyStatus(f.status, text);
    return f;
}

QString firstLines(const QString& text, int lines)
{
    QStringList out;
    for (const QString& l : text.split(QLatin1Char('\n'))) {
        if (!l.trimmed().isEmpty())
            out.append(l.trimmed());
        if (out.size() >= lines)
            break;
    }
    return out.join(QLatin1Char(' ')).left(300);
}

struct Walk
{
    QByteArray deliveryStatus;
    QByteArray feedbackReport;
    QByteArray returnedHeaders; // of text/rfc822-headers or message/rfc822
    QString text;               // the plain text parts outside the returned message
};

void walk(GMimeObject* object, Walk& w, int depth)
{
    if (depth > 8 || !object)
        return;
    if (GMIME_IS_MULTIPART(object)) {
        GMimeMultipart* mp = GMIME_MULTIPART(object);
        for (int i = 0; i < g_mime_multipart_get_count(mp); ++i)
            walk(g_mime_multipart_get_part(mp, i), w, depth + 1);
        return;
    }
    if (isType(object, "message", "delivery-status") || isType(object, "message", "global-delivery-status"))
        w.deliveryStatus += contentOf(object) + "\n\n";
    else if (isType(object, "message", "feedback-report"))
        w.feedbackReport += contentOf(object) + "\n\n";
    else if (isType(object, "text", "rfc822-headers") || isType(object, "message", "rfc822") || isType(object, "message", "global")
             || isType(object, "message", "global-headers")) {
        if (w.returnedHeaders.isEmpty()) {
            const QByteArray content = contentOf(object);
            const qsizetype end = content.indexOf("\n\n") >= 0 ? content.indexOf("\n\n") : content.indexOf("\r\n\r\n");
            w.returnedHeaders = end >= 0 ? content.left(end) : content;
        }
    } else if (isType(object, "text", "plain") && w.text.size() < 64 * 1024)
        w.text += QString::fromUtf8(contentOf(object)) + QLatin1Char('\n');
}

bool looksAutomatic(GMimeObject* top, const QString& subject)
{
    const QString autoSubmitted = headerOf(top, "Auto-Submitted").toLower();
    if (!autoSubmitted.isEmpty() && !autoSubmitted.startsWith(QLatin1String("no")))
        return true;
    if (!headerOf(top, "X-Autoreply").isEmpty() || !headerOf(top, "X-Autorespond").isEmpty())
        return true;
    if (headerOf(top, "Precedence").toLower() == QLatin1String("auto_reply"))
        return true;
    static const QRegularExpression ooo(QStringLiteral("^(out of (the )?office|automatic reply|auto(matic)?[- ]?(reply|response)|auto:|"
                                                       "abwesenheit|absence|réponse automatique|vacation)"),
                                        QRegularExpression::CaseInsensitiveOption);
    return ooo.match(subject.trimmed()).hasMatch();
}

bool fromMailSystem(GMimeObject* top, const QString& subject)
{
    static const QRegularExpression daemon(QStringLiteral("mailer-daemon|postmaster|mail delivery (sub)?system"),
                                           QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression failed(QStringLiteral("undeliver|undelivered|delivery (status notification|has failed|failure)|"
                                                          "failure notice|returned mail|mail delivery failed|could not be delivered|"
                                                          "delivery problem"),
                                           QRegularExpression::CaseInsensitiveOption);
    return daemon.match(headerOf(top, "From")).hasMatch() || failed.match(subject).hasMatch();
}

} // namespace

QString ClassName(BounceClass c)
{
    switch (c) {
    case BounceClass::Hard: return QStringLiteral("hard");
    case BounceClass::Soft: return QStringLiteral("soft");
    case BounceClass::Policy: return QStringLiteral("policy");
    case BounceClass::Complaint: return QStringLiteral("complaint");
    }
    return {};
}

std::optional<BounceClass> ClassFromName(const QString& name)
{
    for (BounceClass c : {BounceClass::Hard, BounceClass::Soft, BounceClass::Policy, BounceClass::Complaint})
        if (ClassName(c) == name)
            return c;
    return std::nullopt;
}

BounceClass ClassifyStatus(const QString& status, const QString& diagnostic)
{
    const QStringList p = status.split(QLatin1Char('.'));
    if (p.size() != 3 || p[0] != QLatin1String("5"))
        return BounceClass::Soft; // 4.x.x: for now
    const int subject = p[1].toInt(), detail = p[2].toInt();
    if (subject == 7)
        return BounceClass::Policy;
    if (subject == 1 || (subject == 2 && detail == 1) || (subject == 4 && (detail == 1 || detail == 4)))
        return BounceClass::Hard;
    if (subject == 0 && saysUnknownUser(diagnostic))
        return BounceClass::Hard;
    return BounceClass::Soft; // mailbox full, message too large, the system's trouble
}

BounceReport ReadBounceReport(const QByteArray& message)
{
    initGMime();
    BounceReport report;
    Unref<GMimeStream> stream{g_mime_stream_mem_new_with_buffer(message.constData(), size_t(message.size()))};
    Unref<GMimeParser> parser{g_mime_parser_new_with_stream(stream.p)};
    Unref<GMimeMessage> parsed{g_mime_parser_construct_message(parser.p, nullptr)};
    if (!parsed.p)
        return report;
    GMimeObject* top = GMIME_OBJECT(parsed.p);
    const char* id = g_mime_message_get_message_id(parsed.p);
    // Without a Message-ID the hash is of the text with its line ends and final blank lines made
    // alike, which a mailbox or an mbox file may change.
    report.key = id && *id ? '<' + QByteArray(id) + '>'
                           : "sha256:" + QCryptographicHash::hash(QByteArray(message).replace("\r\n", "\n").trimmed(),
                                                                   QCryptographicHash::Sha256).toHex();
    const QString subject = QString::fromUtf8(g_mime_message_get_subject(parsed.p) ? g_mime_message_get_subject(parsed.p) : "");

    for (const char* name : {"X-Original-To", "Delivered-To", "Envelope-To", "X-Envelope-To", "To", "Cc"})
        if (const QString v = headerOf(top, name); !v.isEmpty())
            report.tagPlaces.append(v.toUtf8());

    Walk w;
    walk(g_mime_message_get_mime_part(parsed.p), w, 0);
    const QList<Fields> returned = fieldBlocks(w.returnedHeaders);
    if (!returned.isEmpty()) {
        for (const char* name : {"return-path", "message-id"})
            if (const QString v = field(returned.first(), QString::fromLatin1(name)); !v.isEmpty())
                report.tagPlaces.append(v.toUtf8());
        for (const QString& to : field(returned.first(), QStringLiteral("to")).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            static const QRegularExpression angle(QStringLiteral("<([^>]+)>"));
            const auto m = angle.match(to);
            report.returnedTo.append(m.hasMatch() ? m.captured(1).trimmed() : to.trimmed());
        }
    }
    for (const char* name : {"In-Reply-To", "References"})
        if (const QString v = headerOf(top, name); !v.isEmpty())
            report.tagPlaces.append(v.toUtf8());

    if (!w.feedbackReport.isEmpty()) {
        const QList<Fields> blocks = fieldBlocks(w.feedbackReport);
        const Fields fields = blocks.isEmpty() ? Fields() : blocks.first();
        report.kind = BounceReport::Kind::Complaint;
        report.tagPlaces.prepend(field(fields, QStringLiteral("original-mail-from")).toUtf8());
        BounceFinding f;
        f.kind = BounceClass::Complaint;
        f.reason = field(fields, QStringLiteral("feedback-type")).toLower();
        if (f.reason.isEmpty())
            f.reason = QStringLiteral("abuse");
        f.address = typedAddress(field(fields, QStringLiteral("original-rcpt-to")));
        report.findings.append(f);
        return report;
    }
    if (!w.deliveryStatus.isEmpty()) {
        const QList<Fields> blocks = fieldBlocks(w.deliveryStatus);
        bool failed = false;
        for (qsizetype i = 1; i < blocks.size(); ++i) {
            const Fields& r = blocks[i];
            const QString action = field(r, QStringLiteral("action")).toLower();
            if (!action.startsWith(QLatin1String("failed")) && !action.startsWith(QLatin1String("delayed")))
                continue;
            BounceFinding f;
            f.address = typedAddress(field(r, QStringLiteral("original-recipient")));
            if (f.address.isEmpty())
                f.address = typedAddress(field(r, QStringLiteral("final-recipient")));
            f.status = statusPattern().match(field(r, QStringLiteral("status"))).captured(0);
            f.reason = field(r, QStringLiteral("diagnostic-code"));
            f.reason = f.reason.contains(QLatin1Char(';')) ? f.reason.section(QLatin1Char(';'), 1).trimmed() : f.reason;
            if (f.status.isEmpty())
                f.status = guessStatus(f.reason);
            f.kind = ClassifyStatus(f.status, f.reason);
            if (action.startsWith(QLatin1String("failed"))) {
                failed = true;
                report.findings.append(f);
            }
        }
        report.kind = failed ? BounceReport::Kind::Bounce : BounceReport::Kind::Delay;
        return report;
    }
    const bool mailSystem = fromMailSystem(top, subject);
    if (!mailSystem && looksAutomatic(top, subject)) {
        report.kind = BounceReport::Kind::AutoReply;
        return report;
    }
    if (!mailSystem)
        return report;
    // A bounce of its own form: its text says what happened, and often to whom (qmail: "<a@b>:").
    report.kind = BounceReport::Kind::Bounce;
    const QString text = w.text.isEmpty() ? QString::fromUtf8(message.mid(message.indexOf("\n\n"))) : w.text;
    BounceFinding f = guessFromText(text);
    static const QRegularExpression named(QStringLiteral("<([^<>@\\s]+@[^<>@\\s]+)>:"));
    if (const auto m = named.match(text); m.hasMatch())
        f.address = m.captured(1);
    else if (report.returnedTo.size() == 1)
        f.address = report.returnedTo.first();
    const auto status = statusPattern().match(text);
    f.reason = firstLines(status.hasMatch() ? text.mid(qMax(0, text.lastIndexOf(QLatin1Char('\n'), status.capturedStart()))) : text, 2);
    report.findings.append(f);
    return report;
}
