#include "core/run/prepare.h"

#include <algorithm>

#include <QDateTime>

#include "core/error.h"
#include "core/text/codepage.h"
#include "core/text/textutil.h"

#include "core/mail/headerencoding.h"
#include "core/mail/htmltext.h"
#include "core/mail/messagewriter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMimeDatabase>
#include <QUrl>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <optional>

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

namespace {

// Which value a placeholder's name takes: "[= first_name =]" the value under that column's name,
// "[= PARAMn =]" the n-th value (an index into an entry's fields, the address being 0; an entry
// without it gives a blank). kNoValue: it names none and stays as written. kPerEntry: a PARAMn
// past 15, a value only for entries that have that many.
constexpr int kNoValue = -1;
constexpr int kPerEntry = -2;
int valueIndexOf(QStringView name, const QStringList& fieldNames, int* number)
{
    for (qsizetype n = 0; n < fieldNames.size(); ++n)
        if (!fieldNames[n].isEmpty() && name.compare(fieldNames[n], Qt::CaseInsensitive) == 0)
            return int(n + 1);
    if (!name.startsWith(QLatin1String("PARAM"), Qt::CaseInsensitive))
        return kNoValue;
    // Only a number as it is written plainly: no sign, blank or leading zero.
    const QStringView digits = name.mid(5);
    if (digits.isEmpty() || digits.size() > 9 || digits.front() == u'0'
        || !std::all_of(digits.begin(), digits.end(), [](QChar c) { return c >= u'0' && c <= u'9'; }))
        return kNoValue;
    *number = digits.toInt();
    return *number <= 15 ? *number : kPerEntry;
}

const QString kBlank = QStringLiteral(" ");

// A body line's placeholders found once for all the entries of a run: the text between them and
// the value each takes. A line with a placeholder whose meaning depends on the entry is merged
// by MergeLine for each.
class LineTemplate
{
public:
    LineTemplate(const QString& line, const QStringList& fieldNames)
        : m_line(line)
    {
        qsizetype pieceStart = 0;
        qsizetype scan = 0;
        for (qsizetype at = line.indexOf(u"[= "); at >= 0; at = line.indexOf(u"[= ", scan)) {
            const qsizetype end = line.indexOf(u" =]", at + 3);
            if (end < 0)
                break;
            int number = 0;
            const int field = valueIndexOf(QStringView(line).mid(at + 3, end - at - 3), fieldNames, &number);
            if (field == kPerEntry) {
                m_perEntry = true;
                return;
            }
            if (field == kNoValue) {
                scan = at + 1;
                continue;
            }
            m_pieces.append({pieceStart, at - pieceStart, field});
            pieceStart = scan = end + 3;
        }
        m_pieces.append({pieceStart, line.size() - pieceStart, kNoValue});
    }

    QString merge(const QStringList& fields, const QStringList& fieldNames) const
    {
        if (m_perEntry)
            return MergeLine(m_line, fields, fieldNames);
        if (m_pieces.size() == 1)
            return m_line;
        const auto valueOf = [&fields](int field) -> const QString& { return field < fields.size() ? fields[field] : kBlank; };
        qsizetype size = 0;
        for (const Piece& p : m_pieces)
            size += p.size + (p.field >= 0 ? valueOf(p.field).size() : 0);
        QString merged;
        merged.reserve(size);
        for (const Piece& p : m_pieces) {
            merged += QStringView(m_line).mid(p.at, p.size);
            if (p.field >= 0)
                merged += valueOf(p.field);
        }
        return merged;
    }

private:
    struct Piece
    {
        qsizetype at;
        qsizetype size;
        int field; // the value after the text, or kNoValue
    };
    QString m_line;
    QList<Piece> m_pieces;
    bool m_perEntry = false;
};

} // namespace

QString MergeLine(const QString& line, const QStringList& fields, const QStringList& fieldNames)
{
    // A placeholder up to PARAM15 without a value becomes a space. One pass from left to right:
    // a value goes in as it is and is never read again for placeholders, so a value that names
    // one cannot make the message grow beyond its own size.
    const auto valueOf = [&](QStringView name) -> std::optional<QString> {
        int number = 0;
        const int field = valueIndexOf(name, fieldNames, &number);
        if (field == kNoValue || (field == kPerEntry && number >= fields.size()))
            return std::nullopt;
        const int index = field == kPerEntry ? number : field;
        return index < fields.size() ? fields[index] : kBlank;
    };
    QString merged;
    merged.reserve(line.size() + 64);
    qsizetype from = 0;
    for (qsizetype at = line.indexOf(u"[= "); at >= 0; at = line.indexOf(u"[= ", from)) {
        const qsizetype end = line.indexOf(u" =]", at + 3);
        if (end < 0)
            break;
        const std::optional<QString> value = valueOf(QStringView(line).mid(at + 3, end - at - 3));
        merged += QStringView(line).mid(from, (value ? at : at + 1) - from);
        if (value)
            merged += *value;
        from = value ? end + 3 : at + 1;
    }
    merged += QStringView(line).mid(from);
    return merged;
}

PreparedMessage PrepareMessage(const QString& entry, const QStringList& contentLines, EmailMessage& message,
                               const QStringList& fieldNames)
{
    const QStringList fields = SplitString(entry, QStringLiteral(","));
    SetRecipientsText(message.Recipients, fields.first().trimmed());

    // The lines' placeholders are found once for the body and names a run sends with.
    thread_local QStringList templateLines;
    thread_local QStringList templateNames;
    thread_local QList<LineTemplate> templates;
    if (templates.isEmpty() || contentLines != templateLines || fieldNames != templateNames) {
        templates.clear();
        for (const QString& line : contentLines)
            templates.append(LineTemplate(line, fieldNames));
        templateLines = contentLines;
        templateNames = fieldNames;
    }
    PreparedMessage prepared;
    prepared.body.reserve(contentLines.size());
    for (const LineTemplate& line : std::as_const(templates))
        prepared.body.append(line.merge(fields, fieldNames));

    if (prepared.body.isEmpty())
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("The content has no text: its body file is empty or cannot be read."));
    prepared.contentType = prepared.body.first().contains(QLatin1String("html"), Qt::CaseSensitive)
        ? QStringLiteral("text/html")
        : QStringLiteral("text/plain");
    return prepared;
}

UnsubscribeHeader UnsubscribeFor(const Unsubscribe& unsubscribe, const QString& entry)
{
    UnsubscribeHeader header;
    if (!unsubscribe.any())
        return header;
    const QStringList fields = SplitString(entry, QStringLiteral(","));
    const QString address = fields.first().trimmed();
    const auto fill = [&](QString uri) {
        uri = uri.trimmed();
        const auto encoded = [](const QString& text) { return QString::fromLatin1(QUrl::toPercentEncoding(text)); };
        uri.replace(QStringLiteral("[= EMAIL =]"), encoded(address), Qt::CaseInsensitive);
        for (qsizetype n = 1; n < fields.size(); ++n)
            uri.replace(ParamPlaceholder(int(n)), encoded(fields[n]), Qt::CaseInsensitive);
        for (int n = 1; n <= 15; ++n)
            uri.replace(ParamPlaceholder(n), QString(), Qt::CaseInsensitive);
        // Folding happens only between the links: one link must fit a header line of its own.
        constexpr qsizetype kLongestLink = 900;
        if (uri.size() > kLongestLink)
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("The unsubscribe link for %1 is longer than %2 characters: \"%3...\"")
                                                     .arg(address).arg(kLongestLink).arg(uri.left(60)));
        return '<' + uri.toLatin1() + '>';
    };
    QList<QByteArray> links;
    if (!unsubscribe.mailto.trimmed().isEmpty())
        links.append(fill(unsubscribe.mailto));
    if (!unsubscribe.url.trimmed().isEmpty()) {
        links.append(fill(unsubscribe.url));
        header.oneClick = true;
    }
    header.value = links.join(", ");
    return header;
}

Attachment ReadAttachment(const QString& path, qint64 largest)
{
    const auto unreadable = [&path](const QString& why) {
        return BrevoraError(ErrorKind::Usage, QStringLiteral("The attachment \"%1\" cannot be read: %2.").arg(path, why));
    };
    // Only a regular file: a FIFO or a device would hold the run up before anything is sent, or
    // never end.
    struct stat info{};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        throw unreadable(QString::fromLocal8Bit(std::strerror(errno)));
    if (!S_ISREG(info.st_mode))
        throw unreadable(QStringLiteral("it is not a regular file"));
    if (largest > 0 && info.st_size > largest)
        throw BrevoraError(ErrorKind::Oversized, QStringLiteral("The attachment \"%1\" is %2 bytes; a message may hold at most %3.")
                                                     .arg(path)
                                                     .arg(qint64(info.st_size))
                                                     .arg(largest));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw unreadable(file.errorString());
    Attachment a;
    a.fileName = QFileInfo(path).fileName();
    a.mimeType = QMimeDatabase().mimeTypeForFile(path, QMimeDatabase::MatchExtension).name().toLatin1();
    a.data = file.read(largest > 0 ? largest + 1 : info.st_size + 1); // a file that grew is read no further
    if (file.error() != QFileDevice::NoError)
        throw unreadable(file.errorString());
    if (largest > 0 && a.data.size() > largest)
        throw BrevoraError(ErrorKind::Oversized, QStringLiteral("The attachment \"%1\" is more than %2 bytes.").arg(path).arg(largest));
    return a;
}

namespace {

// Feedback-ID, List-Id and the user's own headers, their placeholders filled from the entry. A
// value the list makes too long fails this message alone; text outside ASCII is encoded.
void setContentHeaders(EmailMessage& message, const QString& entry, const MessageExtras& extras)
{
    const ContentHeaders& h = extras.headers;
    if (h.feedbackId.isEmpty() && h.listId.isEmpty() && h.custom.isEmpty())
        return;
    const QStringList fields = SplitString(entry, QStringLiteral(","));
    QList<std::pair<QString, QString>> all{{QStringLiteral("Feedback-ID"), h.feedbackId}, {QStringLiteral("List-Id"), h.listId}};
    all += h.custom;
    for (const auto& [name, value] : all) {
        const QString merged = MergeLine(value, fields, extras.fieldNames).trimmed();
        if (merged.toUtf8().size() > 900 || merged.contains(QLatin1Char('\r')) || merged.contains(QLatin1Char('\n')))
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("The header %1 filled for %2 is longer than a header line may be.")
                                                     .arg(name, fields.value(0)));
        message.ExtraHeaders.set(name.toLatin1(), EncodeHeaderText(merged, {}, name.size() + 2));
    }
}

} // namespace

void ComposeMessage(EmailMessage& message, const QString& entry, const QStringList& contentLines, const MessageExtras& extras)
{
    const QStringList& fieldNames = extras.fieldNames;
    const Unsubscribe& links = extras.links;
    PreparedMessage prepared = PrepareMessage(entry, contentLines, message, fieldNames);
    message.ContentType = std::move(prepared.contentType);
    message.Body = std::move(prepared.body);
    // HTML goes with a text alternative; plain text stays a single part.
    message.TextAlternative.clear();
    if (message.ContentType == QLatin1String("text/html")) {
        message.TextAlternative = HtmlToText(message.Body);
        if (message.TextAlternative.isEmpty())
            message.TextAlternative.append(QString()); // a page without text still gets its text part
    }
    const UnsubscribeHeader unsubscribe = UnsubscribeFor(links, entry);
    message.ExtraHeaders.set("List-Unsubscribe", unsubscribe.value);
    message.ExtraHeaders.set("List-Unsubscribe-Post", unsubscribe.oneClick ? "List-Unsubscribe=One-Click" : QByteArray());
    setContentHeaders(message, entry, extras);

    message.Attachments.clear();
    if (extras.filesRead.size() == extras.files.size())
        message.Attachments = extras.filesRead;
    else
        for (const QString& path : extras.files)
            message.Attachments.append(ReadAttachment(path, extras.largestFile)); // says which file cannot be read
    if (!extras.fileColumn.isEmpty()) {
        qsizetype column = -1;
        for (qsizetype i = 0; i < fieldNames.size() && column < 0; ++i)
            if (fieldNames[i].compare(extras.fileColumn, Qt::CaseInsensitive) == 0)
                column = i;
        if (column < 0)
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("The list has no column \"%1\" for attachments.").arg(extras.fileColumn));
        const QString name = SplitString(entry, QStringLiteral(",")).value(column + 1).trimmed();
        if (!name.isEmpty()) {
            // The name comes from the list: it may only reach files inside the folder.
            // A link inside the folder is followed to where it leads, which must be inside too.
            const QString folder = QDir::cleanPath(QDir(extras.fileFolder).absolutePath());
            const QString path = QDir::cleanPath(QDir(folder).absoluteFilePath(name));
            const QString realFolder = QFileInfo(folder).canonicalFilePath();
            const QString realPath = QFileInfo(path).canonicalFilePath();
            if (QDir::isAbsolutePath(name) || !path.startsWith(folder + u'/')
                || (!realPath.isEmpty() && !realPath.startsWith(realFolder + u'/')))
                throw BrevoraError(ErrorKind::Usage, QStringLiteral("The attachment \"%1\" is not inside %2.").arg(name, folder));
            Attachment own = ReadAttachment(path, extras.largestFile);
            own.fileName = QFileInfo(path).fileName(); // the name the list gave, not the link's target
            message.Attachments.append(std::move(own));
        }
    }
}

QByteArray MessageFileBytes(EmailMessage message, const QString& entry, const QStringList& contentLines, const MessageExtras& extras)
{
    ComposeMessage(message, entry, contentLines, extras);
    return Dkim::Sign(WriteMessage(message, {true}).data, extras.dkimKeys, QDateTime::currentSecsSinceEpoch());
}

QString MessageFileName(int number, const QString& entry)
{
    QString address = entry.section(QLatin1Char(','), 0, 0).trimmed();
    for (QChar& c : address)
        if (!(c.isLetterOrNumber() && c.unicode() < 0x80) && c != u'@' && c != u'.' && c != u'-' && c != u'_' && c != u'+')
            c = u'_';
    return QStringLiteral("%1-%2.eml").arg(number, 6, 10, QLatin1Char('0')).arg(address.left(100));
}

WrittenForSession WriteForSession(const SmtpClient& session, const EmailMessage& message)
{
    EmailMessage toWrite = message;
    toWrite.ExtraHeaders.set("X-Mailer", CodePage::encode(session.MailAgent));
    WrittenMessage written = WriteMessage(toWrite, {session.capabilities().eightBitMime});
    Envelope envelope{message.ReturnPath.isEmpty() ? message.From.Address : message.ReturnPath, {}, written.eightBit};
    for (const EmailAddressList* list : {&message.Recipients, &message.CCList, &message.BccList})
        for (const EmailAddress& a : *list)
            envelope.recipients.append(a.Address);
    return {std::move(envelope), std::move(written.data)};
}
