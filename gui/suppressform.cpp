#include "gui/suppressform.h"

#include "gui/application.h"
#include "gui/prompts.h"
#include "core/error.h"
#include "core/intake/intakerule.h"
#include "core/intake/listfile.h"
#include "core/sendlog/sendlogstore.h"
#include "core/settings/settingsfile.h"
#include "core/text/codepage.h"
#include "core/text/textutil.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace {
QPushButton* button(QWidget* parent, const char* name, const QString& caption)
{
    auto* b = new QPushButton(caption, parent);
    b->setObjectName(QLatin1String(name));
    return b;
}
} // namespace

TFrmSuppress::TFrmSuppress(SendLogStore* store, QWidget* parent)
    : QDialog(parent)
    , m_store(store)
{
    setObjectName(QStringLiteral("TFrmSuppress"));
    setWindowTitle(QStringLiteral("Suppression List"));
    auto* layout = new QVBoxLayout(this);
    auto* note = new QLabel(QStringLiteral("These addresses are never mailed: intake and list files leave them out, and a run "
                                           "moves them to the Failed page unsent."),
                            this);
    note->setWordWrap(true);
    layout->addWidget(note);
    SuppressLB = new QTableWidget(0, 3, this);
    SuppressLB->setObjectName(QStringLiteral("SuppressLB"));
    SuppressLB->setHorizontalHeaderLabels({QStringLiteral("Address"), QStringLiteral("Added"), QStringLiteral("Reason")});
    SuppressLB->horizontalHeader()->setStretchLastSection(true);
    SuppressLB->verticalHeader()->hide();
    SuppressLB->setSelectionBehavior(QAbstractItemView::SelectRows);
    SuppressLB->setEditTriggers(QAbstractItemView::NoEditTriggers);
    layout->addWidget(SuppressLB, 1);

    auto* addRow = new QHBoxLayout;
    EdtSuppressAddress = new QLineEdit(this);
    EdtSuppressAddress->setObjectName(QStringLiteral("EdtSuppressAddress"));
    EdtSuppressAddress->setPlaceholderText(QStringLiteral("address"));
    EdtSuppressReason = new QLineEdit(this);
    EdtSuppressReason->setObjectName(QStringLiteral("EdtSuppressReason"));
    EdtSuppressReason->setPlaceholderText(QStringLiteral("reason (unsubscribed, bounced, asked...)"));
    auto* add = button(this, "BtnSuppressAdd", QStringLiteral("Add"));
    addRow->addWidget(EdtSuppressAddress, 2);
    addRow->addWidget(EdtSuppressReason, 2);
    addRow->addWidget(add);
    layout->addLayout(addRow);

    auto* buttons = new QHBoxLayout;
    auto* import = button(this, "BtnSuppressImport", QStringLiteral("Import..."));
    auto* exportButton = button(this, "BtnSuppressExport", QStringLiteral("Export..."));
    BtnSuppressRemove = button(this, "BtnSuppressRemove", QStringLiteral("Remove"));
    BtnSuppressRemove->setEnabled(false);
    auto* close = button(this, "BtnSuppressClose", QStringLiteral("Close"));
    buttons->addWidget(import);
    buttons->addWidget(exportButton);
    buttons->addWidget(BtnSuppressRemove);
    buttons->addStretch(1);
    buttons->addWidget(close);
    layout->addLayout(buttons);

    connect(add, &QPushButton::clicked, this, [this] { Guarded([this] { BtnAddClick(); }); });
    connect(EdtSuppressAddress, &QLineEdit::returnPressed, this, [this] { Guarded([this] { BtnAddClick(); }); });
    connect(import, &QPushButton::clicked, this, [this] { Guarded([this] { BtnImportClick(); }); });
    connect(exportButton, &QPushButton::clicked, this, [this] { Guarded([this] { BtnExportClick(); }); });
    connect(BtnSuppressRemove, &QPushButton::clicked, this, [this] { Guarded([this] { BtnRemoveClick(); }); });
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    connect(SuppressLB, &QTableWidget::itemSelectionChanged, this,
            [this] { BtnSuppressRemove->setEnabled(!SuppressLB->selectedItems().isEmpty()); });
    resize(560, 400);
    showList();
}

void TFrmSuppress::showList()
{
    const QList<SuppressionList::Row> rows = m_store ? m_store->suppression().rows() : QList<SuppressionList::Row>();
    SuppressLB->setRowCount(int(rows.size()));
    for (int i = 0; i < rows.size(); ++i) {
        const QStringList cells{rows[i].address, rows[i].added, rows[i].reason};
        for (int c = 0; c < cells.size(); ++c)
            SuppressLB->setItem(i, c, new QTableWidgetItem(cells[c]));
    }
    SuppressLB->resizeColumnToContents(0);
    SuppressLB->resizeColumnToContents(1);
    BtnSuppressRemove->setEnabled(false);
}

void TFrmSuppress::addAll(const QStringList& addresses, const QString& reason)
{
    if (!m_store)
        return;
    QStringList valid;
    QStringList invalid;
    for (const QString& a : addresses)
        (IsValidEmail(a) ? valid : invalid).append(a);
    int added = 0;
    if (!m_store->suppression().add(valid, reason, &added))
        throw BrevoraError(ErrorKind::Store, m_store->lastError());
    showList();
    if (!invalid.isEmpty())
        Prompts::report(this, ProgramTitle(),
                        QStringLiteral("%1 added. These are not addresses and were left out:\n%2")
                            .arg(added)
                            .arg(invalid.mid(0, 20).join(QLatin1Char('\n'))),
                        QMessageBox::Warning);
}

void TFrmSuppress::BtnAddClick()
{
    const QString address = EdtSuppressAddress->text().trimmed();
    if (address.isEmpty())
        return;
    addAll({address}, EdtSuppressReason->text().trimmed());
    EdtSuppressAddress->clear();
    EdtSuppressReason->clear(); // the reason was this address's
}

void TFrmSuppress::BtnImportClick()
{
    const QString path = Prompts::openFileName(this, QStringLiteral("Import addresses"), QStringLiteral("Text files (*.txt *.csv);;All files (*)"));
    if (path.isEmpty())
        return;
    QStringList addresses;
    for (const QString& line : SplitTextLines(DecodeListFile(ReadFileBytes(path))))
        if (const QString a = IntakeRule::trimEntry(line).section(QLatin1Char(','), 0, 0).trimmed(); !a.isEmpty())
            addresses.append(a);
    addAll(addresses, EdtSuppressReason->text().trimmed().isEmpty() ? QStringLiteral("imported") : EdtSuppressReason->text().trimmed());
}

void TFrmSuppress::BtnExportClick()
{
    const QString path = Prompts::saveFileName(this, QStringLiteral("Export addresses"), QStringLiteral("suppressed.txt"),
                                               QStringLiteral("Text files (*.txt)"));
    if (path.isEmpty() || !m_store)
        return;
    QStringList addresses;
    for (const SuppressionList::Row& r : m_store->suppression().rows())
        addresses.append(r.address);
    WriteFileBytes(path, CodePage::encodeLines(addresses));
}

void TFrmSuppress::BtnRemoveClick()
{
    if (!m_store)
        return;
    QList<int> rows;
    for (const QModelIndex& index : SuppressLB->selectionModel()->selectedRows())
        rows.append(index.row());
    for (int row : rows)
        if (!m_store->suppression().remove(SuppressLB->item(row, 0)->text()))
            throw BrevoraError(ErrorKind::Store, m_store->lastError());
    showList();
}
