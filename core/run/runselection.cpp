#include "core/run/runselection.h"

#include "core/settings/bouncesettings.h"
#include "core/settings/dkimsettings.h"


#include "core/error.h"
#include "core/settings/keyring.h"

void SelectServer(RunSelection& s, const QString& key)
{
    s.ServerHost = ServerHostOf(key);
    // Only "1" counts as on. What could be read is kept when the rest cannot be.
    QString ssl;
    try {
        LookupServer(key, s.ServerAccount, ssl, s.ServerPort, s.ServerPassword);
    } catch (...) {
        s.ImplicitTls = ssl == QLatin1String("1");
        throw;
    }
    s.ImplicitTls = ssl == QLatin1String("1");
    s.AllowPlainLogin = ReadPlainLoginAllowed(key);
    s.Limits = ReadRateLimits(key);
    s.Speed = ReadThroughput(key);
    s.Login = ReadLoginChoice(key);
    s.Session = ReadServerSession(key);
    if (ReadPasswordInKeyring(key))
        s.ServerPassword = Keyring::read(key);
}

void SelectSender(RunSelection& s, const QString& address)
{
    s.SenderAddress = address;
    s.SenderName = LookupSender(s.SenderAddress);
    s.BounceAddress = ReadBounceSetup(address).address;
}

void SelectContent(RunSelection& s, const QString& title)
{
    s.ContentTitle = title;
    s.UnsubscribeLinks = ReadUnsubscribe(s.ContentTitle);
    s.AttachFiles = ReadAttachments(s.ContentTitle);
    const RecipientFiles own = ReadRecipientFiles(s.ContentTitle);
    s.AttachColumn = own.column;
    s.AttachFolder = own.folder;
    s.Headers = ReadContentHeaders(s.ContentTitle);
}

void ApplyOverrides(RunSelection& s, const RunOverrides& o)
{
    s.AllowPlainLogin = s.AllowPlainLogin || o.allowPlainLogin;
    for (const auto& [value, limit] : {std::pair{&o.perSecond, &s.Limits.perSecond}, std::pair{&o.perMinute, &s.Limits.perMinute},
                                       std::pair{&o.perHour, &s.Limits.perHour}, std::pair{&o.perDay, &s.Limits.perDay},
                                       std::pair{&o.inFlight, &s.Speed.inFlight}, std::pair{&o.connections, &s.Speed.connections}})
        if (*value)
            *limit = **value;
    if (o.recordUncertain)
        s.RecordUncertain = *o.recordUncertain;
    if (o.greetingName)
        s.Session.greetingName = *o.greetingName;
    if (o.largestMessageMb)
        s.Session.largestMessageMb = *o.largestMessageMb;
    if (o.login)
        s.Login.mechanism = *o.login;
    if (o.tokenCommand)
        s.Login.tokenCommand = *o.tokenCommand;
    if (o.unsubscribe)
        s.UnsubscribeLinks = *o.unsubscribe;
    s.AttachFiles += o.attachFiles;
    if (o.attachColumn)
        s.AttachColumn = *o.attachColumn;
    if (o.attachFolder)
        s.AttachFolder = *o.attachFolder;
    s.Headers.custom += o.headers;
    CheckContentHeaders(s.Headers);
}

EmailMessage BaseMessage(const RunSelection& s)
{
    EmailMessage m;
    m.Subject = s.ContentTitle;
    m.From.Address = s.SenderAddress.trimmed();
    m.From.Name = s.SenderName.trimmed();
    m.ReceiptRecipient = s.ReturnReceipt ? m.From : EmailAddress();
    return m;
}

MessageExtras ExtrasFor(const RunSelection& s, const QStringList& fieldNames)
{
    MessageExtras extras;
    extras.links = s.UnsubscribeLinks;
    extras.fieldNames = fieldNames;
    extras.files = s.AttachFiles;
    extras.largestFile = qint64(s.Session.largestMessageMb) * 1024 * 1024;
    // Read once for all messages; a file that cannot be read is reported with each message.
    try {
        for (const QString& path : extras.files)
            extras.filesRead.append(ReadAttachment(path, extras.largestFile));
    } catch (const BrevoraError&) {
        extras.filesRead.clear();
    }
    extras.fileColumn = s.AttachColumn;
    extras.fileFolder = s.AttachFolder;
    extras.headers = s.Headers;
    // A key that cannot be read, or is too weak, stops here: before anything is sent.
    const QString domain = s.SenderAddress.contains(QLatin1Char('@')) ? s.SenderAddress.trimmed().section(QLatin1Char('@'), -1).toLower()
                                                                       : QString();
    for (const DkimEntry& e : domain.isEmpty() ? QList<DkimEntry>() : ReadDkimEntries(domain)) {
        extras.dkimKeys.append(Dkim::LoadKey(DkimKeyPath(e), e.domain, e.selector));
    }
    return extras;
}

void CheckSelection(const RunSelection& s)
{
    // Without a sender the message would go out with an empty envelope and no From line.
    if (s.SenderAddress.trimmed().isEmpty())
        throw BrevoraError(ErrorKind::Usage,
                           QStringLiteral("No sender address is selected. Add one under Setting, Your Email Address, "
                                          "and pick it in the main window (or name it with --sender)."));
    // Nor without a server to connect to or a content to send: said before anything else.
    if (s.ServerHost.trimmed().isEmpty())
        throw BrevoraError(ErrorKind::Usage,
                           QStringLiteral("No SMTP server is selected. Add one under Setting, SMTP Server, and pick it in the "
                                          "main window (or name it with --server)."));
    if (s.ContentTitle.trimmed().isEmpty())
        throw BrevoraError(ErrorKind::Usage,
                           QStringLiteral("No content is selected. Add one under Setting, Email Content, and pick it in the "
                                          "main window (or name it with --content)."));
}

QByteArray FirstMessageFor(const RunSelection& s, const QString& entry, const QStringList& fieldNames)
{
    const QString bodyFile = LookupContent(s.ContentTitle);
    const QStringList body = bodyFile.trimmed().isEmpty() ? QStringList() : LoadBodyLines(bodyFile);
    return MessageFileBytes(BaseMessage(s), entry.isEmpty() ? QStringLiteral("someone@example.com") : entry, body, ExtrasFor(s, fieldNames));
}
