#pragma once

#include <QDialog>

class QLineEdit;
class QPushButton;
class QTableWidget;
class SendLogStore;

// The suppression list: addresses that are never mailed, with the date each was added and why.
// The user adds one, imports a file of them (one a line), exports them, or removes those selected.
class TFrmSuppress : public QDialog
{
    Q_OBJECT
public:
    explicit TFrmSuppress(SendLogStore* store, QWidget* parent = nullptr);

    void BtnAddClick();
    void BtnImportClick();
    void BtnExportClick();
    void BtnRemoveClick();

private:
    void showList();
    void addAll(const QStringList& addresses, const QString& reason);

    SendLogStore* m_store;
    QTableWidget* SuppressLB;
    QLineEdit* EdtSuppressAddress;
    QLineEdit* EdtSuppressReason;
    QPushButton* BtnSuppressRemove;
};
