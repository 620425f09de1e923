#pragma once

#include "core/mail/emailmessage.h"
#include "core/run/prepare.h"
#include "core/smtp/smtpclient.h"

// Writes one message for what the session's server offers and delivers it; a refusal is raised
// as it is.
inline void DeliverMessage(SmtpClient& session, const EmailMessage& message)
{
    WrittenForSession written = WriteForSession(session, message);
    session.Deliver(session.Frame(written.envelope, std::move(written.data)));
}

// A message that tries the writer: a name and subject outside ASCII, HTML, a line that starts
// with a dot and one too long for a line of its own.
inline EmailMessage SampleMessage()
{
    EmailMessage m;
    m.From = {"me@example.com", QStringLiteral("Caf\u00e9 Owner")};
    m.Subject = QStringLiteral("Menu, caf\u00e9 cr\u00e8me and more");
    SetRecipientsText(m.Recipients, "ann@example.org");
    m.ContentType = "text/html";
    m.Body = {"<html><body>", ".leading dot", QStringLiteral("Gr\u00fc\u00dfe"), QString(1200, 'w'), "</body></html>"};
    m.Date = QDateTime(QDate(2026, 12, 8), QTime(9, 30, 0), Qt::OffsetFromUTC, 3600);
    return m;
}
