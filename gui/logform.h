#pragma once

#include <QDialog>
#include <QSortFilterProxyModel>
#include <QSqlQueryModel>

class QComboBox;
class QDateEdit;
class QLabel;
class QTableView;
class HistoryChart;
class TDM;

// The send log rows as the history grid shows them: TYPE as True or False.
class SendLogModel : public QSqlQueryModel
{
    Q_OBJECT
public:
    using QSqlQueryModel::QSqlQueryModel;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
};

// The history window: the deliveries of one day, their count, and their export.
class TLogForm : public QDialog
{
    Q_OBJECT
public:
    TLogForm(TDM* store, QWidget* parent = nullptr);

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
    TDM* m_store;
    SendLogModel m_model;
    QSortFilterProxyModel m_shown;
    QComboBox* FilterCB;
    QDateEdit* QueryDT;
    QLabel* countLB;
    QTableView* DBGrid;
    HistoryChart* m_chart;
};
