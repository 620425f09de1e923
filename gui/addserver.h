#pragma once

#include <QDialog>

#include "core/settings/settingsfile.h"

class QCheckBox;
class QLineEdit;
class QComboBox;
class QSpinBox;

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
    // The server's rate limits as the dialog was left.
    RateLimits rateLimits() const;
    // Messages in flight and connections at full speed, as the dialog was left.
    Throughput throughput() const;
    // How to log in, as the dialog was left.
    LoginChoice loginChoice() const;
    void BtmOkClick();

private:
    bool Execute(QString& host, QString& account, QString& ssl, QString& port, QString& password);
    QLineEdit* EdtServerName;
    QLineEdit* EdtUser;
    QLineEdit* EdtPasswd;
    QCheckBox* ChbSSL;
    QCheckBox* ChbPlainLogin;
    QSpinBox* SpnPerSecond;
    QSpinBox* SpnPerMinute;
    QSpinBox* SpnPerHour;
    QSpinBox* SpnPerDay;
    QSpinBox* SpnInFlight;
    QSpinBox* SpnConnections;
    QComboBox* CmbLogin;
    QLineEdit* EdtTokenCommand;
    QLineEdit* EdtPort;
};
