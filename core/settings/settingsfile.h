#pragma once

#include <QString>
#include <QStringList>
#include <optional>

#include "core/smtp/loginpolicy.h"
#include "core/smtp/securetransport.h"

// The settings file "dispatra.ini" beside the program: servers, senders, contents, the
// return-receipt flag and the main window's saved positions. Every operation opens the file,
// does its work and releases it; nothing is cached.

struct SmtpServerEntry
{
    QString host;
    QString account;
    QString password; // in clear
    QString port;
    QString ssl; // only "1" counts as on
};

struct SenderEntry
{
    QString address; // the key
    QString name;
};

struct ContentEntry
{
    QString title;    // the key
    QString bodyFile; // bare file name in AppDir
};

// The directory of the settings and body files, ending in "/".
QString AppDir();
QString IniPath();
void SetAppDir(const QString& dir);
// The executable's directory when a dispatra.ini stands there (a portable installation), else the
// per-user data folder ($XDG_DATA_HOME/brevora, by default ~/.local/share/brevora), created.
QString DefaultAppDir(const QString& executableDir);

namespace SettingsKeys {
// Fixed names of the file; written as their GBK bytes whatever the code page.
extern const QString BasicSection;   // 基本
extern const QString ServerSection;  // 发送邮件服务器
extern const QString SenderSection;  // 显示内容
extern const QString ContentSection; // 邮件内容
extern const QString ReturnReceipt;  // 要求回执
extern const QString ServerPosition; // 邮件服务器
extern const QString SenderPosition; // 发送邮件地址
extern const QString ContentPosition; // 邮件内容
} // namespace SettingsKeys

QStringList ListServers();
QStringList ListSenders();
QStringList ListContents();

bool ReadReturnReceipt();
void WriteReturnReceipt(bool on);

// Integer under a key of the basic section; missing or non-numeric gives the fallback.
int ReadBasicInteger(const QString& key, int fallback);
void WriteBasicInteger(const QString& key, int value);

// Assigns the four outputs only when the stored value has at least four fields. Throws the
// conversion error of a bad password field after assigning account, SSL flag and port.
void LookupServer(const QString& host, QString& account, QString& ssl, QString& port, QString& password);
QString LookupSender(const QString& address);
QString LookupContent(const QString& title);

// The value stored for a server: account, SSL flag, port and encoded password joined by commas.
QByteArray ServerValue(const SmtpServerEntry& entry);

// Throw the error that storing the entry would raise (a name or value the file cannot hold, a
// comma in the account or port, a character outside the code page), without writing anything.
void CheckServerEntry(const SmtpServerEntry& entry);
void CheckSenderEntry(const SenderEntry& entry);
void CheckContentEntry(const ContentEntry& entry);

// A server entry's key is its host, or "host (account)" for a second account on the same host.
QString ServerHostOf(const QString& key);
// The key the entry is stored under (an edit passes its old key): that of the entry with the same
// host and account where there is one.
QString ServerKeyFor(const SmtpServerEntry& entry, const std::optional<QString>& oldKey);

// An edit passes the old key: when it differs (case-sensitively) it is removed first. A name that
// the file syntax cannot hold as a key ("=", a leading "[" or ";") is stored so that it reads back
// exactly. StoreServer answers the key it stored under.
QString StoreServer(const std::optional<QString>& oldKey, const SmtpServerEntry& entry);
void StoreSender(const std::optional<QString>& oldKey, const SenderEntry& entry);
void StoreContent(const std::optional<QString>& oldKey, const ContentEntry& entry);
void RemoveServer(const QString& host);
void RemoveSender(const QString& address);
void RemoveContent(const QString& title);

// Trusted certificate fingerprints remembered per host.
QString ReadTrustedFingerprint(const QString& host);
// True when the certificate is the one remembered for its host, or has the fingerprint trusted
// for this run (in any form NormalizeFingerprint takes).
bool IsTrustedCertificate(const CertificateInfo& info, const QString& trustedForThisRun = {});
void WriteTrustedFingerprint(const QString& host, const QString& sha256);

// At most so many messages a second, a minute, an hour and a day through a server (0: no limit),
// kept in a section of its own so that the server's value keeps its fields.
struct RateLimits
{
    int perSecond = 0;
    int perMinute = 0;
    int perHour = 0;
    int perDay = 0;
    bool any() const { return perSecond > 0 || perMinute > 0 || perHour > 0 || perDay > 0; }
};
RateLimits ReadRateLimits(const QString& host);
void WriteRateLimits(const QString& host, const RateLimits& limits);

// How much a run that is not paced by a timer keeps going at once through a server: messages in
// flight on one connection (where the server takes BDAT) and connections. Kept in a section of
// its own so that the server's value keeps its fields.
struct Throughput
{
    static constexpr int kMostInFlight = 256;
    static constexpr int kMostConnections = 16;
    int inFlight = 32;
    int connections = 1;
};
Throughput ReadThroughput(const QString& host);
void WriteThroughput(const QString& host, const Throughput& throughput);

// How a run logs in to a server: automatic, or the mechanism the user picked; XOAUTH2 takes its
// token from a command. Kept in a section of its own so that the server's value keeps its fields.
struct LoginChoice
{
    LoginMechanism mechanism = LoginMechanism::Automatic;
    QString tokenCommand;
};
LoginChoice ReadLoginChoice(const QString& host);
void WriteLoginChoice(const QString& host, const LoginChoice& choice);

// How a session with a server introduces itself and how large a message may be: the name said
// with EHLO (empty: this machine's qualified name, else the address literal) and the largest
// message in MB where the server names no limit of its own (SIZE). Kept in sections of their own
// so that the server's value keeps its fields.
struct ServerSession
{
    static constexpr int kDefaultLargestMb = 50;
    static constexpr int kMostLargestMb = 2048;
    QString greetingName;
    int largestMessageMb = kDefaultLargestMb;
};
ServerSession ReadServerSession(const QString& host);
void WriteServerSession(const QString& host, const ServerSession& session);

// Where a recipient of a content unsubscribes (RFC 2369, RFC 8058): an address (mailto:) and a
// URL (https:), either may be empty; the merge placeholders and "[= EMAIL =]" are filled per
// recipient. Kept in sections of their own, by content title, so the content's value stays.
struct Unsubscribe
{
    QString mailto;
    QString url;
    bool any() const { return !mailto.trimmed().isEmpty() || !url.trimmed().isEmpty(); }
};
Unsubscribe ReadUnsubscribe(const QString& contentTitle);
void WriteUnsubscribe(const QString& contentTitle, const Unsubscribe& unsubscribe);
// Throws a clear error for an address that is not mailto: or a URL that is not https:.
void CheckUnsubscribe(const Unsubscribe& unsubscribe);

// Files attached to every message of a content, by content title (a section of its own).
QStringList ReadAttachments(const QString& contentTitle);
void WriteAttachments(const QString& contentTitle, const QStringList& paths);
// Each recipient's own file: the list column that names it and the folder it is in.
struct RecipientFiles
{
    QString column;
    QString folder;
};
RecipientFiles ReadRecipientFiles(const QString& contentTitle);
void WriteRecipientFiles(const QString& contentTitle, const RecipientFiles& files);

// Whether a run goes on after a refused recipient (kept in a section of its own).
bool ReadSkipRefused();
// Whether the window's runs go as fast as the server allows rather than a message a tick.
// The shared store the program uses instead of the file in the data folder (a postgresql:// URL);
// empty for the file. Kept in [Store] URL.
QString ReadStoreUrl();
void WriteStoreUrl(const QString& url);
// Entries a run that died wrote without reading the reply: recorded as delivered ("record") or
// sent again ("resend", the default).
bool ReadRecordUncertain();
void WriteRecordUncertain(bool record);
bool ReadFullSpeed();
void WriteFullSpeed(bool full);
void WriteSkipRefused(bool skip);

// Whether the user allowed logging in to a host over a connection without TLS (kept in a section
// of its own, so that the server's value keeps its fields).
bool ReadPlainLoginAllowed(const QString& host);
// Whether the server's password is kept in the desktop's keyring (the file's field then empty).
bool ReadPasswordInKeyring(const QString& server);
void WritePasswordInKeyring(const QString& server, bool inKeyring);
void WritePlainLoginAllowed(const QString& host, bool allowed);

// Body files: CreateBodyFile returns the new bare name; the file holds its own full path.
QString CreateBodyFile();
QStringList LoadBodyLines(const QString& name);
QString LoadBodyText(const QString& name);
void SaveBodyText(const QString& name, const QString& text);

// Reads or writes a whole text file in the code page, with the documented failure texts.
QByteArray ReadFileBytes(const QString& path);
void WriteFileBytes(const QString& path, const QByteArray& bytes);
// Splits text at CR LF, LF or CR into lines, as a memo shows it.
QStringList SplitTextLines(const QString& text);
