#include "gui/addmail.h"

#include "core/settings/entries.h"
#include "core/mail/returnpath.h"

#include "gui/dkimkeys.h"
#include "gui/entryform.h"
#include "core/error.h"
#include "core/settings/settingsfile.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QPushButton>
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
    // Optional: bounces come back to an address of their own, each naming its recipient, and are
    // read from a mailbox (Mail, Check bounces; and while a run goes).
    EdtBounceAddr = EntryForm::makeEdit(this, "EdtBounceAddr");
    EdtBounceAddr->setPlaceholderText(QStringLiteral("none: bounces go to the address above"));
    EdtBounceMailbox = EntryForm::makeEdit(this, "EdtBounceMailbox");
    EdtBouncePassword = EntryForm::makeEdit(this, "EdtBouncePassword");
    EdtBouncePassword->setEchoMode(QLineEdit::Password);
    form->addRow(QStringLiteral("Bounce address:"), EdtBounceAddr);
    form->addRow(QString(), EntryForm::exampleLabel(this, QStringLiteral("bounces@example.com")));
    form->addRow(QStringLiteral("Bounce mailbox:"), EdtBounceMailbox);
    form->addRow(QString(), EntryForm::exampleLabel(this, QStringLiteral("imaps://bounces@mail.example.com/INBOX")));
    form->addRow(QStringLiteral("Mailbox password:"), EdtBouncePassword);
    // Signing is the domain's: every address of it shares the keys.
    auto* dkim = new QHBoxLayout;
    LbDkim = new QLabel(this);
    LbDkim->setObjectName(QStringLiteral("LbDkim"));
    dkim->addWidget(LbDkim, 1);
    auto* keys = new QPushButton(QStringLiteral("Keys..."), this);
    keys->setObjectName(QStringLiteral("BtnDkimKeys"));
    keys->setAutoDefault(false);
    dkim->addWidget(keys);
    form->addRow(QStringLiteral("DKIM signing:"), dkim);
    connect(EdtSendAddr, &QLineEdit::textChanged, this, &TFrmAddMail::showDkim);
    connect(keys, &QPushButton::clicked, this, [this] {
        const QString domain = EdtSendAddr->text().trimmed().section(u'@', 1);
        if (domain.isEmpty()) {
            EntryForm::refuse(QStringLiteral("Fill in the email address first: its domain's keys sign its messages."), EdtSendAddr);
            return;
        }
        TFrmDkimKeys(domain, this).exec();
        showDkim();
    });
    layout->addLayout(form);
    EntryForm::addButtons(this, layout, QStringLiteral("Calcel"), [this] { BtmOkClick(); });
    setFixedSize(minimumSizeHint().expandedTo(QSize(420, 178))); // room for every label, at any font size
}

bool TFrmAddMail::ExecuteAdd(SenderEntry& entry, BounceSetup& bounce)
{
    setWindowTitle(QStringLiteral("Add email address"));
    m_editedKey.reset();
    return Execute(entry, bounce);
}

bool TFrmAddMail::ExecuteEdit(SenderEntry& entry, BounceSetup& bounce)
{
    setWindowTitle(QStringLiteral("Edit email address"));
    m_editedKey = entry.address;
    return Execute(entry, bounce);
}

bool TFrmAddMail::Execute(SenderEntry& entry, BounceSetup& bounce)
{
    EdtSendAddr->setText(entry.address);
    EdtViewName->setText(entry.name);
    EdtBounceAddr->setText(bounce.address);
    EdtBounceMailbox->setText(bounce.mailbox);
    EdtBouncePassword->setText(bounce.password);
    showDkim();
    EdtSendAddr->setFocus();
    if (!EntryForm::runModal(this))
        return false;
    entry = {EdtSendAddr->text(), EdtViewName->text()};
    bounce.address = EdtBounceAddr->text().trimmed();
    bounce.mailbox = EdtBounceMailbox->text().trimmed();
    bounce.password = EdtBouncePassword->text();
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
    if (const QString bounce = EdtBounceAddr->text().trimmed(); !bounce.isEmpty())
        if (const QString fault = ReturnPath::addressFault(bounce); !fault.isEmpty()) {
            EntryForm::refuse(fault, EdtBounceAddr);
            return;
        }
    if (const QString mailbox = EdtBounceMailbox->text().trimmed(); !mailbox.isEmpty()) {
        try {
            CheckMailboxUrl(mailbox);
        } catch (const BrevoraError& e) {
            EntryForm::refuse(e.message(), EdtBounceMailbox);
            return;
        }
    }
    accept();
}


void TFrmAddMail::showDkim()
{
    const QString domain = EdtSendAddr->text().trimmed().section(u'@', 1);
    LbDkim->setText(domain.isEmpty() ? QString() : DkimSummary(domain));
}
