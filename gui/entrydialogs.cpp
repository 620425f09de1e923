#include "gui/entrydialogs.h"

#include "gui/application.h"
#include "gui/prompts.h"
#include "core/settings/settingsfile.h"

#include <QCheckBox>
#include <QFile>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QLineEdit* makeEdit(QWidget* parent, const char* name)
{
    auto* e = new QLineEdit(parent);
    e->setObjectName(QLatin1String(name));
    return e;
}

QLabel* exampleLabel(QWidget* parent, const QString& example)
{
    auto* l = new QLabel(QStringLiteral("For example : ") + example, parent);
    l->setStyleSheet(QStringLiteral("color: gray;"));
    return l;
}

// OK (default, Enter) and Cancel (Esc) in a row at the bottom.
void addButtons(QDialog* dialog, QBoxLayout* layout, const QString& cancelCaption, const std::function<void()>& onOk)
{
    auto* ok = new QPushButton(QStringLiteral("OK"), dialog);
    ok->setObjectName(QStringLiteral("BtmOk"));
    ok->setDefault(true);
    auto* cancel = new QPushButton(cancelCaption, dialog);
    cancel->setObjectName(QStringLiteral("BtmCancel"));
    QObject::connect(ok, &QPushButton::clicked, dialog, [onOk] { Guarded(onOk); });
    QObject::connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
    auto* row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(ok);
    row->addWidget(cancel);
    layout->addLayout(row);
}

void refuse(QWidget* dialog, const QString& text, QLineEdit* focus)
{
    Dialogs::report(nullptr, QStringLiteral("Error"), text, QMessageBox::Warning);
    if (focus) {
        focus->setFocus();
        focus->selectAll();
    }
    Q_UNUSED(dialog);
}

// Shows the dialog modally; tests may answer it without a nested event loop.
bool runModal(QDialog* dialog)
{
    return dialog->exec() == QDialog::Accepted;
}

} // namespace

TFrmAddServer::TFrmAddServer(QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("TFrmAddServer"));
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    EdtServerName = makeEdit(this, "EdtServerName");
    EdtUser = makeEdit(this, "EdtUser");
    EdtPasswd = makeEdit(this, "EdtPasswd");
    EdtPasswd->setEchoMode(QLineEdit::Password);
    ChbSSL = new QCheckBox(QStringLiteral("SSL"), this);
    ChbSSL->setObjectName(QStringLiteral("ChbSSL"));
    EdtPort = makeEdit(this, "EdtPort");
    form->addRow(QStringLiteral("SMTP Server:"), EdtServerName);
    form->addRow(QString(), exampleLabel(this, QStringLiteral("smtp.example.com")));
    form->addRow(QStringLiteral("Account:"), EdtUser);
    form->addRow(QStringLiteral("Password:"), EdtPasswd);
    auto* portRow = new QHBoxLayout;
    portRow->addWidget(ChbSSL);
    portRow->addWidget(new QLabel(QStringLiteral("Port:"), this));
    portRow->addWidget(EdtPort);
    form->addRow(QString(), portRow);
    layout->addLayout(form);
    addButtons(this, layout, QStringLiteral("Cancel"), [this] { BtmOkClick(); });
    // Only a toggle by the user switches the port, not the filling of the box.
    connect(ChbSSL, &QCheckBox::clicked, this, [this] { ChbSSLClick(); });
    setFixedSize(306, 209);
}

bool TFrmAddServer::ExecuteAdd(QString& host, QString& account, QString& ssl, QString& port, QString& password)
{
    setWindowTitle(QStringLiteral("Add An SMTP Server"));
    return Execute(host, account, ssl, port, password);
}

bool TFrmAddServer::ExecuteEdit(QString& host, QString& account, QString& ssl, QString& port, QString& password)
{
    setWindowTitle(QStringLiteral("Edit SMTP Server"));
    return Execute(host, account, ssl, port, password);
}

bool TFrmAddServer::Execute(QString& host, QString& account, QString& ssl, QString& port, QString& password)
{
    EdtServerName->setText(host);
    EdtUser->setText(account);
    EdtPasswd->setText(password);
    EdtPort->setText(port.isEmpty() ? QStringLiteral("25") : port);
    ChbSSL->setChecked(ssl == QLatin1String("1"));
    EdtServerName->setFocus();
    if (!runModal(this))
        return false;
    host = EdtServerName->text();
    account = EdtUser->text();
    password = EdtPasswd->text();
    port = EdtPort->text();
    ssl = ChbSSL->isChecked() ? QStringLiteral("1") : QStringLiteral("0");
    return true;
}

void TFrmAddServer::ChbSSLClick()
{
    EdtPort->setText(ChbSSL->isChecked() ? QStringLiteral("465") : QStringLiteral("25"));
}

void TFrmAddServer::BtmOkClick()
{
    if (EdtServerName->text().trimmed().isEmpty() || EdtUser->text().trimmed().isEmpty()) {
        refuse(this, QStringLiteral("SMTP server and account can NOT be blank"), EdtServerName);
        return;
    }
    try {
        CheckServerEntry({EdtServerName->text(), EdtUser->text(), EdtPasswd->text(), EdtPort->text(),
                          ChbSSL->isChecked() ? QStringLiteral("1") : QStringLiteral("0")});
    } catch (const BrevoraError& e) {
        refuse(this, e.message(), EdtServerName);
        return;
    }
    accept();
}

TFrmAddMail::TFrmAddMail(QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("TFrmAddMail"));
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    EdtSendAddr = makeEdit(this, "EdtSendAddr");
    EdtViewName = makeEdit(this, "EdtViewName");
    form->addRow(QStringLiteral("Email Address:"), EdtSendAddr);
    form->addRow(QString(), exampleLabel(this, QStringLiteral("jane.doe@example.com")));
    form->addRow(QStringLiteral("Display Name:"), EdtViewName);
    form->addRow(QString(), exampleLabel(this, QStringLiteral("Jane Doe")));
    layout->addLayout(form);
    addButtons(this, layout, QStringLiteral("Calcel"), [this] { BtmOkClick(); });
    setFixedSize(281, 178);
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
    if (!runModal(this))
        return false;
    address = EdtSendAddr->text();
    name = EdtViewName->text();
    return true;
}

void TFrmAddMail::BtmOkClick()
{
    if (EdtSendAddr->text().trimmed().isEmpty()) {
        refuse(this, QStringLiteral("Email adderss can NOT be blank!"), EdtSendAddr);
        return;
    }
    try {
        CheckSenderEntry({EdtSendAddr->text(), EdtViewName->text()});
    } catch (const BrevoraError& e) {
        refuse(this, e.message(), EdtSendAddr);
        return;
    }
    accept();
}

TFrmAddText::TFrmAddText(QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("TFrmAddText"));
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    EdtMailTitle = makeEdit(this, "EdtMailTitle");
    form->addRow(QStringLiteral("Email Title:"), EdtMailTitle);
    layout->addLayout(form);
    auto* group = new QGroupBox(QStringLiteral("Email Content"), this);
    group->setObjectName(QStringLiteral("GroupBox1"));
    auto* groupLayout = new QVBoxLayout(group);
    MemText = new QPlainTextEdit(group);
    MemText->setObjectName(QStringLiteral("MemText"));
    groupLayout->addWidget(MemText);
    layout->addWidget(group, 1);
    addButtons(this, layout, QStringLiteral("Cancel"), [this] { BtmOkClick(); });
    setFixedSize(565, 479);
}

bool TFrmAddText::ExecuteAdd(QString& title, QString& bodyFile)
{
    setWindowTitle(QStringLiteral("Add New Email Content"));
    QString created = CreateBodyFile();
    if (!Execute(title, created)) {
        // No entry will name this file: it must not be left behind.
        QFile::remove(AppDir() + created);
        return false;
    }
    bodyFile = created;
    return true;
}

bool TFrmAddText::ExecuteEdit(QString& title, QString& bodyFile)
{
    setWindowTitle(QStringLiteral("Edit Email Content"));
    return Execute(title, bodyFile);
}

bool TFrmAddText::Execute(QString& title, QString& bodyFile)
{
    MemText->setPlainText(LoadBodyText(bodyFile).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    EdtMailTitle->setText(title);
    BodyFileName = bodyFile;
    EdtMailTitle->setFocus();
    if (!runModal(this))
        return false;
    title = EdtMailTitle->text();
    bodyFile = BodyFileName;
    return true;
}

void TFrmAddText::BtmOkClick()
{
    try {
        CheckContentEntry({EdtMailTitle->text(), BodyFileName});
    } catch (const BrevoraError& e) {
        refuse(this, e.message(), EdtMailTitle);
        return;
    }
    QString text = MemText->toPlainText();
    text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    SaveBodyText(BodyFileName, text);
    accept();
}
