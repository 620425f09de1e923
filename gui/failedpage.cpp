// The main window's Failed page: the entries refused (tried again with Retry failed), the bounce
// and complaint results after them, their export, and Mail, Check bounces, which adds to them.
#include "gui/mainunit.h"

#include "core/intake/csvfile.h"
#include "core/sendlog/sendlogstore.h"
#include "gui/application.h"
#include "gui/bouncecheck.h"
#include "gui/prompts.h"

#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>

void TMainForm::FailedExportClick()
{
    const QString path = Prompts::saveFileName(this, QString(), QStringLiteral("failed.csv"), QStringLiteral("CSV (*.csv)"));
    if (path.isEmpty() || !m_store)
        return;
    QStringList entries;
    QList<QStringList> outcome;
    for (const SendLogStore::FailedRow& row : m_store->failedRows()) {
        entries.append(row.entry);
        outcome.append({QString::number(row.code), row.reason, row.at});
    }
    WriteFileBytes(path, EntriesAsCsv(entries, fieldNames(), {QStringLiteral("code"), QStringLiteral("reason"), QStringLiteral("time")}, outcome));
}

void TMainForm::CheckBouncesClick()
{
    if (!m_store)
        return;
    CheckBounces(this, *m_store, [this](const CertificateInfo& info) { return askCertificate(info); });
    ShowFailed();
}

void TMainForm::ShowFailed()
{
    int failed = 0;
    const QList<QStringList> rows = m_store ? FailedPageRows(*m_store, &failed) : QList<QStringList>();
    FailedLB->setRowCount(int(rows.size()));
    for (int i = 0; i < rows.size(); ++i)
        for (int c = 0; c < rows[i].size(); ++c) {
            auto* item = new QTableWidgetItem(rows[i][c]);
            item->setToolTip(rows[i][c]); // a long reason, read whole
            FailedLB->setItem(i, c, item);
        }
    FailedLB->resizeColumnToContents(0);
    RetryBt->setEnabled(failed > 0 && !m_run.running()); // bounced addresses are not tried again
    PageControl1->setTabText(3, rows.isEmpty() ? QStringLiteral("Failed") : QStringLiteral("Failed (%1)").arg(rows.size()));
}

void TMainForm::RetryBtClick()
{
    if (m_run.running() || !m_store)
        return;
    m_pending.retryFailed();
    m_run.countRetried();
    ShowFailed();
    PageControl1->setCurrentIndex(0);
}
