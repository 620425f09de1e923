#include "core/intake/intakerule.h"

IntakeRule::IntakeRule(std::function<bool(const QString&)> isPending, std::function<bool(const QString&)> hasBeenSent)
    : m_isPending(std::move(isPending))
    , m_hasBeenSent(std::move(hasBeenSent))
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

IntakeRule::Verdict IntakeRule::judge(const QString& line, QString* entry) const
{
    *entry = trimEntry(line);
    if (entry->isEmpty() || m_taken.contains(*entry) || (m_isPending && m_isPending(*entry)))
        return Verdict::Skip;
    if (m_hasBeenSent && m_hasBeenSent(*entry))
        return Verdict::SentBefore;
    return Verdict::Take;
}
