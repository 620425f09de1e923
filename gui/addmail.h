#pragma once

#include <QDialog>

#include "core/settings/settingsfile.h"
#include <optional>

class QLineEdit;

// The sender dialog of the settings window. ExecuteAdd and ExecuteEdit fill every field, show the
// dialog modally and, when the user confirmed, hand the values back and answer true.
class TFrmAddMail : public QDialog
{
    Q_OBJECT
public:
    explicit TFrmAddMail(QWidget* parent = nullptr);
    bool ExecuteAdd(SenderEntry& entry);
    bool ExecuteEdit(SenderEntry& entry);
    void BtmOkClick();

private:
    bool Execute(SenderEntry& entry);
    std::optional<QString> m_editedKey;
    QLineEdit* EdtSendAddr;
    QLineEdit* EdtViewName;
};
