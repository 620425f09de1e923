#pragma once

#include <QDialog>

class QCheckBox;
class QLineEdit;

// The server dialog of the settings window. ExecuteAdd and ExecuteEdit fill every field, show the
// dialog modally and, when the user confirmed, hand the values back and answer true.
class TFrmAddServer : public QDialog
{
    Q_OBJECT
public:
    explicit TFrmAddServer(QWidget* parent = nullptr);
    bool ExecuteAdd(QString& host, QString& account, QString& ssl, QString& port, QString& password);
    bool ExecuteEdit(QString& host, QString& account, QString& ssl, QString& port, QString& password);
    void ChbSSLClick();
    // Whether the user allowed login without TLS for the server, as the dialog was left.
    bool allowPlainLogin() const;
    void BtmOkClick();

private:
    bool Execute(QString& host, QString& account, QString& ssl, QString& port, QString& password);
    QLineEdit* EdtServerName;
    QLineEdit* EdtUser;
    QLineEdit* EdtPasswd;
    QCheckBox* ChbSSL;
    QCheckBox* ChbPlainLogin;
    QLineEdit* EdtPort;
};
