#pragma once

#include <QByteArray>
#include <functional>

#include "core/run/preflight.h"
#include "core/smtp/securetransport.h"

class QWidget;

// Mail, Check before sending, and Start before the first run of a sender and content pair: runs
// the checks (DNS, the server, the bounce mailbox, the first entry's message) on a thread of its
// own under a progress dialog that can stop them, then shows their table. A certificate that does
// not verify is put to `ask` on this thread.
class PreflightWindow
{
public:
    PreflightWindow(QWidget* parent, RunSelection selection, QByteArray message, CertificateDecision ask);
    // Before a run: answers whether to send (Send, or "Send anyway" past failures). Checked pairs
    // are remembered, and the window's box turns the check before first runs off and on.
    bool confirmRun();
    // From the menu: the table with a Close button.
    void show();

private:
    // Runs the checks; false when the user stopped them.
    bool runChecks();
    bool showTable(bool beforeRun);

    QWidget* m_parent;
    RunSelection m_selection;
    QByteArray m_message;
    CertificateDecision m_ask;
    QList<PreflightResult> m_results;
    QString m_failure;
};
