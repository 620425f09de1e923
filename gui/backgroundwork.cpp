#include "gui/backgroundwork.h"

#include "core/error.h"
#include "core/run/runsession.h"
#include "core/settings/settingsfile.h"

#include <QEventLoop>
#include <QProgressDialog>
#include <thread>

bool RunInBackground(QWidget* parent, const BackgroundWork& dialog, const CertificateDecision& ask,
                     const std::function<void(const CertificateDecision& decision, const std::atomic<bool>& stopped)>& work,
                     QString* failure)
{
    QProgressDialog progress(dialog.label, dialog.stopCaption, 0, 0, parent);
    progress.setObjectName(dialog.objectName);
    progress.setWindowTitle(dialog.title);
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(0);
    progress.show();
    std::atomic<bool> stopped{false};
    QEventLoop loop;
    // Work that cannot be cut short ends within seconds; a stop then drops its result.
    QObject::connect(&progress, &QProgressDialog::canceled, [&] {
        stopped = true;
        progress.setLabelText(QStringLiteral("Stopping..."));
    });
    std::thread worker([&] {
        const CertificateDecision decision = [&](const CertificateInfo& info) {
            return IsTrustedCertificate(info) || AskOnThreadOf(&progress, [&] { return ask(info); }, [&] { return stopped.load(); });
        };
        try {
            work(decision, stopped);
        } catch (const BrevoraError& e) {
            *failure = e.message();
        }
        QMetaObject::invokeMethod(&loop, [&loop] { loop.quit(); }, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
    progress.disconnect();
    progress.close();
    return !stopped;
}
