#include "gui/preflightdialog.h"

#include "core/error.h"
#include "core/settings/preflightsettings.h"
#include "core/settings/settingsfile.h"
#include "core/text/textutil.h"
#include "gui/backgroundwork.h"
#include "gui/prompts.h"

#include <QCheckBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {

const QString kCaption = QStringLiteral("Check before sending");

QColor levelColour(PreflightResult::Level level)
{
    switch (level) {
    case PreflightResult::Level::Pass: return QColor(0x2e, 0x7d, 0x32);
    case PreflightResult::Level::Warning: return QColor(0xb2, 0x6a, 0x00);
    case PreflightResult::Level::Failure: return QColor(0xc6, 0x28, 0x28);
    }
    return {};
}

} // namespace

PreflightWindow::PreflightWindow(QWidget* parent, RunSelection selection, QByteArray message, CertificateDecision ask)
    : m_parent(parent)
    , m_selection(std::move(selection))
    , m_message(std::move(message))
    , m_ask(std::move(ask))
{
}

bool PreflightWindow::runChecks()
{
    const DnsLookups dns = SystemDns();
    return RunInBackground(
        m_parent,
        {kCaption, QStringLiteral("Checking %1: its DNS records, the server and the message...").arg(m_selection.SenderAddress),
         QStringLiteral("Stop"), QStringLiteral("PreflightProgress")},
        m_ask, [&](const CertificateDecision& decision, const std::atomic<bool>&) { m_results = CheckBeforeRun(m_selection, m_message, dns, decision); },
        &m_failure);
}

bool PreflightWindow::showTable(bool beforeRun)
{
    QDialog dialog(m_parent);
    dialog.setObjectName(QStringLiteral("PreflightDlg"));
    dialog.setWindowTitle(kCaption);
    auto* layout = new QVBoxLayout(&dialog);
    int counts[3] = {0, 0, 0};
    for (const PreflightResult& r : std::as_const(m_results))
        ++counts[int(r.level)];
    auto* summary = new QLabel(&dialog);
    summary->setObjectName(QStringLiteral("LbPreflight"));
    summary->setWordWrap(true);
    summary->setText(QStringLiteral("%1: %2 passed, %3 warnings, %4 failures.%5")
                         .arg(m_selection.SenderAddress)
                         .arg(counts[0])
                         .arg(counts[1])
                         .arg(counts[2])
                         .arg(counts[2] > 0 ? QStringLiteral(" Receivers are likely to refuse or junk this mail until the failures are put right.")
                                            : QString()));
    layout->addWidget(summary);
    auto* table = new QTableWidget(int(m_results.size()), 4, &dialog);
    table->setObjectName(QStringLiteral("PreflightTable"));
    table->setHorizontalHeaderLabels({QStringLiteral("Result"), QStringLiteral("Check"), QStringLiteral("Found"), QStringLiteral("What to do")});
    table->verticalHeader()->hide();
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setWordWrap(true);
    for (int row = 0; row < m_results.size(); ++row) {
        const PreflightResult& r = m_results[row];
        auto* level = new QTableWidgetItem(LevelName(r.level));
        level->setForeground(levelColour(r.level));
        table->setItem(row, 0, level);
        table->setItem(row, 1, new QTableWidgetItem(r.check));
        table->setItem(row, 2, new QTableWidgetItem(PrintableText(r.detail, true)));
        table->setItem(row, 3, new QTableWidgetItem(r.advice));
        for (int column = 1; column < 4; ++column)
            table->item(row, column)->setToolTip(table->item(row, column)->text());
    }
    table->horizontalHeader()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    table->horizontalHeader()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    table->horizontalHeader()->setSectionResizeMode(2, QHeaderView::Interactive);
    table->setColumnWidth(2, 260);
    table->horizontalHeader()->setStretchLastSection(true);
    table->resizeRowsToContents();
    layout->addWidget(table);
    auto* again = new QCheckBox(QStringLiteral("Check each sender and content before its first run"), &dialog);
    again->setObjectName(QStringLiteral("ChkPreflight"));
    again->setChecked(ReadCheckBeforeFirstRun());
    layout->addWidget(again);
    auto* buttons = new QDialogButtonBox(&dialog);
    if (beforeRun) {
        QPushButton* send = buttons->addButton(counts[2] > 0 ? QStringLiteral("Send anyway") : QStringLiteral("Send"), QDialogButtonBox::AcceptRole);
        send->setObjectName(QStringLiteral("BtnPreflightSend"));
        QPushButton* cancel = buttons->addButton(QDialogButtonBox::Cancel);
        cancel->setObjectName(QStringLiteral("BtnPreflightCancel"));
        (counts[2] > 0 ? cancel : send)->setDefault(true);
    } else {
        buttons->addButton(QDialogButtonBox::Close)->setObjectName(QStringLiteral("BtnPreflightCancel"));
    }
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    layout->addWidget(buttons);
    dialog.resize(920, 420);
    const bool accepted = dialog.exec() == QDialog::Accepted;
    WriteCheckBeforeFirstRun(again->isChecked());
    return accepted;
}

bool PreflightWindow::confirmRun()
{
    if (!ReadCheckBeforeFirstRun() || WasCheckedBeforeRun(m_selection.SenderAddress, m_selection.ContentTitle))
        return true;
    if (!runChecks())
        return false;
    if (!m_failure.isEmpty()) {
        // The check itself could not be made (no sender): the run says what is missing.
        Prompts::report(m_parent, kCaption, m_failure, QMessageBox::Warning);
        return false;
    }
    if (!showTable(true))
        return false;
    MarkCheckedBeforeRun(m_selection.SenderAddress, m_selection.ContentTitle);
    return true;
}

void PreflightWindow::show()
{
    if (!runChecks())
        return;
    if (!m_failure.isEmpty())
        Prompts::report(m_parent, kCaption, m_failure, QMessageBox::Warning);
    else
        showTable(false);
}
