#include "core/settings/settingsfile.h"

#include "core/text/codepage.h"
#include "core/error.h"
#include "core/text/textutil.h"
#include "core/settings/entrykeys.h"
#include "core/settings/inifile.h"
#include "core/smtp/envelope.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace SettingsKeys {
const QString BasicSection = QStringLiteral("基本");
const QString ServerSection = QStringLiteral("发送邮件服务器");
const QString SenderSection = QStringLiteral("显示内容");
const QString ContentSection = QStringLiteral("邮件内容");
const QString ReturnReceipt = QStringLiteral("要求回执");
const QString ServerPosition = QStringLiteral("邮件服务器");
const QString SenderPosition = QStringLiteral("发送邮件地址");
const QString ContentPosition = QStringLiteral("邮件内容");
} // namespace SettingsKeys

namespace {

QString g_appDir;
const QByteArray kTrustSection("Trusted certificates");
const QByteArray kPlainLoginSection("Login without TLS");
const QByteArray kKeyringSection("Password in keyring");
const QByteArray kRunSection("Run");
const QByteArray kRateSection("Rate limits");
const QByteArray kThroughputSection("Throughput");
const QByteArray kLoginSection("Login");
const QByteArray kGreetingSection("Greeting name");
const QByteArray kLargestMessageSection("Largest message MB");
const QByteArray kUnsubscribeAddressSection("Unsubscribe address");
const QByteArray kUnsubscribeUrlSection("Unsubscribe URL");
const QByteArray kAttachmentsSection("Attachments");
const QByteArray kRecipientFilesSection("Recipient files");

using EntryKeys::fixed;
using EntryKeys::writable;

IniFile ini()
{
    return EntryKeys::file();
}

QByteArray userKey(const QString& key)
{
    const QByteArray bytes = CodePage::encode(key);
    IniFile::checkKey(bytes, key);
    return bytes;
}

QByteArray userValue(const QString& value)
{
    const QByteArray bytes = CodePage::encode(value);
    IniFile::checkValue(bytes, value);
    return bytes;
}

QByteArray serverKey(const QString& server)
{
    return EntryKeys::ofServer(server);
}

QByteArray contentKey(const QString& title)
{
    return EntryKeys::ofContent(title);
}

// A yes-or-no option of a server, kept in a section of its own as "1" or nothing.
bool readServerFlag(const QByteArray& section, const QString& server)
{
    return ini().readValue(section, serverKey(server)) == "1";
}

void writeServerFlag(const QByteArray& section, const QString& server, bool on)
{
    const QByteArray key = writable(serverKey(server), server);
    if (on)
        ini().writeValue(section, key, "1");
    else
        ini().deleteKey(section, key);
}

} // namespace

QString AppDir()
{
    return g_appDir;
}

QString IniPath()
{
    return g_appDir + QStringLiteral("dispatra.ini");
}

void SetAppDir(const QString& dir)
{
    g_appDir = QDir::fromNativeSeparators(dir);
    if (!g_appDir.endsWith('/'))
        g_appDir += '/';
    // A settings file left readable by others (an earlier version wrote it so) is tightened.
    if (QFileInfo::exists(IniPath()))
        QFile::setPermissions(IniPath(), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

QString DefaultAppDir(const QString& executableDir)
{
    // A dispatra.ini beside the program makes a portable installation; otherwise the settings are
    // the user's, kept where a build folder or a system install cannot take them along.
    const QString beside = QDir(executableDir).filePath(QStringLiteral("dispatra.ini"));
    if (QFileInfo::exists(beside) && QFileInfo(executableDir).isWritable())
        return executableDir;
    QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
    if (dataHome.isEmpty())
        dataHome = QDir::homePath() + QStringLiteral("/.local/share");
    const QString dir = dataHome + QStringLiteral("/brevora");
    QDir().mkpath(dir);
    QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return dir;
}

QStringList ListServers()
{
    return EntryKeys::list(SettingsKeys::ServerSection);
}

QStringList ListSenders()
{
    return EntryKeys::list(SettingsKeys::SenderSection);
}

QStringList ListContents()
{
    return EntryKeys::list(SettingsKeys::ContentSection);
}

bool ReadReturnReceipt()
{
    return ReadBasicInteger(SettingsKeys::ReturnReceipt, 1) == 1;
}

void WriteReturnReceipt(bool on)
{
    WriteBasicInteger(SettingsKeys::ReturnReceipt, on ? 1 : 0);
}

int ReadBasicInteger(const QString& key, int fallback)
{
    const QString text = QString::fromLatin1(ini().readValue(fixed(SettingsKeys::BasicSection), fixed(key)).trimmed());
    return ParseInteger(text).value_or(fallback);
}

void WriteBasicInteger(const QString& key, int value)
{
    ini().writeValue(fixed(SettingsKeys::BasicSection), fixed(key), QByteArray::number(value));
}

void LookupServer(const QString& host, QString& account, QString& ssl, QString& port, QString& password)
{
    const QStringList fields = SplitString(EntryKeys::lookup(SettingsKeys::ServerSection, host), QStringLiteral(","));
    if (fields.size() < 4)
        return;
    account = fields[0];
    ssl = fields[1];
    port = fields[2];
    password = CodePage::decode(DecodePassword(fields[3].toLatin1()));
}

QString LookupSender(const QString& address)
{
    return EntryKeys::lookup(SettingsKeys::SenderSection, address);
}

QString LookupContent(const QString& title)
{
    return EntryKeys::lookup(SettingsKeys::ContentSection, title);
}

QByteArray ServerValue(const SmtpServerEntry& entry)
{
    return userValue(entry.account) + ',' + userValue(entry.ssl) + ',' + userValue(entry.port) + ','
        + EncodePassword(CodePage::encode(entry.password));
}

void CheckServerEntry(const SmtpServerEntry& entry)
{
    if (entry.account.contains(',') || entry.port.contains(','))
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("The account name and the port must not contain a comma."));
    for (const QChar c : entry.host.trimmed())
        if (c.isSpace() || QStringLiteral("=,;/@()\"'<>").contains(c))
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("The server name \"%1\" holds \"%2\", which no host name has.")
                                                     .arg(PrintableText(entry.host.trimmed(), true), c.isSpace() ? QStringLiteral(" ") : QString(c)));
    EntryKeys::checkName(entry.host);
    ServerValue(entry);
}

void CheckSenderEntry(const SenderEntry& entry)
{
    EntryKeys::checkName(entry.address);
    userValue(entry.name);
}

void CheckContentEntry(const ContentEntry& entry)
{
    EntryKeys::checkName(entry.title);
    userValue(entry.bodyFile);
}

QString ServerHostOf(const QString& key)
{
    return key.trimmed().section(QLatin1Char(' '), 0, 0);
}

QString ServerKeyFor(const SmtpServerEntry& entry, const std::optional<QString>& oldKey)
{
    const QString host = entry.host.trimmed();
    bool hostTaken = false;
    for (const QString& key : ListServers()) {
        if (oldKey && key == *oldKey)
            continue;
        if (ServerHostOf(key).compare(host, Qt::CaseInsensitive) != 0)
            continue;
        QString account, ssl, port, password;
        try {
            LookupServer(key, account, ssl, port, password);
        } catch (const BrevoraError&) {
        }
        if (account.trimmed() == entry.account.trimmed())
            return key; // this account's entry: storing replaces it
        hostTaken = true;
    }
    // The host alone while it is the only entry of its host, as files have always had it; a
    // second account on the same host is told apart by its account.
    if (!hostTaken && (!oldKey || ServerHostOf(*oldKey) == *oldKey || ServerHostOf(*oldKey).compare(host, Qt::CaseInsensitive) != 0))
        return host;
    return QStringLiteral("%1 (%2)").arg(host, entry.account.trimmed());
}

QString StoreServer(const std::optional<QString>& oldKey, const SmtpServerEntry& entry)
{
    CheckServerEntry(entry);
    const QString key = ServerKeyFor(entry, oldKey);
    EntryKeys::store(SettingsKeys::ServerSection, oldKey, key, ServerValue(entry));
    return key;
}

void StoreSender(const std::optional<QString>& oldKey, const SenderEntry& entry)
{
    EntryKeys::store(SettingsKeys::SenderSection, oldKey, entry.address, userValue(entry.name));
}

void StoreContent(const std::optional<QString>& oldKey, const ContentEntry& entry)
{
    EntryKeys::store(SettingsKeys::ContentSection, oldKey, entry.title, userValue(entry.bodyFile));
}

void RemoveServer(const QString& host)
{
    EntryKeys::remove(SettingsKeys::ServerSection, host);
}

void RemoveSender(const QString& address)
{
    EntryKeys::remove(SettingsKeys::SenderSection, address);
}

void RemoveContent(const QString& title)
{
    const QString name = LookupContent(title);
    EntryKeys::remove(SettingsKeys::ContentSection, title);
    if (!name.trimmed().isEmpty())
        QFile::remove(AppDir() + name);
}

QString ReadTrustedFingerprint(const QString& host)
{
    return QString::fromLatin1(ini().readValue(kTrustSection, CodePage::encode(host.trimmed().toLower())));
}

bool IsTrustedCertificate(const CertificateInfo& info, const QString& trustedForThisRun)
{
    const QString remembered = NormalizeFingerprint(ReadTrustedFingerprint(info.host));
    const QString forThisRun = NormalizeFingerprint(trustedForThisRun);
    return (!remembered.isEmpty() && remembered == info.sha256) || (!forThisRun.isEmpty() && forThisRun == info.sha256);
}

void WriteTrustedFingerprint(const QString& host, const QString& sha256)
{
    ini().writeValue(kTrustSection, userKey(host.trimmed().toLower()), sha256.toLatin1());
}

RateLimits ReadRateLimits(const QString& host)
{
    const QList<QByteArray> fields = ini().readValue(kRateSection, serverKey(host)).split(',');
    const auto field = [&fields](int i) { return i < fields.size() ? qMax(0, fields[i].trimmed().toInt()) : 0; };
    return {field(0), field(1), field(2), field(3)};
}

void WriteRateLimits(const QString& host, const RateLimits& limits)
{
    const QByteArray key = writable(serverKey(host), host);
    if (!limits.any()) {
        ini().deleteKey(kRateSection, key);
        return;
    }
    ini().writeValue(kRateSection, key,
                     QByteArray::number(limits.perSecond) + ',' + QByteArray::number(limits.perMinute) + ','
                         + QByteArray::number(limits.perHour) + ',' + QByteArray::number(limits.perDay));
}

Throughput ReadThroughput(const QString& host)
{
    const QList<QByteArray> fields
        = ini().readValue(kThroughputSection, serverKey(host)).split(',');
    Throughput t;
    bool ok = false;
    if (const int n = fields.value(0).trimmed().toInt(&ok); ok)
        t.inFlight = qBound(1, n, Throughput::kMostInFlight);
    if (const int n = fields.value(1).trimmed().toInt(&ok); ok)
        t.connections = qBound(1, n, Throughput::kMostConnections);
    return t;
}

void WriteThroughput(const QString& host, const Throughput& throughput)
{
    const QByteArray key = writable(serverKey(host), host);
    const Throughput defaults;
    if (throughput.inFlight == defaults.inFlight && throughput.connections == defaults.connections) {
        ini().deleteKey(kThroughputSection, key);
        return;
    }
    ini().writeValue(kThroughputSection, key,
                     QByteArray::number(throughput.inFlight) + ',' + QByteArray::number(throughput.connections));
}

ServerSession ReadServerSession(const QString& host)
{
    ServerSession session;
    session.greetingName = QString::fromLatin1(ini().readValue(kGreetingSection, serverKey(host))).trimmed();
    bool ok = false;
    if (const int mb = ini().readValue(kLargestMessageSection, serverKey(host)).trimmed().toInt(&ok); ok && mb > 0)
        session.largestMessageMb = qMin(mb, ServerSession::kMostLargestMb);
    return session;
}

void WriteServerSession(const QString& host, const ServerSession& session)
{
    const QByteArray key = writable(serverKey(host), host);
    const QString name = session.greetingName.trimmed();
    if (!name.isEmpty() && MailboxFault(QStringLiteral("x@") + name).size() > 0)
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("The greeting name \"%1\" is neither a domain name nor an address literal "
                                                            "such as [192.0.2.1].").arg(PrintableText(name, true)));
    if (name.isEmpty())
        ini().deleteKey(kGreetingSection, key);
    else
        ini().writeValue(kGreetingSection, key, name.toLatin1());
    if (session.largestMessageMb == ServerSession::kDefaultLargestMb)
        ini().deleteKey(kLargestMessageSection, key);
    else
        ini().writeValue(kLargestMessageSection, key, QByteArray::number(qBound(1, session.largestMessageMb, ServerSession::kMostLargestMb)));
}

LoginChoice ReadLoginChoice(const QString& host)
{
    // "mechanism" or "xoauth2 command words"
    const QString value = CodePage::decode(ini().readValue(kLoginSection, serverKey(host))).trimmed();
    const qsizetype space = value.indexOf(QLatin1Char(' '));
    LoginChoice choice;
    choice.mechanism = LoginMechanismNamed(value.left(space < 0 ? value.size() : space)).value_or(LoginMechanism::Automatic);
    if (space > 0)
        choice.tokenCommand = value.mid(space + 1).trimmed();
    return choice;
}

void WriteLoginChoice(const QString& host, const LoginChoice& choice)
{
    const QByteArray key = writable(serverKey(host), host);
    if (choice.mechanism == LoginMechanism::Automatic) {
        ini().deleteKey(kLoginSection, key);
        return;
    }
    QString value = LoginMechanismName(choice.mechanism);
    if (choice.mechanism == LoginMechanism::XOAuth2 && !choice.tokenCommand.trimmed().isEmpty())
        value += QLatin1Char(' ') + choice.tokenCommand.trimmed();
    ini().writeValue(kLoginSection, key, CodePage::encode(value));
}

Unsubscribe ReadUnsubscribe(const QString& contentTitle)
{
    const QByteArray key = contentKey(contentTitle);
    return {CodePage::decode(ini().readValue(kUnsubscribeAddressSection, key)).trimmed(),
            CodePage::decode(ini().readValue(kUnsubscribeUrlSection, key)).trimmed()};
}

void WriteUnsubscribe(const QString& contentTitle, const Unsubscribe& unsubscribe)
{
    const QByteArray key = writable(contentKey(contentTitle), contentTitle);
    const auto write = [&key](const QByteArray& section, const QString& value) {
        if (value.trimmed().isEmpty())
            ini().deleteKey(section, key);
        else
            ini().writeValue(section, key, CodePage::encode(value.trimmed()));
    };
    write(kUnsubscribeAddressSection, unsubscribe.mailto);
    write(kUnsubscribeUrlSection, unsubscribe.url);
}

void CheckUnsubscribe(const Unsubscribe& unsubscribe)
{
    const QString mailto = unsubscribe.mailto.trimmed();
    const QString url = unsubscribe.url.trimmed();
    if (!mailto.isEmpty() && !mailto.startsWith(QLatin1String("mailto:"), Qt::CaseInsensitive))
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("The unsubscribe address must start with \"mailto:\"."));
    if (!url.isEmpty() && !url.startsWith(QLatin1String("https://"), Qt::CaseInsensitive))
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("The unsubscribe URL must start with \"https://\" (one-click unsubscribe needs https)."));
    // Blanks may stand only inside placeholders, which are filled with encoded text.
    static const QRegularExpression placeholder(QStringLiteral("\\[=[^\\]]*=\\]"));
    for (QString uri : {mailto, url})
        for (QChar c : uri.remove(placeholder))
            if (c.unicode() < 0x20 || c == QLatin1Char('<') || c == QLatin1Char('>') || c == QLatin1Char(' '))
                throw BrevoraError(ErrorKind::Usage, QStringLiteral("The unsubscribe link \"%1\" holds a blank, \"<\", \">\" or a control "
                                                                    "character; write them percent-encoded.").arg(PrintableText(uri, true)));
}

// Paths are kept one value, "|" between them (a character file names on every system avoid).
QStringList ReadAttachments(const QString& contentTitle)
{
    const QString value = CodePage::decode(ini().readValue(kAttachmentsSection, contentKey(contentTitle)));
    QStringList paths;
    for (const QString& p : value.split(u'|', Qt::SkipEmptyParts))
        if (!p.trimmed().isEmpty())
            paths.append(p.trimmed());
    return paths;
}

void WriteAttachments(const QString& contentTitle, const QStringList& paths)
{
    const QByteArray key = writable(contentKey(contentTitle), contentTitle);
    if (paths.isEmpty())
        ini().deleteKey(kAttachmentsSection, key);
    else
        ini().writeValue(kAttachmentsSection, key, CodePage::encode(paths.join(u'|')));
}

RecipientFiles ReadRecipientFiles(const QString& contentTitle)
{
    // "column|folder"
    const QString value = CodePage::decode(ini().readValue(kRecipientFilesSection, contentKey(contentTitle)));
    return {value.section(u'|', 0, 0).trimmed(), value.section(u'|', 1).trimmed()};
}

void WriteRecipientFiles(const QString& contentTitle, const RecipientFiles& files)
{
    const QByteArray key = writable(contentKey(contentTitle), contentTitle);
    if (files.column.trimmed().isEmpty())
        ini().deleteKey(kRecipientFilesSection, key);
    else
        ini().writeValue(kRecipientFilesSection, key, CodePage::encode(files.column.trimmed() + u'|' + files.folder.trimmed()));
}

bool ReadSkipRefused()
{
    return ini().readValue(kRunSection, "On refusal") == "skip";
}

void WriteSkipRefused(bool skip)
{
    ini().writeValue(kRunSection, "On refusal", skip ? "skip" : "stop");
}

bool ReadRecordUncertain()
{
    return ini().readValue(kRunSection, "Uncertain") == "record";
}

void WriteRecordUncertain(bool record)
{
    ini().writeValue(kRunSection, "Uncertain", record ? "record" : "resend");
}

QString ReadStoreUrl()
{
    return CodePage::decode(ini().readValue("Store", "URL")).trimmed();
}

void WriteStoreUrl(const QString& url)
{
    ini().writeValue("Store", "URL", CodePage::encode(url.trimmed()));
}

bool ReadFullSpeed()
{
    return ini().readValue(kRunSection, "Pace") == "full";
}

void WriteFullSpeed(bool full)
{
    ini().writeValue(kRunSection, "Pace", full ? "full" : "tick");
}

bool ReadPasswordInKeyring(const QString& server)
{
    return readServerFlag(kKeyringSection, server);
}

void WritePasswordInKeyring(const QString& server, bool inKeyring)
{
    writeServerFlag(kKeyringSection, server, inKeyring);
}

bool ReadPlainLoginAllowed(const QString& host)
{
    return readServerFlag(kPlainLoginSection, host);
}

void WritePlainLoginAllowed(const QString& host, bool allowed)
{
    writeServerFlag(kPlainLoginSection, host, allowed);
}

QString CreateBodyFile()
{
    QDateTime stamp = QDateTime::currentDateTime();
    // Two contents made within one second must not share a file: take the next free second.
    for (int attempt = 0; attempt < 100000; ++attempt, stamp = stamp.addSecs(1)) {
        const QString name = stamp.toString(QStringLiteral("yyMMddHHmmss")) + QStringLiteral(".txt");
        const QString path = AppDir() + name;
        QFile file(path);
        if (file.exists())
            continue;
        if (!file.open(QIODevice::NewOnly | QIODevice::WriteOnly))
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("Cannot create file \"%1\". %2").arg(path, file.errorString()));
        const QByteArray line = CodePage::encode(path) + "\r\n";
        if (file.write(line) != line.size())
            throw BrevoraError(ErrorKind::Usage, QStringLiteral("Cannot create file \"%1\". %2").arg(path, file.errorString()));
        return name;
    }
    throw BrevoraError(ErrorKind::Usage, QStringLiteral("Cannot create file \"%1\". %2").arg(AppDir(), QStringLiteral("No free name.")));
}

QByteArray ReadFileBytes(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("Cannot open file \"%1\". %2").arg(path, file.errorString()));
    return file.readAll();
}

void WriteFileBytes(const QString& path, const QByteArray& bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        throw BrevoraError(ErrorKind::Usage, QStringLiteral("Cannot create file \"%1\". %2").arg(path, file.errorString()));
}

QStringList SplitTextLines(const QString& text)
{
    QStringList lines;
    qsizetype from = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == '\r' || c == '\n') {
            lines.append(text.mid(from, i - from));
            if (c == '\r' && i + 1 < text.size() && text.at(i + 1) == '\n')
                ++i;
            from = i + 1;
        }
    }
    if (from < text.size())
        lines.append(text.mid(from));
    return lines;
}

QStringList LoadBodyLines(const QString& name)
{
    return SplitTextLines(LoadBodyText(name));
}

QString LoadBodyText(const QString& name)
{
    return CodePage::decode(ReadFileBytes(AppDir() + name));
}

void SaveBodyText(const QString& name, const QString& text)
{
    WriteFileBytes(AppDir() + name, CodePage::encode(text));
}
