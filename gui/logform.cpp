#include "gui/logform.h"

#include "gui/application.h"
#include "gui/historychart.h"
#include "gui/prompts.h"
#include "core/sendlog/sendlogstore.h"
#include "core/sendlog/historyexport.h"

#include <QComboBox>
#include <QDateEdit>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>

void SendLogModel::setRows(QList<SendLogStore::LogRow> rows)
{
    beginResetModel();
    m_rows = std::move(rows);
    endResetModel();
}

int SendLogModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int SendLogModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : 5;
}

QVariant SendLogModel::data(const QModelIndex& index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= m_rows.size())
        return {};
    const SendLogStore::LogRow& row = m_rows[index.row()];
    switch (index.column()) {
    case 0: return row.sentAt;
    case 1: return row.address;
    case 2: return !row.bounce.isEmpty() ? row.bounce : row.delivered ? QStringLiteral("True") : QStringLiteral("False");
    case 3: return row.code ? QVariant(*row.code) : QVariant();
    case 4: return row.code || !row.bounce.isEmpty() ? QVariant(row.reason) : QVariant();
    default: return {};
    }
}

QVariant SendLogModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    static const QString titles[] = {QStringLiteral("Date"), QStringLiteral("Mail"), QStringLiteral("OK"),
                                     QStringLiteral("Code"), QStringLiteral("Reason")};
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < 5)
        return titles[section];
    return QAbstractTableModel::headerData(section, orientation, role);
}

TLogForm::TLogForm(SendLogStore* store, QWidget* parent)
    : QDialog(parent)
    , m_store(store)
{
    setObjectName(QStringLiteral("TLogForm"));
    setWindowTitle(QStringLiteral("History"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    auto* layout = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    auto* label1 = new QLabel(QStringLiteral("Date:"), this);
    label1->setObjectName(QStringLiteral("Label1"));
    QueryDT = new QDateEdit(QDate::currentDate(), this);
    QueryDT->setObjectName(QStringLiteral("QueryDT"));
    QueryDT->setCalendarPopup(true);
    QueryDT->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
    auto* refresh = new QPushButton(QStringLiteral("Refresh"), this);
    refresh->setObjectName(QStringLiteral("refurbishBT"));
    auto* exportButton = new QPushButton(QStringLiteral("Export"), this);
    exportButton->setObjectName(QStringLiteral("checkoutBt"));
    auto* label2 = new QLabel(QStringLiteral("Total Amount :"), this);
    label2->setObjectName(QStringLiteral("Label2"));
    countLB = new QLabel(QStringLiteral("0"), this);
    countLB->setObjectName(QStringLiteral("countLB"));
    top->addWidget(label1);
    top->addWidget(QueryDT);
    top->addWidget(refresh);
    top->addWidget(exportButton);
    FilterCB = new QComboBox(this);
    FilterCB->setObjectName(QStringLiteral("FilterCB"));
    FilterCB->addItems({QStringLiteral("All"), QStringLiteral("Delivered"), QStringLiteral("Failed"), QStringLiteral("Bounces")});
    FilterCB->setToolTip(QStringLiteral("Which rows to show, count and export"));
    top->addWidget(FilterCB);
    top->addStretch();
    top->addWidget(label2);
    top->addWidget(countLB);
    layout->addLayout(top);

    m_chart = new HistoryChart(this);
    layout->addWidget(m_chart);
    // The latest runs whose bounces come back, with their rates.
    RunRatesLB = new QLabel(this);
    RunRatesLB->setObjectName(QStringLiteral("RunRatesLB"));
    RunRatesLB->setWordWrap(true);
    layout->addWidget(RunRatesLB);

    DBGrid = new QTableView(this);
    DBGrid->setObjectName(QStringLiteral("DBGrid"));
    m_shown.setSourceModel(&m_model);
    m_shown.setFilterKeyColumn(2);
    DBGrid->setModel(&m_shown);
    DBGrid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    DBGrid->verticalHeader()->hide();
    layout->addWidget(DBGrid, 1);

    connect(refresh, &QPushButton::clicked, this, [this] { Guarded([this] { refurbishBTClick(); }); });
    connect(exportButton, &QPushButton::clicked, this, [this] { Guarded([this] { checkoutBtClick(); }); });
    connect(FilterCB, &QComboBox::currentIndexChanged, this, [this](int choice) {
        static const QString patterns[] = {QString(), QStringLiteral("^True$"), QStringLiteral("^False$"),
                                           QStringLiteral("bounce|complaint")};
        m_shown.setFilterRegularExpression(patterns[qBound(0, choice, 3)]);
        countLB->setText(QString::number(m_shown.rowCount()));
    });
    setFixedSize(560, 520);
}

void TLogForm::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    Guarded([this] { FormShow(); });
}

void TLogForm::FormShow()
{
    QueryDT->setDate(QDate::currentDate());
    QueryDay();
}

void TLogForm::refurbishBTClick()
{
    QueryDay();
}

void TLogForm::QueryDay()
{
    // The window keeps its own result: deliveries recorded meanwhile do not take it away. The
    // bounces received that day come after the day's rows.
    QList<SendLogStore::LogRow> rows = m_store ? m_store->logRows(DayPattern(QueryDT->date())) : QList<SendLogStore::LogRow>();
    if (m_store)
        for (const BounceLog::Row& b : m_store->bounces().rowsOf(QueryDT->date()))
            rows.append({b.received, b.address, false, std::nullopt, (b.status + u' ' + b.reason).trimmed(),
                         b.kind == QLatin1String("complaint") ? b.kind : b.kind + QStringLiteral(" bounce")});
    m_model.setRows(rows);
    DBGrid->resizeColumnToContents(0); // the whole date and time
    DBGrid->setColumnWidth(1, 300);
    countLB->setText(QString::number(m_shown.rowCount()));
    const QDate today = QDate::currentDate();
    QList<SendLogStore::DayCount> days = m_store ? m_store->countByDay(today.addDays(-29), today) : QList<SendLogStore::DayCount>();
    if (m_store) {
        const QHash<QDate, int> bounced = m_store->bounces().countByDay(today.addDays(-29), today);
        for (SendLogStore::DayCount& d : days)
            d.bounced = bounced.value(d.day);
    }
    m_chart->setDays(days);
    RunRatesLB->setText(m_store ? RunRatesText(m_store->bounces().runs()) : QString());
    RunRatesLB->setVisible(!RunRatesLB->text().isEmpty());
}

QString RunRatesText(const QList<BounceLog::RunSummary>& runs)
{
    QStringList lines;
    for (qsizetype i = runs.size() - 1; i >= 0 && lines.size() < 3; --i) {
        const BounceLog::RunSummary& r = runs[i];
        const auto share = [&r](int n) { return r.sent > 0 ? QString::number(100.0 * n / double(r.sent), 'f', 2) + u'%' : QStringLiteral("-"); };
        lines.append(QStringLiteral("Run %1 (%2, %3): %4 sent, hard bounces %5, complaints %6%7")
                         .arg(r.run)
                         .arg(r.started.left(16), r.sender)
                         .arg(r.sent)
                         .arg(share(r.hard), share(r.complaints))
                         .arg(r.brake.isEmpty() ? QString() : QStringLiteral(", paused: ") + r.brake));
    }
    return lines.join(u'\n');
}

void TLogForm::checkoutBtClick()
{
    QString path = Prompts::saveFileName(this, QString(), QStringLiteral("log.txt"), QStringLiteral("Text File(*.txt)"));
    if (path.isEmpty())
        return;
    if (QFileInfo(path).suffix().isEmpty())
        path += QStringLiteral(".txt");
    QStringList entries;
    entries.reserve(m_shown.rowCount());
    for (int row = 0; row < m_shown.rowCount(); ++row)
        entries.append(m_shown.data(m_shown.index(row, 1)).toString());
    try {
        ExportHistory(entries, path);
    } catch (const BrevoraError& e) {
        if (e.message() != QLatin1String("Error on File"))
            throw;
        Prompts::report(this, QStringLiteral("Error"), e.message(), QMessageBox::Warning);
    }
}
