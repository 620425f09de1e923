#pragma once

#include "core/run/prepare.h"
#include "core/smtp/smtpclient.h"

// Writes one message for what the session's server offers and delivers it; a refusal is raised
// as it is.
inline void DeliverMessage(SmtpClient& session, const EmailMessage& message)
{
    session.Deliver(WriteOutgoing(session, message));
}
