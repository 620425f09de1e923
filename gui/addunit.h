#pragma once

#include <QDialog>
#include <functional>

class QCheckBox;
class QComboBox;
class QLabel;
class QPlainTextEdit;
class QTableWidget;
class QRadioButton;
class SendLogStore;

// The address intake window: typed or pasted lines, "mailto:" links captured from the clipboard
// while it is shown, duplicate checks against the pending list and the send log.
class TAddForm : public QDialog
{
    Q_OBJECT
public:
    struct PendingAccess
    {
        std::function<bool(const QString&)> isInMailList;
        std::function<void(const QStringList&)> append;
    };
    TAddForm(PendingAccess pending, SendLogStore* store, QWidget* parent = nullptr);

    void FormShow();
    void FormClose();
    // The clipboard changed: capture the "mailto:" links of its text.
    void ClipboardChanged();
    // The links of a clipboard's text and, where it holds HTML, of its anchors.
    void CaptureText(const QString& text, const QString& html = {});
    void AddCapturedAddress(const QString& address);
    bool ConfirmResend(const QString& question);
    void chkTipClick();
    void BitBtn1Click();

    QString status() const;

    // Pause between the two beeps of a refusal; tests shorten it.
    int beepPauseMs = 200;

protected:
    void showEvent(QShowEvent* event) override;
    void done(int result) override;

private:
    void setStatus(const QString& text);
    void refusalSignal(const QString& address);
    QStringList memoLines() const;
    // A spreadsheet's rows in the memo: the first of them in a table, and the address column.
    void ShowCsvPreview();
    // Opens a list file (plain or CSV) into the memo.
    void OpenListFile();
    void appendLine(const QString& line);

    PendingAccess m_pending;
    SendLogStore* m_store;
    QCheckBox* chkTip;
    QRadioButton* rdbSend;
    QRadioButton* rdbNoSend;
    QPlainTextEdit* MailMo;
    QTableWidget* CsvPreview;
    QComboBox* CmbAddressColumn;
    QLabel* CsvColumn;
    QLabel* m_status;
    bool m_capturing = false;
};
