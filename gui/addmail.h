#pragma once

#include <QDialog>

class QLineEdit;

// The sender dialog of the settings window. ExecuteAdd and ExecuteEdit fill every field, show the
// dialog modally and, when the user confirmed, hand the values back and answer true.
class TFrmAddMail : public QDialog
{
    Q_OBJECT
public:
    explicit TFrmAddMail(QWidget* parent = nullptr);
    bool ExecuteAdd(QString& address, QString& name);
    bool ExecuteEdit(QString& address, QString& name);
    void BtmOkClick();

private:
    bool Execute(QString& address, QString& name);
    QLineEdit* EdtSendAddr;
    QLineEdit* EdtViewName;
};
