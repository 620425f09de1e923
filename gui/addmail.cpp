#include "gui/addmail.h"

#include "core/settings/entries.h"

#include "gui/entryform.h"
#include "core/error.h"
#include "core/settings/settingsfile.h"

#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

TFrmAddMail::TFrmAddMail(QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("TFrmAddMail"));
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    EdtSendAddr = EntryForm::makeEdit(this, "EdtSendAddr");
    EdtViewName = EntryForm::makeEdit(this, "EdtViewName");
    form->addRow(QStringLiteral("Email Address:"), EdtSendAddr);
    form->addRow(QString(), EntryForm::exampleLabel(this, QStringLiteral("jane.doe@example.com")));
    form->addRow(QStringLiteral("Display Name:"), EdtViewName);
    form->addRow(QString(), EntryForm::exampleLabel(this, QStringLiteral("Jane Doe")));
    layout->addLayout(form);
    EntryForm::addButtons(this, layout, QStringLiteral("Calcel"), [this] { BtmOkClick(); });
    setFixedSize(minimumSizeHint().expandedTo(QSize(281, 178))); // room for every label, at any font size
}

bool TFrmAddMail::ExecuteAdd(SenderEntry& entry)
{
    setWindowTitle(QStringLiteral("Add email address"));
    m_editedKey.reset();
    return Execute(entry);
}

bool TFrmAddMail::ExecuteEdit(SenderEntry& entry)
{
    setWindowTitle(QStringLiteral("Edit email address"));
    m_editedKey = entry.address;
    return Execute(entry);
}

bool TFrmAddMail::Execute(SenderEntry& entry)
{
    EdtSendAddr->setText(entry.address);
    EdtViewName->setText(entry.name);
    EdtSendAddr->setFocus();
    if (!EntryForm::runModal(this))
        return false;
    entry = {EdtSendAddr->text(), EdtViewName->text()};
    return true;
}

void TFrmAddMail::BtmOkClick()
{
    if (EdtSendAddr->text().trimmed().isEmpty()) {
        EntryForm::refuse(QStringLiteral("Email adderss can NOT be blank!"), EdtSendAddr);
        return;
    }
    try {
        CheckSenderEntry({EdtSendAddr->text(), EdtViewName->text()});
        CheckSenderFree(m_editedKey, EdtSendAddr->text());
    } catch (const BrevoraError& e) {
        EntryForm::refuse(e.message(), EntryForm::fieldToBlame(e.message(), {EdtSendAddr, EdtViewName}));
        return;
    }
    accept();
}

