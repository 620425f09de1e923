#pragma once

#include <QDialog>

#include "core/settings/entries.h"

#include <optional>

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
    bool ExecuteAdd(ContentSetup& setup);
    bool ExecuteEdit(ContentSetup& setup);
    void BtmOkClick();

private:
    bool Execute(ContentSetup& setup);
    Unsubscribe unsubscribe() const;
    // The headers as the fields hold them; throws for a line that is no header.
    ContentHeaders headers() const;
    QStringList attachments() const;
    std::optional<QString> m_editedKey;
    QLineEdit* EdtMailTitle;
    QPlainTextEdit* MemText;
    QLineEdit* EdtUnsubscribeAddress;
    QLineEdit* EdtUnsubscribeUrl;
    QLineEdit* EdtAttachments;
    QLineEdit* EdtAttachColumn;
    QLineEdit* EdtAttachFolder;
    QLineEdit* EdtFeedbackId;
    QLineEdit* EdtListId;
    QLineEdit* EdtHeaders;
    QString BodyFileName;
};
