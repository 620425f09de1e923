#include "core/settings/contentheaders.h"

#include "core/error.h"
#include "core/settings/entrykeys.h"
#include "core/text/textutil.h"

namespace {

const QByteArray kFeedbackSection("Feedback-ID");
const QByteArray kListIdSection("List-Id");
const QByteArray kCustomSection("Custom headers");
constexpr int kLongestValue = 900; // room for the name on a 998-byte line

// Headers the message writer, the unsubscribe links and the signing set: never the user's.
bool ownHeader(const QString& name)
{
    static const QStringList own{"from", "to", "cc", "bcc", "subject", "date", "message-id", "mime-version", "reply-to",
                                 "return-path", "received", "sender", "dkim-signature", "list-unsubscribe",
                                 "list-unsubscribe-post", "feedback-id", "list-id", "disposition-notification-to",
                                 "x-mailer", "x-priority", "x-library", "organization", "references", "in-reply-to"};
    const QString n = name.toLower();
    return own.contains(n) || n.startsWith(QLatin1String("content-"));
}

void checkValue(const QString& name, const QString& value)
{
    for (const QChar c : value)
        if (c == u'\r' || c == u'\n' || c.unicode() == 0)
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("The header %1 must not hold a line break or NUL.").arg(name));
    if (value.toUtf8().size() > kLongestValue)
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("The header %1 is longer than a header line may be (%2 bytes at most).")
                                                 .arg(name).arg(kLongestValue));
}

// One "name: value" a line of the stored text, percent-encoded so that a value keeps its spaces.
QByteArray encodeCustom(const QList<std::pair<QString, QString>>& custom)
{
    QByteArrayList parts;
    for (const auto& [name, value] : custom)
        parts.append((name + QStringLiteral(": ") + value).toUtf8().toPercentEncoding());
    return parts.join(' ');
}

} // namespace

std::pair<QString, QString> ParseHeaderText(const QString& text)
{
    const qsizetype colon = text.indexOf(QLatin1Char(':'));
    const QString name = colon > 0 ? text.left(colon).trimmed() : QString();
    if (name.isEmpty())
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("\"%1\" is not a header: write it as Name: value.").arg(PrintableText(text, true)));
    return {name, text.mid(colon + 1).trimmed()};
}

void CheckContentHeaders(const ContentHeaders& h)
{
    checkValue(QStringLiteral("Feedback-ID"), h.feedbackId);
    checkValue(QStringLiteral("List-Id"), h.listId);
    for (const auto& [name, value] : h.custom) {
        if (name.isEmpty() || name.size() > 76)
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("A header name must have 1 to 76 characters."));
        for (const QChar c : name)
            if (c.unicode() < 33 || c.unicode() > 126 || c == u':')
                throw BrevoraError(ErrorKind::Usage, QStringLiteral("\"%1\" is not a header name: printable ASCII without \":\" or "
                                                                    "blanks.").arg(PrintableText(name, true)));
        if (ownHeader(name))
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("The header %1 is written by Brevora itself; it cannot be set.").arg(name));
        checkValue(name, value);
    }
}

ContentHeaders ReadContentHeaders(const QString& contentTitle)
{
    const IniFile ini = EntryKeys::file();
    const QByteArray key = EntryKeys::ofContent(contentTitle);
    ContentHeaders h;
    h.feedbackId = QString::fromUtf8(ini.readValue(kFeedbackSection, key)).trimmed();
    h.listId = QString::fromUtf8(ini.readValue(kListIdSection, key)).trimmed();
    for (const QByteArray& part : ini.readValue(kCustomSection, key).split(' '))
        if (!part.isEmpty()) {
            try {
                h.custom.append(ParseHeaderText(QString::fromUtf8(QByteArray::fromPercentEncoding(part))));
            } catch (const BrevoraError&) {
                // a hand-made line that is no header is left out
            }
        }
    return h;
}

void WriteContentHeaders(const QString& contentTitle, const ContentHeaders& h)
{
    CheckContentHeaders(h);
    const IniFile ini = EntryKeys::file();
    const QByteArray key = EntryKeys::writable(EntryKeys::ofContent(contentTitle), contentTitle);
    const auto write = [&](const QByteArray& section, const QByteArray& value) {
        if (value.isEmpty())
            ini.deleteKey(section, key);
        else
            ini.writeValue(section, key, value);
    };
    write(kFeedbackSection, h.feedbackId.trimmed().toUtf8());
    write(kListIdSection, h.listId.trimmed().toUtf8());
    write(kCustomSection, encodeCustom(h.custom));
}
