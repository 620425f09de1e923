#pragma once

#include <QDialog>

class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QTableWidget;

// The DKIM keys of one domain, opened from the sender dialog: each key with its state, the TXT
// record to publish for the chosen one, and making, choosing and removing keys. What it changes
// is saved at once, as "brevora dkim" does.
class TFrmDkimKeys : public QDialog
{
    Q_OBJECT
public:
    TFrmDkimKeys(const QString& domain, QWidget* parent = nullptr);
    void GenerateClick();
    void SetKeyClick();
    void RemoveClick();

private:
    void reload(const QString& selected = {});
    void showRecord();

    QString m_domain;
    QTableWidget* DkimTable;
    QPlainTextEdit* EdtDkimRecord;
    QLineEdit* EdtDkimSelector;
    QComboBox* CmbDkimType;
};

// "s1 (rsa), s2 (ed25519)" for the domain's keys; a note that Brevora does not sign when it has none.
QString DkimSummary(const QString& domain);
