#pragma once

#include <QHash>
#include <QString>
#include <QStringList>
#include <memory>

#include "core/error.h"
#include "core/run/runselection.h"

class SendLogStore;

// What the commands share: their exit statuses, their output, their options and the store.
namespace cli {

constexpr int kExitOk = 0;
constexpr int kExitRefused = 1;
constexpr int kExitConnect = 2;
constexpr int kExitUsage = 3;
// The bounce brake paused the run: bounces or complaints passed their threshold.
constexpr int kExitBraked = 4;
// "brevora check" found a failure.
constexpr int kExitCheckFailed = 5;

// An argument the command does not take, or an option without its value: the message is followed
// by a one-line usage hint.
class CommandLineError : public BrevoraError
{
public:
    explicit CommandLineError(const QString& message)
        : BrevoraError(ErrorKind::Usage, message)
    {
    }
};

// One line on standard output: whatever the text holds, exactly one line, nothing raw.
void out(const QString& text);
// From now on the lines written while the event loop works go out together when it next waits
// (a run writes a line a message: one write for all those of a wake-up, not one each).
void FlushOutputWhenIdle();
// One line on standard error.
void err(const QString& text);

// The options a command was given.
struct Options
{
    QHash<QString, QString> values;       // the last value of each option
    QHash<QString, QStringList> repeated; // every value, in order
    QStringList flags;
};
// Parses "--name value" (or "--name=value") options and bare flags; throws a CommandLineError for
// anything else.
Options parseOptions(const QStringList& args, const QStringList& withValue, const QStringList& bare);

// The chosen store: --store, BREVORA_STORE, the setting, or the file of the data folder (taking
// over one left under the working directory first).
std::unique_ptr<SendLogStore> openStore();
// The entry at the saved position, or the one named by its key.
QString pick(const QStringList& keys, const QString& positionKey, const QString& named, const char* what);

// What the run options (limits, login, unsubscribe, attachments) given say; a usage error for a
// value that cannot be used.
RunOverrides runOverrides(const Options& options);

// The commands, each given the arguments after its name; the exit status.
int SendCommand(const QStringList& args);
int ListCommand(const QStringList& args);
int HistoryCommand(const QStringList& args);
int SuppressCommand(const QStringList& args);
int PreviewCommand(const QStringList& args);
int ServerCommand(const QStringList& args);
int SenderCommand(const QStringList& args);
int ContentCommand(const QStringList& args);
int BouncesCommand(const QStringList& args);
int DkimCommand(const QStringList& args);
int CheckCommand(const QStringList& args);
// The full usage of "send", shown when it is given nothing it can use.
extern const char* const kSendUsage;

} // namespace cli
