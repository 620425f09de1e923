#include "core/settings/bouncesettings.h"

#include "core/error.h"
#include "core/mail/returnpath.h"
#include "core/settings/entrykeys.h"
#include "core/text/codepage.h"
#include "core/text/textutil.h"

#include <QUrl>

namespace {

const QByteArray kAddressSection("Bounce address");
const QByteArray kMailboxSection("Bounce mailbox");
const QByteArray kPasswordSection("Bounce mailbox password");
const QByteArray kFolderSection("Bounce folder");
const QByteArray kDeleteSection("Bounce delete");
const QByteArray kRulesSection("Bounces");

QByteArray keyOf(const QString& sender)
{
    return CodePage::encode(sender.trimmed().toLower());
}

void writeOrDelete(const QByteArray& section, const QByteArray& key, const QByteArray& value)
{
    if (value.isEmpty())
        EntryKeys::file().deleteKey(section, key);
    else
        EntryKeys::file().writeValue(section, key, value);
}

} // namespace

BounceSetup ReadBounceSetup(const QString& sender)
{
    const IniFile ini = EntryKeys::file();
    const QByteArray key = keyOf(sender);
    BounceSetup s;
    s.address = QString::fromLatin1(ini.readValue(kAddressSection, key)).trimmed();
    s.mailbox = QString::fromUtf8(ini.readValue(kMailboxSection, key)).trimmed();
    s.password = CodePage::decode(DecodePassword(ini.readValue(kPasswordSection, key)));
    if (const QString folder = QString::fromUtf8(ini.readValue(kFolderSection, key)).trimmed(); !folder.isEmpty())
        s.processedFolder = folder;
    s.deleteProcessed = ini.readValue(kDeleteSection, key).trimmed() == "1";
    return s;
}

void CheckMailboxUrl(const QString& url)
{
    const QUrl u(url.trimmed(), QUrl::StrictMode);
    const QString scheme = u.scheme().toLower();
    if (!u.isValid() || u.host().isEmpty() || !QStringList{QStringLiteral("imap"), QStringLiteral("imaps"), QStringLiteral("pop3"),
                                                             QStringLiteral("pop3s")}.contains(scheme))
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("The bounce mailbox \"%1\" is not a mailbox URL such as "
                                                            "imaps://user@mail.example.com/INBOX or pop3s://user@mail.example.com.")
                                                 .arg(PrintableText(url, true)));
    if (u.userName().isEmpty())
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("The bounce mailbox \"%1\" names no user: write it as imaps://user@host/INBOX.")
                                                 .arg(PrintableText(url, true)));
}

void WriteBounceSetup(const QString& sender, const BounceSetup& s)
{
    const QString address = s.address.trimmed();
    if (!address.isEmpty())
        if (const QString fault = ReturnPath::addressFault(address); !fault.isEmpty())
            throw BrevoraError(ErrorKind::Usage, fault);
    if (!s.mailbox.trimmed().isEmpty())
        CheckMailboxUrl(s.mailbox);
    for (const QString& v : {s.mailbox, s.password, s.processedFolder})
        if (v.contains(QLatin1Char('\n')) || v.contains(QLatin1Char('\r')) || v.contains(QChar(0)))
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("The bounce settings must not hold a line break."));
    const QByteArray key = EntryKeys::writable(keyOf(sender), sender);
    writeOrDelete(kAddressSection, key, address.toLatin1());
    writeOrDelete(kMailboxSection, key, s.mailbox.trimmed().toUtf8());
    writeOrDelete(kPasswordSection, key, s.password.isEmpty() ? QByteArray() : EncodePassword(CodePage::encode(s.password)));
    writeOrDelete(kFolderSection, key, s.processedFolder.trimmed() == BounceSetup().processedFolder ? QByteArray() : s.processedFolder.trimmed().toUtf8());
    writeOrDelete(kDeleteSection, key, s.deleteProcessed ? "1" : "");
}

void RemoveBounceSetup(const QString& sender)
{
    for (const QByteArray& section : {kAddressSection, kMailboxSection, kPasswordSection, kFolderSection, kDeleteSection})
        EntryKeys::file().deleteKey(section, keyOf(sender));
}

BounceRules ReadBounceRules()
{
    const IniFile ini = EntryKeys::file();
    BounceRules r;
    const auto number = [&](const char* name, double fallback) {
        bool ok = false;
        const double v = ini.readValue(kRulesSection, name).trimmed().toDouble(&ok);
        return ok && v >= 0 ? v : fallback;
    };
    r.softLimit = qMax(1, int(number("Soft limit", r.softLimit)));
    r.softDays = qMax(1, int(number("Soft days", r.softDays)));
    r.hardPercent = number("Hard percent", r.hardPercent);
    r.complaintPercent = number("Complaint percent", r.complaintPercent);
    r.brakeMinimum = int(number("Brake minimum", r.brakeMinimum));
    r.checkMinutes = qMax(1, int(number("Check minutes", r.checkMinutes)));
    return r;
}

void WriteBounceRules(const BounceRules& r)
{
    const IniFile ini = EntryKeys::file();
    ini.writeValue(kRulesSection, "Soft limit", QByteArray::number(r.softLimit));
    ini.writeValue(kRulesSection, "Soft days", QByteArray::number(r.softDays));
    ini.writeValue(kRulesSection, "Hard percent", QByteArray::number(r.hardPercent));
    ini.writeValue(kRulesSection, "Complaint percent", QByteArray::number(r.complaintPercent));
    ini.writeValue(kRulesSection, "Brake minimum", QByteArray::number(r.brakeMinimum));
    ini.writeValue(kRulesSection, "Check minutes", QByteArray::number(r.checkMinutes));
}
