#pragma once

#include <QString>
#include <QStringList>
#include <optional>

#include "core/mail/emailmessage.h"
#include "core/run/prepare.h"
#include "core/settings/contentheaders.h"
#include "core/settings/settingsfile.h"

// What a run sends, through which server and from whom: the server, sender and content the user
// picked, with what the settings say of them, and what the command line changed. The run reads it
// once, when it starts.
struct RunSelection
{
    QString ServerHost;
    QString ServerAccount;
    bool ImplicitTls = false; // TLS from the first byte (the server's SSL setting)
    QString ServerPort;       // as stored; a run refuses to start when it is not a number
    QString ServerPassword;
    QString SenderAddress;
    QString SenderName;
    // Where the sender's bounces go (each message's return path names its recipient); empty: From.
    QString BounceAddress;
    QString ContentTitle;
    bool ReturnReceipt = true;
    // The user allowed logging in to this server without TLS (it is not needed for this machine).
    bool AllowPlainLogin = false;
    // How many messages may go through the server a second, minute, hour and day.
    RateLimits Limits;
    // Without a timer's pacing: messages on their way on one connection, and connections.
    Throughput Speed;
    // How to log in.
    LoginChoice Login;
    // The greeting name and the largest message.
    ServerSession Session;
    // Entries whose message a run that died wrote without reading the reply: recorded as
    // delivered without confirmation, rather than sent again.
    bool RecordUncertain = false;
    // Where recipients unsubscribe (the content's, or the command line's).
    Unsubscribe UnsubscribeLinks;
    // Files sent with every message, and the column and folder of each recipient's own file.
    QStringList AttachFiles;
    QString AttachColumn;
    QString AttachFolder;
    // Feedback-ID, List-Id and the user's own headers.
    ContentHeaders Headers;
};

// The parts of the selection that come with a server, a sender and a content, from the settings.
// A server whose stored value cannot be read throws, its host and what could be read set. A server
// is chosen by its entry's key (its host, or "host (account)").
void SelectServer(RunSelection& selection, const QString& key);
void SelectSender(RunSelection& selection, const QString& address);
void SelectContent(RunSelection& selection, const QString& title);

// What the command line changes in a selection made from the settings.
struct RunOverrides
{
    bool allowPlainLogin = false; // allowed as well as where the settings allow it
    std::optional<int> perSecond, perMinute, perHour, perDay;
    std::optional<int> inFlight, connections;
    std::optional<QString> greetingName;
    std::optional<int> largestMessageMb;
    std::optional<bool> recordUncertain;
    std::optional<LoginMechanism> login;
    std::optional<QString> tokenCommand;
    std::optional<Unsubscribe> unsubscribe; // instead of the content's
    QStringList attachFiles;                // besides the content's
    std::optional<QString> attachColumn, attachFolder;
    QList<std::pair<QString, QString>> headers; // besides the content's
};
void ApplyOverrides(RunSelection& selection, const RunOverrides& overrides);

// Throws a usage error that says what is missing and where to set it up, for a selection without
// a sender, a server or a content.
void CheckSelection(const RunSelection& selection);

// The message every entry's message starts from: sender, subject and receipt request.
EmailMessage BaseMessage(const RunSelection& selection);
// What the selection adds to each message, for a list whose values have these names.
MessageExtras ExtrasFor(const RunSelection& selection, const QStringList& fieldNames);
// The message the entry would get from the selection's content, as a file holds it (for the
// check before a run); a stand-in address when the list is empty.
QByteArray FirstMessageFor(const RunSelection& selection, const QString& entry, const QStringList& fieldNames);
