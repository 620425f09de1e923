#include "core/settings/preflightsettings.h"

#include "core/settings/entrykeys.h"
#include "core/settings/settingsfile.h"

#include <QCryptographicHash>
#include <QDateTime>

namespace {

const QByteArray kSection("Checked before sending");
const QString kCheckKey = QStringLiteral("CheckBeforeFirstRun");

// Titles and addresses may hold anything; a hash of the pair is a key any code page can hold.
QByteArray pairKey(const QString& sender, const QString& content)
{
    const QByteArray pair = sender.trimmed().toLower().toUtf8() + '\n' + content.toUtf8();
    return QCryptographicHash::hash(pair, QCryptographicHash::Sha256).toHex().left(20);
}

} // namespace

bool ReadCheckBeforeFirstRun()
{
    return ReadBasicInteger(kCheckKey, 1) == 1;
}

void WriteCheckBeforeFirstRun(bool on)
{
    WriteBasicInteger(kCheckKey, on ? 1 : 0);
}

bool WasCheckedBeforeRun(const QString& sender, const QString& content)
{
    return !EntryKeys::file().readValue(kSection, pairKey(sender, content)).isEmpty();
}

void MarkCheckedBeforeRun(const QString& sender, const QString& content)
{
    EntryKeys::file().writeValue(kSection, pairKey(sender, content),
                                 QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm")).toLatin1());
}
