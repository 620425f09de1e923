#pragma once

#include <QDialog>

#include "core/settings/settingsfile.h"

class QLineEdit;
class QPlainTextEdit;

// The content dialog of the settings window. ExecuteAdd and ExecuteEdit fill every field, show the
// dialog modally and, when the user confirmed, hand the values back and answer true.
class TFrmAddText : public QDialog
{
    Q_OBJECT
public:
    explicit TFrmAddText(QWidget* parent = nullptr);
    // A new content gets its body file when the dialog opens; cancelling deletes it again.
    bool ExecuteAdd(QString& title, QString& bodyFile);
    bool ExecuteEdit(QString& title, QString& bodyFile);
    void BtmOkClick();
    // The unsubscribe links as the dialog was left.
    Unsubscribe unsubscribe() const;
    // The files sent with every message, as the dialog was left.
    QStringList attachments() const;
    RecipientFiles recipientFiles() const;

private:
    bool Execute(QString& title, QString& bodyFile);
    QLineEdit* EdtMailTitle;
    QPlainTextEdit* MemText;
    QLineEdit* EdtUnsubscribeAddress;
    QLineEdit* EdtUnsubscribeUrl;
    QLineEdit* EdtAttachments;
    QLineEdit* EdtAttachColumn;
    QLineEdit* EdtAttachFolder;
    QString BodyFileName;
};
