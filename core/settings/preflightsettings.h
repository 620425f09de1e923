#pragma once

#include <QString>

// The window checks a sender and content pair before its first run (see CheckBeforeRun), unless
// the user turned that off; the pairs it checked are kept under [Checked before sending].
bool ReadCheckBeforeFirstRun();
void WriteCheckBeforeFirstRun(bool on);
bool WasCheckedBeforeRun(const QString& sender, const QString& content);
void MarkCheckedBeforeRun(const QString& sender, const QString& content);
