#pragma once

#include <QAbstractTableModel>
#include <QDialog>
#include <QSortFilterProxyModel>

#include "core/sendlog/sendlogstore.h"

class QComboBox;
class QDateEdit;
class QLabel;
class QTableView;
class HistoryChart;

// The send log rows as the history grid shows them: date, mail, OK (True or False), and a
// refusal's code and reason.
class SendLogModel : public QAbstractTableModel
{
    Q_OBJECT
public:
    using QAbstractTableModel::QAbstractTableModel;
    void setRows(QList<SendLogStore::LogRow> rows);
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

private:
    QList<SendLogStore::LogRow> m_rows;
};

// The history window: the deliveries of one day, their count, and their export.
// The latest runs' bounce and complaint rates, newest first, one line each.
QString RunRatesText(const QList<BounceLog::RunSummary>& runs);

class TLogForm : public QDialog
{
    Q_OBJECT
public:
    TLogForm(SendLogStore* store, QWidget* parent = nullptr);

    void FormShow();
    void refurbishBTClick();
    void QueryDay();
    void checkoutBtClick();

    QDateEdit* dateEdit() const { return QueryDT; }
    // The rows shown: all of the day's, or only the delivered or the failed ones.
    int rowCount() const { return m_shown.rowCount(); }
    const HistoryChart* chart() const { return m_chart; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    SendLogStore* m_store;
    SendLogModel m_model;
    QSortFilterProxyModel m_shown;
    QComboBox* FilterCB;
    QDateEdit* QueryDT;
    QLabel* countLB;
    QTableView* DBGrid;
    HistoryChart* m_chart;
    QLabel* RunRatesLB;
};
