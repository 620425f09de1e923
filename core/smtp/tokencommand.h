#pragma once

#include <QString>
#include <functional>

// Runs the command that prints an OAuth 2.0 access token (for XOAUTH2): without a shell, its
// words split at blanks (double quotes keep blanks inside a word), within the time limit. Its standard output, trimmed,
// is the token. Throws a clear error when it cannot start, fails (with what it wrote to standard
// error), prints nothing, or takes too long; stopped() is asked while it runs and ends it at once.
QString RunTokenCommand(const QString& command, int timeoutMs, const std::function<bool()>& stopped = {});
