#include "gui/addserver.h"

#include "gui/entryform.h"
#include "core/error.h"
#include "core/settings/settingsfile.h"
#include "core/smtp/envelope.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QVBoxLayout>

TFrmAddServer::TFrmAddServer(QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("TFrmAddServer"));
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    EdtServerName = EntryForm::makeEdit(this, "EdtServerName");
    EdtUser = EntryForm::makeEdit(this, "EdtUser");
    EdtPasswd = EntryForm::makeEdit(this, "EdtPasswd");
    EdtPasswd->setEchoMode(QLineEdit::Password);
    EdtPasswd->setStyleSheet(QStringLiteral("lineedit-password-character: 42")); // "*", not the style's dot
    ChbSSL = new QCheckBox(QStringLiteral("SSL"), this);
    ChbSSL->setObjectName(QStringLiteral("ChbSSL"));
    EdtPort = EntryForm::makeEdit(this, "EdtPort");
    form->addRow(QStringLiteral("SMTP Server:"), EdtServerName);
    form->addRow(QString(), EntryForm::exampleLabel(this, QStringLiteral("smtp.example.com")));
    form->addRow(QStringLiteral("Account:"), EdtUser);
    form->addRow(QStringLiteral("Password:"), EdtPasswd);
    ChbKeyring = new QCheckBox(QStringLiteral("Keep the password in the desktop's keyring, not in the settings file"), this);
    ChbKeyring->setObjectName(QStringLiteral("ChbKeyring"));
    ChbKeyring->setToolTip(QStringLiteral("The keyring (GNOME Keyring, KWallet: the Secret Service) holds it, locked with your "
                                          "login; the settings file keeps an empty field."));
    form->addRow(QString(), ChbKeyring);
    auto* portRow = new QHBoxLayout;
    portRow->addWidget(ChbSSL);
    portRow->addWidget(new QLabel(QStringLiteral("Port:"), this));
    portRow->addWidget(EdtPort);
    form->addRow(QString(), portRow);
    ChbPlainLogin = new QCheckBox(QStringLiteral("Allow login without TLS (the password is readable on the way)"), this);
    ChbPlainLogin->setObjectName(QStringLiteral("ChbPlainLogin"));
    ChbPlainLogin->setToolTip(QStringLiteral("Without SSL and without STARTTLS offered by the server, Brevora logs in only to this "
                                             "machine, unless this is checked."));
    form->addRow(QString(), ChbPlainLogin);
    // At most so many messages through this server (0: no limit), over all runs.
    auto* limits = new QHBoxLayout;
    const auto spin = [this, limits](const char* name, const QString& unit) {
        auto* box = new QSpinBox(this);
        box->setObjectName(QLatin1String(name));
        box->setRange(0, 1000000);
        box->setSpecialValueText(QStringLiteral("-"));
        limits->addWidget(box);
        limits->addWidget(new QLabel(unit, this));
        return box;
    };
    SpnPerSecond = spin("SpnPerSecond", QStringLiteral("/s"));
    SpnPerMinute = spin("SpnPerMinute", QStringLiteral("/min"));
    SpnPerHour = spin("SpnPerHour", QStringLiteral("/h"));
    SpnPerDay = spin("SpnPerDay", QStringLiteral("/day"));
    form->addRow(QStringLiteral("Limits:"), limits);
    // How much a full-speed run keeps going at once through this server.
    auto* speed = new QHBoxLayout;
    const auto count = [this, speed](const char* name, int most, const QString& unit, const QString& tip) {
        auto* box = new QSpinBox(this);
        box->setObjectName(QLatin1String(name));
        box->setRange(1, most);
        box->setToolTip(tip);
        speed->addWidget(box);
        speed->addWidget(new QLabel(unit, this));
        return box;
    };
    SpnInFlight = count("SpnInFlight", Throughput::kMostInFlight, QStringLiteral("messages in flight"),
                        QStringLiteral("At full speed, how many messages may be on their way at once over one connection "
                                       "(where the server takes BDAT; with PIPELINING alone the next one waits ready)."));
    SpnConnections = count("SpnConnections", Throughput::kMostConnections, QStringLiteral("connections"),
                           QStringLiteral("At full speed, how many connections to this server share the list."));
    speed->addStretch(1);
    SpnInFlight->setValue(Throughput().inFlight);
    SpnConnections->setValue(Throughput().connections);
    form->addRow(QStringLiteral("Full speed:"), speed);
    CmbLogin = new QComboBox(this);
    CmbLogin->setObjectName(QStringLiteral("CmbLogin"));
    CmbLogin->addItem(QStringLiteral("automatic"), int(LoginMechanism::Automatic));
    CmbLogin->addItem(QStringLiteral("LOGIN"), int(LoginMechanism::Login));
    CmbLogin->addItem(QStringLiteral("PLAIN"), int(LoginMechanism::Plain));
    CmbLogin->addItem(QStringLiteral("OAuth 2.0 token command"), int(LoginMechanism::XOAuth2));
    CmbLogin->setToolTip(QStringLiteral("Automatic uses AUTH LOGIN where the server offers it, else AUTH PLAIN."));
    EdtTokenCommand = new QLineEdit(this);
    EdtTokenCommand->setObjectName(QStringLiteral("EdtTokenCommand"));
    EdtTokenCommand->setPlaceholderText(QStringLiteral("a command that prints an access token"));
    EdtTokenCommand->setToolTip(QStringLiteral("Run at each login, without a shell; what it prints is the OAuth 2.0 access "
                                               "token (XOAUTH2). The account above is the user it is for."));
    auto* loginRow = new QHBoxLayout;
    loginRow->addWidget(CmbLogin);
    loginRow->addWidget(EdtTokenCommand, 1);
    form->addRow(QStringLiteral("Login:"), loginRow);
    const auto tokenWanted = [this] {
        EdtTokenCommand->setEnabled(CmbLogin->currentData().toInt() == int(LoginMechanism::XOAuth2));
    };
    connect(CmbLogin, &QComboBox::currentIndexChanged, this, tokenWanted);
    tokenWanted();
    // How the session introduces itself, and the largest message where the server names none.
    EdtHeloName = new QLineEdit(this);
    EdtHeloName->setObjectName(QStringLiteral("EdtHeloName"));
    EdtHeloName->setPlaceholderText(QStringLiteral("automatic"));
    EdtHeloName->setToolTip(QStringLiteral("The name said with EHLO. A server that wants a fully qualified name refuses a short "
                                           "one. Empty: this machine's fully qualified name, else the address of the connection ([192.0.2.1])."));
    SpnLargestMessage = new QSpinBox(this);
    SpnLargestMessage->setObjectName(QStringLiteral("SpnLargestMessage"));
    SpnLargestMessage->setRange(1, ServerSession::kMostLargestMb);
    SpnLargestMessage->setSuffix(QStringLiteral(" MB"));
    SpnLargestMessage->setValue(ServerSession::kDefaultLargestMb);
    SpnLargestMessage->setToolTip(QStringLiteral("A larger message is refused before it goes out, where the server does not "
                                                 "name its own limit (SIZE)."));
    auto* sessionRow = new QHBoxLayout;
    sessionRow->addWidget(EdtHeloName, 1);
    sessionRow->addWidget(new QLabel(QStringLiteral("Largest message:"), this));
    sessionRow->addWidget(SpnLargestMessage);
    form->addRow(QStringLiteral("Greeting name:"), sessionRow);
    layout->addLayout(form);
    EntryForm::addButtons(this, layout, QStringLiteral("Cancel"), [this] { BtmOkClick(); });
    // Only a toggle by the user switches the port, not the filling of the box.
    connect(ChbSSL, &QCheckBox::clicked, this, [this] { ChbSSLClick(); });
    setFixedSize(minimumSizeHint().expandedTo(QSize(306, 236)));
}

bool TFrmAddServer::ExecuteAdd(ServerSetup& setup)
{
    setWindowTitle(QStringLiteral("Add An SMTP Server"));
    m_editedKey.reset();
    return Execute(setup);
}

bool TFrmAddServer::ExecuteEdit(ServerSetup& setup, const QString& key)
{
    setWindowTitle(QStringLiteral("Edit SMTP Server"));
    m_editedKey = key;
    return Execute(setup);
}

bool TFrmAddServer::Execute(ServerSetup& setup)
{
    const SmtpServerEntry& e = setup.entry;
    EdtServerName->setText(e.host);
    EdtUser->setText(e.account);
    EdtPasswd->setText(e.password);
    EdtPort->setText(e.port.isEmpty() ? QStringLiteral("25") : e.port);
    ChbSSL->setChecked(e.ssl == QLatin1String("1"));
    ChbPlainLogin->setChecked(setup.allowPlainLogin);
    ChbKeyring->setChecked(setup.passwordInKeyring);
    SpnPerSecond->setValue(setup.limits.perSecond);
    SpnPerMinute->setValue(setup.limits.perMinute);
    SpnPerHour->setValue(setup.limits.perHour);
    SpnPerDay->setValue(setup.limits.perDay);
    SpnInFlight->setValue(setup.throughput.inFlight);
    SpnConnections->setValue(setup.throughput.connections);
    CmbLogin->setCurrentIndex(CmbLogin->findData(int(setup.login.mechanism)));
    EdtTokenCommand->setText(setup.login.tokenCommand);
    EdtHeloName->setText(setup.session.greetingName);
    SpnLargestMessage->setValue(setup.session.largestMessageMb);
    EdtServerName->setFocus();
    if (!EntryForm::runModal(this))
        return false;
    setup.entry = shownEntry();
    setup.allowPlainLogin = ChbPlainLogin->isChecked();
    setup.passwordInKeyring = ChbKeyring->isChecked();
    setup.limits = {SpnPerSecond->value(), SpnPerMinute->value(), SpnPerHour->value(), SpnPerDay->value()};
    setup.throughput = {SpnInFlight->value(), SpnConnections->value()};
    setup.login.mechanism = LoginMechanism(CmbLogin->currentData().toInt());
    setup.login.tokenCommand = EdtTokenCommand->text().trimmed();
    setup.session = {EdtHeloName->text().trimmed(), SpnLargestMessage->value()};
    return true;
}

SmtpServerEntry TFrmAddServer::shownEntry() const
{
    return {EdtServerName->text(), EdtUser->text(), EdtPasswd->text(), EdtPort->text(),
            ChbSSL->isChecked() ? QStringLiteral("1") : QStringLiteral("0")};
}

void TFrmAddServer::ChbSSLClick()
{
    EdtPort->setText(ChbSSL->isChecked() ? QStringLiteral("465") : QStringLiteral("25"));
}

void TFrmAddServer::BtmOkClick()
{
    if (EdtServerName->text().trimmed().isEmpty() || EdtUser->text().trimmed().isEmpty()) {
        EntryForm::refuse(QStringLiteral("SMTP server and account can NOT be blank"), EdtServerName);
        return;
    }
    if (const QString name = EdtHeloName->text().trimmed(); !name.isEmpty() && !MailboxFault("x@" + name).isEmpty()) {
        EntryForm::refuse(QStringLiteral("The greeting name is a domain name (mail.example.com) or an address literal ([192.0.2.1])."),
                          EdtHeloName);
        return;
    }
    try {
        CheckServerFree(m_editedKey, shownEntry()); // the same host and account twice is refused here
    } catch (const BrevoraError& e) {
        EntryForm::refuse(e.message(), EntryForm::fieldToBlame(e.message(), {EdtServerName, EdtUser, EdtPasswd, EdtPort}));
        return;
    }
    accept();
}

