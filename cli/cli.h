#pragma once

#include <QString>
#include <QStringList>

// The command line: "send", "list", "history", "suppress" and "preview", without windows.
// Arguments exclude the program name.
bool IsCommandLine(const QStringList& args);
// Runs the command the first argument names; an unknown one is a usage error (status 3).
int RunCommandLine(const QStringList& args);
// The one-line hint that follows a usage error: for the command, or (empty) for the program.
QString CommandUsageHint(const QString& command);

// Sets AppDir from --data-dir, BREVORA_HOME or the executable's directory; removes the option.
void ApplyDataDir(QStringList& args, const QString& executableDir);
