#pragma once

#include <QByteArray>
#include <QString>
#include <atomic>
#include <functional>

#include "core/settings/bouncesettings.h"
#include "core/smtp/securetransport.h"

// The bounce mailbox, read over IMAP or POP3 through libcurl, with the TLS rules of the SMTP side
// (TLS required, the certificate verified or accepted by the same decision). Messages are read
// without marking them seen; each goes to the caller, whose answer says what becomes of it.
class BounceMailbox
{
public:
    enum class Outcome {
        Processed, // IMAP: moved to the processed folder; POP3: deleted when the setup says so
        LeftAlone, // left where it was, unread as it was
    };
    using Handler = std::function<Outcome(const QByteArray& message)>;

    BounceMailbox(BounceSetup setup, CertificateDecision decision);
    // Reads every message in the mailbox; throws with the server's or the library's reason when
    // it cannot log in or read. Answers how many messages it read. `recorded` is called before
    // processed messages are moved or deleted (a batch at a time): what it records is then safe.
    int readAll(const Handler& handle, const std::function<void()>& recorded = {});
    // Logs in and selects the mailbox, nothing more (for a check of the settings).
    void probe();
    // Once the flag is set, the transfer under way ends (as a failure) and no other begins.
    void setAbortFlag(const std::atomic<bool>* abort) { m_abort = abort; }

private:
    BounceSetup m_setup;
    CertificateDecision m_decision;
    const std::atomic<bool>* m_abort = nullptr;
};
