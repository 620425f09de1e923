#pragma once

#include <QDialog>

#include "core/settings/bouncesettings.h"
#include "core/settings/settingsfile.h"
#include <optional>

class QLabel;
class QLineEdit;

// The sender dialog of the settings window. ExecuteAdd and ExecuteEdit fill every field, show the
// dialog modally and, when the user confirmed, hand the values back and answer true. Besides the
// address and name it holds where the sender's bounces go and are read from, and opens the DKIM
// keys of the address's domain.
class TFrmAddMail : public QDialog
{
    Q_OBJECT
public:
    explicit TFrmAddMail(QWidget* parent = nullptr);
    bool ExecuteAdd(SenderEntry& entry, BounceSetup& bounce);
    bool ExecuteEdit(SenderEntry& entry, BounceSetup& bounce);
    void BtmOkClick();

private:
    bool Execute(SenderEntry& entry, BounceSetup& bounce);
    std::optional<QString> m_editedKey;
    QLineEdit* EdtSendAddr;
    QLineEdit* EdtViewName;
    QLineEdit* EdtBounceAddr;
    QLineEdit* EdtBounceMailbox;
    QLineEdit* EdtBouncePassword;
    QLabel* LbDkim; // the keys of the address's domain, opened with "Keys..."
    void showDkim();
};
