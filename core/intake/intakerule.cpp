#include "core/intake/intakerule.h"

#include "core/smtp/envelope.h"

#include "core/error.h"
#include "core/mail/addresskey.h"
#include "core/mail/emailmessage.h"
#include "core/text/codepage.h"

IntakeRule::IntakeRule(std::function<bool(const QString&)> isPending, std::function<bool(const QString&)> hasBeenSent,
                       SuppressedCheck isSuppressed)
    : m_isPending(std::move(isPending))
    , m_hasBeenSent(std::move(hasBeenSent))
    , m_isSuppressed(std::move(isSuppressed))
{
}

QString IntakeRule::trimEntry(const QString& line)
{
    const auto blank = [](QChar c) { return c.unicode() <= 0x20 || c.unicode() == 0x7F || c.isSpace(); };
    qsizetype begin = 0;
    qsizetype end = line.size();
    while (begin < end && blank(line[begin]))
        ++begin;
    while (end > begin && blank(line[end - 1]))
        --end;
    return begin == 0 && end == line.size() ? line : line.mid(begin, end - begin);
}

QString IntakeRule::refusalOf(const QString& entry)
{
    // The longest path SMTP carries is 256 octets, angle brackets included.
    constexpr qsizetype kMaxAddress = 254;
    bool ascii = true;
    for (QChar c : entry) {
        const char16_t u = c.unicode();
        if (u < 0x80) {
            if (u < 0x20 || u == 0x7F)
                return QStringLiteral("it holds a control character (U+%1)").arg(u, 4, 16, QLatin1Char('0'));
            continue;
        }
        ascii = false;
        if (u == 0xFFFD)
            return QStringLiteral("it holds bytes the code page %1 does not define").arg(QString::fromLatin1(CodePage::name()));
        if (u < 0xA0)
            return QStringLiteral("it holds a control character (U+%1)").arg(u, 4, 16, QLatin1Char('0'));
    }
    const qsizetype comma = entry.indexOf(QLatin1Char(','));
    const QStringView address = QStringView(entry).left(comma < 0 ? entry.size() : comma).trimmed();
    if (address.size() > kMaxAddress)
        return QStringLiteral("the address is longer than %1 characters").arg(kMaxAddress);
    try {
        // The address as the run will read it, checked as the session will check it.
        EmailAddressList recipients;
        SetRecipientsText(recipients, address.toString());
        for (const EmailAddress& a : recipients)
            CheckEnvelopeAddress(QStringLiteral("address"), a.Address);
        if (!ascii)
            CodePage::encode(entry);
    } catch (const BrevoraError& e) {
        QString reason = e.message();
        while (reason.endsWith(QLatin1Char('.')))
            reason.chop(1); // the callers end the sentence
        return reason;
    }
    return {};
}

void IntakeRule::take(const QString& entry)
{
    m_taken.insert(AddressKey(entry));
}

IntakeRule::Verdict IntakeRule::judge(const QString& line, QString* entry, QString* reason) const
{
    *entry = trimEntry(line);
    if (entry->isEmpty())
        return Verdict::Skip;
    if (m_taken.contains(AddressKey(*entry)) || (m_isPending && m_isPending(*entry)))
        return Verdict::Duplicate;
    const QString refusal = refusalOf(*entry);
    if (!refusal.isEmpty()) {
        if (reason)
            *reason = refusal;
        return Verdict::Refused;
    }
    if (const std::optional<QString> why = m_isSuppressed ? m_isSuppressed(*entry) : std::nullopt) {
        if (reason)
            *reason = QStringLiteral("%1 is on the suppression list%2").arg(entry->section(QLatin1Char(','), 0, 0),
                                                                           why->isEmpty() ? QString() : QStringLiteral(" (%1)").arg(*why));
        return Verdict::Suppressed;
    }
    if (m_hasBeenSent && m_hasBeenSent(*entry))
        return Verdict::SentBefore;
    return Verdict::Take;
}
