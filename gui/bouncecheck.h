#pragma once

#include <QList>
#include <QStringList>
#include <functional>

#include "core/smtp/securetransport.h"

class QWidget;
class SendLogStore;

// Mail, Check bounces: reads every sender's bounce mailbox into the store on a thread of its own,
// with a progress dialog that can cancel it, and says what came of it ("N bounces, M complaints,
// K addresses suppressed"). A certificate that does not verify is put to `ask` on this thread.
void CheckBounces(QWidget* parent, SendLogStore& store, const CertificateDecision& ask);

// The rows of the Failed page: the failed list (entry, code, reason, time), then the bounce and
// complaint results (address, status and class, reason, time).
QList<QStringList> FailedPageRows(SendLogStore& store, int* failedCount);
