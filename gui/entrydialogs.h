#pragma once

#include <QDialog>

class QCheckBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

// The three entry dialogs of the settings window. ExecuteAdd and ExecuteEdit fill every field,
// show the dialog modally and, when the user confirmed, hand the values back and answer true.

class TFrmAddServer : public QDialog
{
    Q_OBJECT
public:
    explicit TFrmAddServer(QWidget* parent = nullptr);
    bool ExecuteAdd(QString& host, QString& account, QString& ssl, QString& port, QString& password);
    bool ExecuteEdit(QString& host, QString& account, QString& ssl, QString& port, QString& password);
    void ChbSSLClick();
    void BtmOkClick();

private:
    bool Execute(QString& host, QString& account, QString& ssl, QString& port, QString& password);
    QLineEdit* EdtServerName;
    QLineEdit* EdtUser;
    QLineEdit* EdtPasswd;
    QCheckBox* ChbSSL;
    QLineEdit* EdtPort;
};

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

class TFrmAddText : public QDialog
{
    Q_OBJECT
public:
    explicit TFrmAddText(QWidget* parent = nullptr);
    // A new content gets its body file when the dialog opens; cancelling deletes it again.
    bool ExecuteAdd(QString& title, QString& bodyFile);
    bool ExecuteEdit(QString& title, QString& bodyFile);
    void BtmOkClick();

private:
    bool Execute(QString& title, QString& bodyFile);
    QLineEdit* EdtMailTitle;
    QPlainTextEdit* MemText;
    QString BodyFileName;
};
