#pragma once

#include <QDialog>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class TFrmAddMail;
class TFrmAddServer;
class TFrmAddText;

// The settings window: servers, senders and contents, each with Add, Edit and Delete, the Info
// memo and the return-receipt box. Every change goes to the settings file at once.
class TFrmSetup : public QDialog
{
    Q_OBJECT
public:
    explicit TFrmSetup(QWidget* parent = nullptr);
    // The entry dialogs are created after this window; they are handed over once they exist.
    void setEntryDialogs(TFrmAddServer* serverDialog, TFrmAddMail* senderDialog, TFrmAddText* contentDialog);

    void FormShow();
    void LstServerClick();
    void LstViewClick();
    void LstTextClick();
    void BtmServerAddClick();
    void BtmServerEditClick();
    void BtmServerDelClick();
    void BtmViewAddClick();
    void BtmViewEditClick();
    void BtmViewDelClick();
    void BtmTextAddClick();
    void BtmTextEditClick();
    void BtmTextDelClick();
    void BtmOkClick();

protected:
    void showEvent(QShowEvent* event) override;

private:
    struct Group
    {
        QListWidget* list;
        QPushButton* edit;
        QPushButton* del;
    };
    Group makeGroup(const char* boxName, const QString& caption, const char* listName, const char* addName,
                    const char* editName, const char* delName, void (TFrmSetup::*onSelect)(),
                    void (TFrmSetup::*onAdd)(), void (TFrmSetup::*onEdit)(), void (TFrmSetup::*onDel)());
    bool askDelete(const QString& text);
    void afterDelete(const Group& group);
    QString selected(const Group& group) const;

    TFrmAddServer* m_serverDialog = nullptr;
    TFrmAddMail* m_senderDialog = nullptr;
    TFrmAddText* m_contentDialog = nullptr;
    Group m_servers{};
    Group m_senders{};
    Group m_contents{};
    QPlainTextEdit* MemCaption = nullptr;
    QCheckBox* ChkRe = nullptr;
    QLineEdit* EdtStore = nullptr;
    QComboBox* CmbCodePage = nullptr;
};
