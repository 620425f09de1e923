#include "gui/addunit.h"
#include <QFileInfo>
#include <QHeaderView>
#include <QComboBox>
#include <QTableWidget>
#include "core/intake/listfile.h"
#include "core/intake/csvfile.h"

#include "gui/application.h"
#include "gui/prompts.h"
#include "core/error.h"
#include "core/intake/intakerule.h"
#include "core/intake/listintake.h"
#include "core/intake/mailto.h"
#include "core/sendlog/sendlogstore.h"
#include "core/settings/settingsfile.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSet>
#include <QStatusBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QThread>
#include <QVBoxLayout>
#include <tuple>

namespace {
const QString kExists = QStringLiteral("This email address already exists.");
const QString kAdded = QStringLiteral("Email address added successfully.");
constexpr int kRepaintIntervalMs = 100;
} // namespace

TAddForm::TAddForm(PendingAccess pending, SendLogStore* store, QWidget* parent)
    : QDialog(parent)
    , m_pending(std::move(pending))
    , m_store(store)
{
    setObjectName(QStringLiteral("TAddForm"));
    setWindowTitle(QStringLiteral("Add Mail"));
    auto* layout = new QVBoxLayout(this);
    chkTip = new QCheckBox(QStringLiteral("Tell me if Duplicate when sending"), this);
    chkTip->setObjectName(QStringLiteral("chkTip"));
    auto* label = new QLabel(QStringLiteral("Resend Duplicate"), this);
    label->setObjectName(QStringLiteral("Label1"));
    rdbSend = new QRadioButton(QStringLiteral("Send"), this);
    rdbSend->setObjectName(QStringLiteral("rdbSend"));
    rdbNoSend = new QRadioButton(QStringLiteral("Not Send"), this);
    rdbNoSend->setObjectName(QStringLiteral("rdbNoSend"));
    rdbNoSend->setChecked(true);
    auto* options = new QHBoxLayout;
    options->addWidget(chkTip);
    options->addStretch();
    options->addWidget(label);
    options->addWidget(rdbSend);
    options->addWidget(rdbNoSend);
    layout->addLayout(options);

    auto* group = new QGroupBox(QStringLiteral("Mail List"), this);
    group->setObjectName(QStringLiteral("GroupBox1"));
    auto* groupLayout = new QVBoxLayout(group);
    MailMo = new QPlainTextEdit(group);
    MailMo->setObjectName(QStringLiteral("MailMo"));
    MailMo->setLineWrapMode(QPlainTextEdit::NoWrap);
    groupLayout->addWidget(MailMo, 2);
    CsvColumn = new QLabel(group);
    CsvColumn->setObjectName(QStringLiteral("CsvColumn"));
    CsvPreview = new QTableWidget(group);
    CsvPreview->setObjectName(QStringLiteral("CsvPreview"));
    CsvPreview->setEditTriggers(QAbstractItemView::NoEditTriggers);
    CsvPreview->verticalHeader()->hide();
    CmbAddressColumn = new QComboBox(group);
    CmbAddressColumn->setObjectName(QStringLiteral("CmbAddressColumn"));
    CmbAddressColumn->setToolTip(QStringLiteral("The column that holds the addresses"));
    groupLayout->addWidget(CsvColumn);
    groupLayout->addWidget(CmbAddressColumn, 0, Qt::AlignLeft);
    CmbAddressColumn->hide();
    groupLayout->addWidget(CsvPreview, 1);
    CsvColumn->hide();
    CsvPreview->hide();
    layout->addWidget(group, 1);

    auto* buttons = new QHBoxLayout;
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("BitBtn1"));
    ok->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
    cancel->setObjectName(QStringLiteral("BitBtn2"));
    auto* open = new QPushButton(QStringLiteral("Open file..."), this);
    open->setObjectName(QStringLiteral("BtnOpenList"));
    open->setToolTip(QStringLiteral("A list file: one address a line, or a CSV or TSV file with a header row"));
    buttons->addWidget(open);
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);
    auto* bar = new QStatusBar(this);
    bar->setObjectName(QStringLiteral("StatusSB"));
    bar->setSizeGripEnabled(false);
    m_status = new QLabel(bar);
    bar->addWidget(m_status, 1);
    layout->addWidget(bar);

    connect(ok, &QPushButton::clicked, this, [this] { Guarded([this] { BitBtn1Click(); }); });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(open, &QPushButton::clicked, this, [this] { Guarded([this] { OpenListFile(); }); });
    connect(MailMo, &QPlainTextEdit::textChanged, this, [this] {
        CmbAddressColumn->clear(); // a new table: its address column is found again
        ShowCsvPreview();
    });
    connect(CmbAddressColumn, &QComboBox::activated, this, &TAddForm::ShowCsvPreview);
    connect(chkTip, &QCheckBox::clicked, this, &TAddForm::chkTipClick);
    setFixedSize(minimumSizeHint().expandedTo(QSize(460, 400))); // a fixed border that fits its text
}

void TAddForm::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    FormShow();
}

void TAddForm::done(int result)
{
    FormClose();
    QDialog::done(result);
}

void TAddForm::FormShow()
{
    MailMo->clear();
    setStatus(QString());
    MailMo->setFocus();
    if (!m_capturing) {
        connect(QApplication::clipboard(), &QClipboard::dataChanged, this, &TAddForm::ClipboardChanged);
        m_capturing = true;
    }
}

void TAddForm::FormClose()
{
    if (m_capturing) {
        disconnect(QApplication::clipboard(), &QClipboard::dataChanged, this, &TAddForm::ClipboardChanged);
        m_capturing = false;
    }
}

void TAddForm::ClipboardChanged()
{
    const QMimeData* data = QApplication::clipboard()->mimeData();
    if (!data || (!data->hasText() && !data->hasHtml()))
        return;
    CaptureText(data->text(), data->hasHtml() ? data->html() : QString());
}

void TAddForm::CaptureText(const QString& text, const QString& html)
{
    for (const QString& address : ClipboardMailtos(text, html))
        AddCapturedAddress(address);
}

QString TAddForm::status() const
{
    return m_status->text();
}

void TAddForm::setStatus(const QString& text)
{
    m_status->setText(text);
}

void TAddForm::refusalSignal(const QString& address)
{
    QApplication::beep();
    setStatus(address + QLatin1Char(' ') + kExists);
    QThread::msleep(beepPauseMs);
    QApplication::beep();
}

void TAddForm::appendLine(const QString& line)
{
    // After pasted text that ends in a line break the last line is empty: it takes the address,
    // rather than leaving a blank line before it.
    if (MailMo->document()->lastBlock().text().isEmpty() && !MailMo->document()->isEmpty()) {
        QTextCursor end(MailMo->document());
        end.movePosition(QTextCursor::End);
        end.insertText(line);
        MailMo->setTextCursor(end);
    } else {
        MailMo->appendPlainText(line);
    }
}

QStringList TAddForm::memoLines() const
{
    QStringList lines;
    for (QTextBlock b = MailMo->document()->firstBlock(); b.isValid(); b = b.next())
        lines.append(b.text());
    // The empty line after a final line break is no line of the list.
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

void TAddForm::AddCapturedAddress(const QString& address)
{
    if (address.isEmpty())
        return;
    bool found = false;
    for (const QString& line : memoLines())
        if (line == address) {
            found = true;
            refusalSignal(address);
        }
    if (found)
        return;
    if (m_store && m_store->hasBeenSent(address)) {
        if (ConfirmResend(ResendQuestion(address))) {
            appendLine(address);
            setStatus(address + QLatin1Char(' ') + kAdded);
        } else {
            refusalSignal(address);
        }
        return;
    }
    QApplication::beep();
    appendLine(address);
    setStatus(address + QLatin1Char(' ') + kAdded);
}

bool TAddForm::ConfirmResend(const QString& question)
{
    if (chkTip->isChecked())
        return Prompts::question(this, QStringLiteral("确认"), question, QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No)
            == QMessageBox::Yes;
    return rdbSend->isChecked();
}

void TAddForm::chkTipClick()
{
    rdbSend->setEnabled(!chkTip->isChecked());
    rdbNoSend->setEnabled(!chkTip->isChecked());
}

void TAddForm::OpenListFile()
{
    const QString path = Prompts::openFileName(this, QStringLiteral("Open a list"),
                                               QStringLiteral("Lists (*.txt *.csv *.tsv);;All files (*)"));
    if (path.isEmpty())
        return;
    const QByteArray bytes = ReadFileBytes(path);
    const QString csv = DecodeCsvFile(bytes);
    const bool table = LooksLikeCsv(csv);
    const QString text = table ? csv : DecodeListFile(bytes);
    const QString there = MailMo->toPlainText();
    if (there.trimmed().isEmpty()) {
        MailMo->setPlainText(text);
        return;
    }
    // A table's header must come first, and other lines are no rows of it: a table takes the
    // place of what is there, when the user says so. A list joins what is there.
    if (table || LooksLikeCsv(there)) {
        const int lines = int(SplitTextLines(there).size());
        if (Prompts::question(this, ProgramTitle(),
                              QStringLiteral("%1 is a table. Replace the %2 lines in the list with it?")
                                  .arg(QFileInfo(path).fileName())
                                  .arg(lines),
                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
            != QMessageBox::Yes)
            return;
        MailMo->setPlainText(text);
        return;
    }
    MailMo->setPlainText(there + (there.endsWith(QLatin1Char('\n')) ? QString() : QStringLiteral("\n")) + text);
}

void TAddForm::ShowCsvPreview()
{
    // Only the start of the text is read here: a long paste stays quick to type in.
    const QString text = MailMo->toPlainText();
    qsizetype end = 0;
    for (int lines = 0; lines < 12 && end >= 0; ++lines)
        end = text.indexOf(u'\n', end + 1);
    const QString head = end < 0 ? text : text.left(end);
    const bool csv = LooksLikeCsv(head);
    CsvPreview->setVisible(csv);
    CsvColumn->setVisible(csv);
    CmbAddressColumn->setVisible(csv);
    if (!csv)
        return;
    const CsvList list = ParseCsvList(head, CmbAddressColumn->currentText());
    if (CmbAddressColumn->count() == 0) {
        for (const QString& name : list.header)
            CmbAddressColumn->addItem(name.trimmed());
        CmbAddressColumn->setCurrentIndex(list.addressColumn);
    }
    CsvColumn->setText(QStringLiteral("A table: each row becomes an entry. Address column: %1 (choose another below); the "
                                      "other columns are values that [= name =] placeholders reach by their names.")
                           .arg(list.addressColumn >= 0 ? list.header[list.addressColumn].trimmed() : QStringLiteral("none found")));
    CsvColumn->setWordWrap(true);
    CsvPreview->setColumnCount(int(list.header.size()));
    CsvPreview->setHorizontalHeaderLabels(list.header);
    CsvPreview->setRowCount(int(list.entries.size()));
    const QStringList names = list.fieldNames();
    for (int r = 0; r < list.entries.size(); ++r) {
        const QStringList fields = list.entries[r].split(u',');
        int value = 1;
        for (int c = 0; c < list.header.size(); ++c)
            CsvPreview->setItem(r, c, new QTableWidgetItem(c == list.addressColumn ? fields.value(0) : fields.value(value++)));
    }
}

void TAddForm::BitBtn1Click()
{
    QStringList lines = memoLines();
    QList<int> lineNumbers;
    QStringList csvRefusals;
    std::optional<QStringList> tableFields; // a table's names of its values
    const bool table = LooksLikeCsv(MailMo->toPlainText());
    if (const QString text = MailMo->toPlainText(); table) {
        // A table: its rows are the entries, and the header names their values from now on.
        const CsvList csv = ParseCsvList(text, CmbAddressColumn->currentText());
        lines = csv.entries;
        lineNumbers = csv.entryLines;
        csvRefusals = csv.refusals;
        if (csv.addressColumn >= 0)
            tableFields = csv.fieldNames();
    } else {
        for (qsizetype i = 0; i < lines.size(); ++i)
            lineNumbers.append(int(i + 1));
    }
    const int count = int(lines.size());
    QStringList refused;
    QStringList refusedLines;
    QStringList leftOut; // every line that did not join, with why
    int duplicates = 0, sentBefore = 0, suppressed = 0;
    QStringList taken;
    try {
        ListIntake intake(m_store, m_pending.isInMailList, m_pending.append);
        if (tableFields)
            intake.saveFieldNames(*tableFields);
        // The entries reach the list in batches, and the window repaints at a bounded rate.
        ListIntake::Handlers handlers;
        handlers.batchMs = kRepaintIntervalMs;
        handlers.resend = [this](const QString& entry) { return ConfirmResend(ResendQuestion(entry)); };
        handlers.leftOut = [&](qsizetype i, IntakeRule::Verdict verdict, const QString& reason) {
            const QString line = QStringLiteral("Line %1: %2.").arg(lineNumbers[i]).arg(reason);
            leftOut.append(line);
            switch (verdict) {
            case IntakeRule::Verdict::Duplicate:
                ++duplicates;
                break;
            case IntakeRule::Verdict::SentBefore:
                ++sentBefore;
                break;
            case IntakeRule::Verdict::Suppressed:
                ++suppressed;
                break;
            default:
                refused.append(line);
                refusedLines.append(lines[i]);
            }
        };
        handlers.progress = [&](qsizetype i, const QString& entry) {
            setStatus(QStringLiteral("%1/%2 add\uFF1A%3").arg(i).arg(count).arg(entry));
            QCoreApplication::processEvents();
        };
        taken = intake.add(lines, handlers);
    } catch (const BrevoraError& e) {
        // What was added stays added; the text stays for another try.
        setStatus(QStringLiteral("Adding failed: ") + e.message());
        throw;
    }
    // Nothing is left out without a word: how many and why, and each line one click away.
    const int notAddresses = int(refused.size() + csvRefusals.size());
    QStringList why;
    for (const auto& [n, one, many] : {std::tuple{duplicates, "duplicate", "duplicates"},
                                       std::tuple{sentBefore, "already delivered", "already delivered"},
                                       std::tuple{suppressed, "suppressed", "suppressed"},
                                       std::tuple{notAddresses, "not an address", "not addresses"}})
        if (n > 0)
            why.append(QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many)));
    const int left = duplicates + sentBefore + suppressed + notAddresses;
    const QString summary = QStringLiteral("%1 added, %2 left out: %3.").arg(taken.size()).arg(left).arg(why.join(QStringLiteral(", ")));
    const QString details = (csvRefusals + leftOut).join(QLatin1Char('\n'));
    if (!table && !refused.isEmpty()) {
        // Only the refused lines stay in the memo, to be corrected.
        MailMo->setPlainText(refusedLines.join(QLatin1Char('\n')));
        setStatus(refused.size() == 1 ? QStringLiteral("1 line was not added.")
                                      : QStringLiteral("%1 lines were not added.").arg(refused.size()));
        Prompts::report(this, ProgramTitle(),
                        QStringLiteral("These lines were not added:\n") + refused.mid(0, 20).join(QLatin1Char('\n'))
                            + (refused.size() > 20 ? QStringLiteral("\n... and %1 more.").arg(refused.size() - 20) : QString())
                            + QStringLiteral("\n\n") + summary,
                        QMessageBox::Warning, details);
        return;
    }
    if (left > 0)
        Prompts::report(this, ProgramTitle(), summary, QMessageBox::Information, details);
    setStatus(kAdded);
    accept();
}
