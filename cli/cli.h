#pragma once

#include <QString>
#include <QStringList>

// The command line: "send", "history" and "list" without windows. Arguments exclude the program name.
bool IsCommandLine(const QStringList& args);
int RunCommandLine(const QStringList& args);

// Sets AppDir from --data-dir, BREVORA_HOME or the executable's directory; removes the option.
void ApplyDataDir(QStringList& args, const QString& executableDir);
