#include "gui/addmail.h"

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

bool TFrmAddMail::ExecuteAdd(QString& address, QString& name)
{
    setWindowTitle(QStringLiteral("Add email address"));
    return Execute(address, name);
}

bool TFrmAddMail::ExecuteEdit(QString& address, QString& name)
{
    setWindowTitle(QStringLiteral("Edit email address"));
    return Execute(address, name);
}

bool TFrmAddMail::Execute(QString& address, QString& name)
{
    EdtSendAddr->setText(address);
    EdtViewName->setText(name);
    EdtSendAddr->setFocus();
    if (!EntryForm::runModal(this))
        return false;
    address = EdtSendAddr->text();
    name = EdtViewName->text();
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
    } catch (const BrevoraError& e) {
        EntryForm::refuse(e.message(), EntryForm::fieldToBlame(e.message(), {EdtSendAddr, EdtViewName}));
        return;
    }
    accept();
}

