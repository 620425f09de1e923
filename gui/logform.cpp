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
#include <QSqlQuery>
#include <QTableView>
#include <QVBoxLayout>

QVariant SendLogModel::data(const QModelIndex& index, int role) const
{
    const QVariant value = QSqlQueryModel::data(index, role);
    if (index.column() == 2 && role == Qt::DisplayRole)
        return TDM::TypeIsTrue(value) ? QStringLiteral("True") : QStringLiteral("False");
    return value;
}

TLogForm::TLogForm(TDM* store, QWidget* parent)
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
    FilterCB->addItems({QStringLiteral("All"), QStringLiteral("Delivered"), QStringLiteral("Failed")});
    FilterCB->setToolTip(QStringLiteral("Which rows to show, count and export"));
    top->addWidget(FilterCB);
    top->addStretch();
    top->addWidget(label2);
    top->addWidget(countLB);
    layout->addLayout(top);

    m_chart = new HistoryChart(this);
    layout->addWidget(m_chart);

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
        static const QString patterns[] = {QString(), QStringLiteral("^True$"), QStringLiteral("^False$")};
        m_shown.setFilterRegularExpression(patterns[qBound(0, choice, 2)]);
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
    // The window keeps its own result: deliveries recorded meanwhile do not take it away.
    m_model.setQuery(m_store ? m_store->QueryByDate(DayPattern(QueryDT->date())) : QSqlQuery());
    while (m_model.canFetchMore())
        m_model.fetchMore();
    m_model.setHeaderData(0, Qt::Horizontal, QStringLiteral("Date"));
    m_model.setHeaderData(1, Qt::Horizontal, QStringLiteral("Mail"));
    m_model.setHeaderData(2, Qt::Horizontal, QStringLiteral("OK"));
    m_model.setHeaderData(3, Qt::Horizontal, QStringLiteral("Code"));
    m_model.setHeaderData(4, Qt::Horizontal, QStringLiteral("Reason"));
    DBGrid->resizeColumnToContents(0); // the whole date and time
    DBGrid->setColumnWidth(1, 300);
    countLB->setText(QString::number(m_shown.rowCount()));
    const QDate today = QDate::currentDate();
    m_chart->setDays(m_store ? m_store->CountByDay(today.addDays(-29), today) : QList<TDM::DayCount>());
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
