#pragma once

#include <QString>
#include <atomic>
#include <functional>

#include "core/smtp/securetransport.h"

class QWidget;

// What the progress dialog of work on a thread says.
struct BackgroundWork
{
    QString title;
    QString label;
    QString stopCaption; // the button that stops it
    QString objectName;
};

// Runs `work` on a thread of its own under a modal progress dialog, keeping the window alive
// meanwhile. The dialog's button sets `stopped` (work that can end early watches it); a
// certificate that does not verify is put to `ask` on this thread. Answers false when the user
// stopped it; `failure` gets the message of a BrevoraError the work threw.
bool RunInBackground(QWidget* parent, const BackgroundWork& dialog, const CertificateDecision& ask,
                     const std::function<void(const CertificateDecision& decision, const std::atomic<bool>& stopped)>& work,
                     QString* failure);
