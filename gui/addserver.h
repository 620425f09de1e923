#pragma once

#include <QDialog>

#include "core/settings/entries.h"

#include <optional>

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
    bool ExecuteAdd(ServerSetup& setup);
    // The entry's key tells it apart from the others of its host.
    bool ExecuteEdit(ServerSetup& setup, const QString& key);
    void ChbSSLClick();
    void BtmOkClick();

private:
    bool Execute(ServerSetup& setup);
    SmtpServerEntry shownEntry() const;
    std::optional<QString> m_editedKey;
    QLineEdit* EdtServerName;
    QLineEdit* EdtUser;
    QLineEdit* EdtPasswd;
    QCheckBox* ChbSSL;
    QCheckBox* ChbPlainLogin;
    QCheckBox* ChbKeyring;
    QSpinBox* SpnPerSecond;
    QSpinBox* SpnPerMinute;
    QSpinBox* SpnPerHour;
    QSpinBox* SpnPerDay;
    QSpinBox* SpnInFlight;
    QSpinBox* SpnConnections;
    QComboBox* CmbLogin;
    QLineEdit* EdtTokenCommand;
    QLineEdit* EdtHeloName;
    QSpinBox* SpnLargestMessage;
    QLineEdit* EdtPort;
};
