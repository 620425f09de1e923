#include "gui/dkimkeys.h"

#include "core/error.h"
#include "core/settings/dkimsettings.h"
#include "gui/prompts.h"

#include <QComboBox>
#include <QDate>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

QString DkimSummary(const QString& domain)
{
    QStringList keys;
    for (const DkimEntry& e : ReadDkimEntries(domain))
        keys.append(QStringLiteral("%1 (%2)").arg(e.selector, DkimKeyState(e).section(u':', 0, 0)));
    return keys.isEmpty() ? QStringLiteral("none: the server must sign") : keys.join(QStringLiteral(", "));
}

TFrmDkimKeys::TFrmDkimKeys(const QString& domain, QWidget* parent)
    : QDialog(parent)
    , m_domain(domain.trimmed().toLower())
{
    setObjectName(QStringLiteral("TFrmDkimKeys"));
    setWindowTitle(QStringLiteral("DKIM keys of %1").arg(m_domain));
    auto* layout = new QVBoxLayout(this);
    auto* intro = new QLabel(QStringLiteral("Messages from %1 are signed with each key below. Publish each key's record in the DNS of "
                                            "%1 before sending.").arg(m_domain),
                             this);
    intro->setWordWrap(true);
    layout->addWidget(intro);
    DkimTable = new QTableWidget(0, 3, this);
    DkimTable->setObjectName(QStringLiteral("DkimTable"));
    DkimTable->setHorizontalHeaderLabels({QStringLiteral("Selector"), QStringLiteral("Key"), QStringLiteral("File")});
    DkimTable->verticalHeader()->hide();
    DkimTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    DkimTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    DkimTable->setSelectionMode(QAbstractItemView::SingleSelection);
    DkimTable->horizontalHeader()->setStretchLastSection(true);
    layout->addWidget(DkimTable);
    layout->addWidget(new QLabel(QStringLiteral("The TXT record of the chosen key:"), this));
    EdtDkimRecord = new QPlainTextEdit(this);
    EdtDkimRecord->setObjectName(QStringLiteral("EdtDkimRecord"));
    EdtDkimRecord->setReadOnly(true);
    EdtDkimRecord->setMaximumHeight(90);
    layout->addWidget(EdtDkimRecord);

    auto* make = new QHBoxLayout;
    make->addWidget(new QLabel(QStringLiteral("Selector:"), this));
    EdtDkimSelector = new QLineEdit(QStringLiteral("s%1").arg(QDate::currentDate().toString(QStringLiteral("yyyyMM"))), this);
    EdtDkimSelector->setObjectName(QStringLiteral("EdtDkimSelector"));
    make->addWidget(EdtDkimSelector);
    CmbDkimType = new QComboBox(this);
    CmbDkimType->setObjectName(QStringLiteral("CmbDkimType"));
    CmbDkimType->addItems({QStringLiteral("RSA 2048"), QStringLiteral("Ed25519")});
    make->addWidget(CmbDkimType);
    const auto button = [this, make](const char* name, const QString& caption, void (TFrmDkimKeys::*click)()) {
        auto* b = new QPushButton(caption, this);
        b->setObjectName(QLatin1String(name));
        b->setAutoDefault(false);
        connect(b, &QPushButton::clicked, this, click);
        make->addWidget(b);
    };
    button("BtnDkimGenerate", QStringLiteral("Generate"), &TFrmDkimKeys::GenerateClick);
    button("BtnDkimSet", QStringLiteral("Use a key file..."), &TFrmDkimKeys::SetKeyClick);
    button("BtnDkimRemove", QStringLiteral("Remove"), &TFrmDkimKeys::RemoveClick);
    layout->addLayout(make);
    auto* close = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(close, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(close);
    connect(DkimTable, &QTableWidget::itemSelectionChanged, this, &TFrmDkimKeys::showRecord);
    resize(640, 360);
    reload();
}

void TFrmDkimKeys::reload(const QString& selected)
{
    const QList<DkimEntry> entries = ReadDkimEntries(m_domain);
    DkimTable->setRowCount(int(entries.size()));
    int chosen = entries.isEmpty() ? -1 : 0;
    for (int row = 0; row < entries.size(); ++row) {
        const DkimEntry& e = entries[row];
        DkimTable->setItem(row, 0, new QTableWidgetItem(e.selector));
        DkimTable->setItem(row, 1, new QTableWidgetItem(DkimKeyState(e)));
        DkimTable->setItem(row, 2, new QTableWidgetItem(DkimKeyPath(e)));
        if (e.selector == selected)
            chosen = row;
    }
    DkimTable->resizeColumnsToContents();
    if (chosen >= 0)
        DkimTable->selectRow(chosen);
    showRecord();
}

void TFrmDkimKeys::showRecord()
{
    const int row = DkimTable->currentRow();
    EdtDkimRecord->clear();
    if (row < 0 || !DkimTable->item(row, 0))
        return;
    for (const DkimEntry& e : ReadDkimEntries(m_domain)) {
        Dkim::Key key;
        if (e.selector != DkimTable->item(row, 0)->text())
            continue;
        const QString state = DkimKeyState(e, &key);
        EdtDkimRecord->setPlainText(key.key ? Dkim::RecordName(key) + QStringLiteral(" TXT \"") + QString::fromLatin1(Dkim::DnsRecord(key)) + u'"'
                                            : state);
    }
}

void TFrmDkimKeys::GenerateClick()
{
    const QString selector = EdtDkimSelector->text().trimmed();
    try {
        GenerateDkimKey(m_domain, selector, CmbDkimType->currentIndex() == 0 ? Dkim::KeyType::Rsa : Dkim::KeyType::Ed25519);
    } catch (const BrevoraError& e) {
        Prompts::report(this, windowTitle(), e.message(), QMessageBox::Warning);
        return;
    }
    reload(selector);
}

void TFrmDkimKeys::SetKeyClick()
{
    const QString file = Prompts::openFileName(this, QStringLiteral("A DKIM private key"), QStringLiteral("PEM keys (*.pem *.key);;All files (*)"));
    if (file.isEmpty())
        return;
    const QString selector = EdtDkimSelector->text().trimmed();
    try {
        SetDkimKey(m_domain, selector, file);
    } catch (const BrevoraError& e) {
        Prompts::report(this, windowTitle(), e.message(), QMessageBox::Warning);
        return;
    }
    reload(selector);
}

void TFrmDkimKeys::RemoveClick()
{
    const int row = DkimTable->currentRow();
    if (row < 0)
        return;
    const QString selector = DkimTable->item(row, 0)->text();
    if (Prompts::question(this, windowTitle(), QStringLiteral("Stop signing with %1? The key file stays where it is.").arg(selector),
                          QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes)
        return;
    RemoveDkimEntries(m_domain, selector);
    reload();
}
