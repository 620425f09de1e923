#include "core/smtp/tokencommand.h"

#include "core/error.h"
#include "core/text/textutil.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <csignal>
#include <unistd.h>

QString RunTokenCommand(const QString& command, int timeoutMs, const std::function<bool()>& stopped)
{
    const auto fail = [&command](const QString& why) {
        return BrevoraError(ErrorKind::Usage, QStringLiteral("The token command \"%1\" %2").arg(PrintableText(command, true), why));
    };
    const QStringList words = QProcess::splitCommand(command);
    if (words.isEmpty())
        throw fail(QStringLiteral("is empty."));
    QProcess process;
    process.setProgram(words.first());
    process.setArguments(words.mid(1));
    process.setStandardInputFile(QProcess::nullDevice());
    // A group of its own, so that what it starts ends with it when it is cut short.
    process.setChildProcessModifier([] { ::setpgid(0, 0); });
    process.start();
    if (!process.waitForStarted(timeoutMs))
        throw fail(QStringLiteral("could not be started: %1.").arg(process.errorString()));
    const QDeadlineTimer deadline(timeoutMs);
    while (!process.waitForFinished(100)) {
        if (process.state() == QProcess::NotRunning)
            break;
        const bool stop = stopped && stopped();
        if (stop || deadline.hasExpired()) {
            if (const qint64 pid = process.processId(); pid > 0)
                ::kill(-pid_t(pid), SIGKILL);
            process.kill();
            process.waitForFinished(1000);
            throw stop ? fail(QStringLiteral("was stopped.")) : fail(QStringLiteral("took longer than %1 s.").arg(timeoutMs / 1000.0));
        }
    }
    const QString errors = PrintableText(QString::fromLocal8Bit(process.readAllStandardError()).trimmed(), true);
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        throw fail(QStringLiteral("failed (exit status %1)%2").arg(process.exitCode()).arg(errors.isEmpty() ? QStringLiteral(".") : QStringLiteral(": ") + errors));
    const QString token = QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
    if (token.isEmpty())
        throw fail(QStringLiteral("printed no token."));
    // The token goes into one command line: nothing in it may end the line early.
    for (QChar c : token)
        if (c.unicode() < 0x21 || c.unicode() > 0x7e)
            throw fail(QStringLiteral("printed more than one token (or a character a token cannot hold)."));
    return token;
}
