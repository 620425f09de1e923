#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <utility>

// Headers a bulk sender sets on a content's messages: Feedback-ID (a provider's feedback loop),
// List-Id, and headers of the user's own, whose values may hold placeholders filled per recipient.
struct ContentHeaders
{
    QString feedbackId;
    QString listId;
    QList<std::pair<QString, QString>> custom; // name, value
    bool operator==(const ContentHeaders&) const = default;
};
ContentHeaders ReadContentHeaders(const QString& contentTitle);
void WriteContentHeaders(const QString& contentTitle, const ContentHeaders& headers);
// Throws with the reason for a name that is not a header name or is one Brevora writes itself,
// and for a value with a line break or NUL, or longer than a header line may be.
void CheckContentHeaders(const ContentHeaders& headers);
// "Name: value" (or "Name:value") as typed in the dialog or given with --header; throws when it
// has no name.
std::pair<QString, QString> ParseHeaderText(const QString& text);
