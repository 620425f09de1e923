#include "gui/setup.h"

#include "gui/application.h"
#include "gui/prompts.h"
#include "gui/addmail.h"
#include "gui/addserver.h"
#include "gui/addtext.h"
#include "core/sendlog/storelocation.h"
#include "core/settings/entries.h"
#include "core/settings/folderencoding.h"
#include "core/text/codepage.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

TFrmSetup::TFrmSetup(QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("TFrmSetup"));
    setWindowTitle(QStringLiteral("Setting"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    auto* grid = new QGridLayout(this);
    m_servers = makeGroup("GroupBox1", QStringLiteral("SMTP Server"), "LstServer", "BtmServerAdd", "BtmServerEdit",
                          "BtmServerDel", &TFrmSetup::LstServerClick, &TFrmSetup::BtmServerAddClick,
                          &TFrmSetup::BtmServerEditClick, &TFrmSetup::BtmServerDelClick);
    m_senders = makeGroup("GroupBox2", QStringLiteral("Your Email Address"), "LstView", "BtmViewAdd", "BtmViewEdit",
                          "BtmViewDel", &TFrmSetup::LstViewClick, &TFrmSetup::BtmViewAddClick,
                          &TFrmSetup::BtmViewEditClick, &TFrmSetup::BtmViewDelClick);
    m_contents = makeGroup("GroupBox3", QStringLiteral("Email Content"), "LstText", "BtmTextAdd", "BtmTextEdit",
                           "BtmTextDel", &TFrmSetup::LstTextClick, &TFrmSetup::BtmTextAddClick,
                           &TFrmSetup::BtmTextEditClick, &TFrmSetup::BtmTextDelClick);
    grid->addWidget(m_servers.list->parentWidget(), 0, 0);
    grid->addWidget(m_senders.list->parentWidget(), 1, 0);
    grid->addWidget(m_contents.list->parentWidget(), 2, 0);

    auto* info = new QGroupBox(QStringLiteral("Info"), this);
    info->setObjectName(QStringLiteral("GroupBox4"));
    auto* infoLayout = new QVBoxLayout(info);
    MemCaption = new QPlainTextEdit(info);
    MemCaption->setObjectName(QStringLiteral("MemCaption"));
    infoLayout->addWidget(MemCaption);
    grid->addWidget(info, 0, 1, 3, 1);

    ChkRe = new QCheckBox(QStringLiteral("Return Receipt Requested"), this);
    ChkRe->setObjectName(QStringLiteral("ChkRe"));
    auto* ok = new QPushButton(QStringLiteral("Close"), this);
    ok->setObjectName(QStringLiteral("BtmOk"));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, [this] { Guarded([this] { BtmOkClick(); }); });
    // Where the lists and the send log are kept: this computer's file, or a database that
    // several computers share.
    auto* storeRow = new QHBoxLayout;
    auto* storeLabel = new QLabel(QStringLiteral("Shared store:"), this);
    EdtStore = new QLineEdit(this);
    EdtStore->setObjectName(QStringLiteral("EdtStore"));
    EdtStore->setToolTip(QStringLiteral("A PostgreSQL database that several Brevora processes share: one pending list, one "
                                        "send log.\nThe password comes from ~/.pgpass or PGPASSWORD; it is never kept here."));
    storeLabel->setBuddy(EdtStore);
    storeRow->addWidget(storeLabel);
    storeRow->addWidget(EdtStore, 1);
    grid->addLayout(storeRow, 3, 0, 1, 2);
    // The code page the data folder keeps its texts in and sends them in.
    auto* codePageRow = new QHBoxLayout;
    auto* codePageLabel = new QLabel(QStringLiteral("Code page:"), this);
    CmbCodePage = new QComboBox(this);
    CmbCodePage->setObjectName(QStringLiteral("CmbCodePage"));
    for (const QByteArray& name : FolderEncoding::choices())
        CmbCodePage->addItem(QString::fromLatin1(name));
    CmbCodePage->setToolTip(QStringLiteral("The encoding of this data folder's texts and of the messages it sends. UTF-8 "
                                           "holds every language; changing it converts the stored texts."));
    codePageLabel->setBuddy(CmbCodePage);
    codePageRow->addWidget(codePageLabel);
    codePageRow->addWidget(CmbCodePage);
    codePageRow->addStretch();
    grid->addLayout(codePageRow, 4, 0, 1, 2);
    grid->addWidget(ChkRe, 5, 0);
    grid->addWidget(ok, 5, 1, Qt::AlignRight);
    grid->setColumnStretch(1, 1);
    // The Info memo is wide enough for its lines (a server line is some 40 characters).
    MemCaption->setMinimumWidth(MemCaption->fontMetrics().horizontalAdvance(QLatin1Char('x')) * 42);
    setFixedSize(minimumSizeHint().expandedTo(QSize(510, 486)));
}

void TFrmSetup::setEntryDialogs(TFrmAddServer* serverDialog, TFrmAddMail* senderDialog, TFrmAddText* contentDialog)
{
    m_serverDialog = serverDialog;
    m_senderDialog = senderDialog;
    m_contentDialog = contentDialog;
}

TFrmSetup::Group TFrmSetup::makeGroup(const char* boxName, const QString& caption, const char* listName,
                                      const char* addName, const char* editName, const char* delName,
                                      void (TFrmSetup::*onSelect)(), void (TFrmSetup::*onAdd)(),
                                      void (TFrmSetup::*onEdit)(), void (TFrmSetup::*onDel)())
{
    auto* box = new QGroupBox(caption, this);
    box->setObjectName(QLatin1String(boxName));
    auto* row = new QHBoxLayout(box);
    auto* list = new QListWidget(box);
    list->setMinimumWidth(list->fontMetrics().horizontalAdvance(QLatin1Char('x')) * 28); // a host or an address
    list->setObjectName(QLatin1String(listName));
    row->addWidget(list, 1);
    auto* buttons = new QVBoxLayout;
    auto button = [&](const char* name, const QString& text, void (TFrmSetup::*handler)()) {
        auto* b = new QPushButton(text, box);
        b->setObjectName(QLatin1String(name));
        connect(b, &QPushButton::clicked, this, [this, handler] { Guarded([this, handler] { (this->*handler)(); }); });
        buttons->addWidget(b);
        return b;
    };
    button(addName, QStringLiteral("Add"), onAdd);
    QPushButton* edit = button(editName, QStringLiteral("Edit"), onEdit);
    QPushButton* del = button(delName, QStringLiteral("Delete"), onDel);
    buttons->addStretch();
    row->addLayout(buttons);
    connect(list, &QListWidget::currentRowChanged, this, [this, onSelect](int row) {
        if (row >= 0)
            Guarded([this, onSelect] { (this->*onSelect)(); });
    });
    return {list, edit, del};
}

void TFrmSetup::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    Guarded([this] { FormShow(); });
}

void TFrmSetup::FormShow()
{
    for (const Group* g : {&m_servers, &m_senders, &m_contents}) {
        g->edit->setEnabled(false);
        g->del->setEnabled(false);
        const QSignalBlocker block(g->list);
        g->list->clear();
    }
    m_servers.list->addItems(ListServers());
    m_senders.list->addItems(ListSenders());
    m_contents.list->addItems(ListContents());
    for (const Group* g : {&m_servers, &m_senders, &m_contents})
        g->list->setCurrentRow(-1);
    ChkRe->setChecked(ReadReturnReceipt());
    const QString codePage = QString::fromLatin1(CodePage::name());
    if (CmbCodePage->findText(codePage) < 0)
        CmbCodePage->addItem(codePage); // one given by BREVORA_CODEPAGE
    CmbCodePage->setCurrentText(codePage);
    EdtStore->setText(ReadStoreUrl());
    // A store given by --store or BREVORA_STORE is in use whatever the setting says: shown here.
    QString inUse;
    Guarded([&inUse] {
        if (const StoreLocation store = ChosenStore(); store.shared() && ReadStoreUrl().isEmpty())
            inUse = store.shown();
    });
    EdtStore->setPlaceholderText(inUse.isEmpty()
                                     ? QStringLiteral("postgresql://user@host:port/dbname (empty: this computer's file)")
                                     : QStringLiteral("In use now, from --store or BREVORA_STORE: ") + inUse);
}

QString TFrmSetup::selected(const Group& group) const
{
    const QListWidgetItem* item = group.list->currentItem();
    return item ? item->text() : QString();
}

void TFrmSetup::LstServerClick()
{
    m_servers.edit->setEnabled(true);
    m_servers.del->setEnabled(true);
    MemCaption->clear();
    const QString key = selected(m_servers);
    QString account, ssl, port, password;
    LookupServer(key, account, ssl, port, password);
    MemCaption->setPlainText(QStringLiteral("Outgoing Mail Server (SMTP): %1\nAccount Name: %2\nSSL: %3\nPort: %4\n"
                                            "Password: **********")
                                 .arg(ServerHostOf(key), account, ssl, port));
}

void TFrmSetup::LstViewClick()
{
    m_senders.edit->setEnabled(true);
    m_senders.del->setEnabled(true);
    MemCaption->clear();
    const QString address = selected(m_senders);
    MemCaption->setPlainText(QStringLiteral("Display Name\nYour Email Address: %1\nDisplay Name: %2")
                                 .arg(address, LookupSender(address)));
}

void TFrmSetup::LstTextClick()
{
    m_contents.edit->setEnabled(true);
    m_contents.del->setEnabled(true);
    const QString text = LoadBodyText(LookupContent(selected(m_contents)));
    MemCaption->setPlainText(QString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
}

void TFrmSetup::BtmServerAddClick()
{
    ServerSetup setup;
    if (m_serverDialog->ExecuteAdd(setup))
        m_servers.list->addItem(SaveServer(std::nullopt, setup));
}

void TFrmSetup::BtmServerEditClick()
{
    const QString old = selected(m_servers);
    ServerSetup setup = ReadServerSetup(old);
    if (m_serverDialog->ExecuteEdit(setup, old))
        m_servers.list->currentItem()->setText(SaveServer(old, setup));
}

void TFrmSetup::BtmServerDelClick()
{
    const QString key = selected(m_servers);
    if (!askDelete(QStringLiteral("Are you sure you want to delete this server account?(%1)").arg(key)))
        return;
    DeleteServer(key);
    afterDelete(m_servers);
}

void TFrmSetup::BtmViewAddClick()
{
    SenderEntry e;
    BounceSetup bounce;
    if (m_senderDialog->ExecuteAdd(e, bounce)) {
        const QString key = SaveSender(std::nullopt, e);
        WriteBounceSetup(key, bounce);
        m_senders.list->addItem(key);
    }
}

void TFrmSetup::BtmViewEditClick()
{
    const QString old = selected(m_senders);
    SenderEntry e = ReadSender(old);
    BounceSetup bounce = ReadBounceSetup(old);
    if (m_senderDialog->ExecuteEdit(e, bounce)) {
        const QString key = SaveSender(old, e);
        WriteBounceSetup(key, bounce); // SaveSender moved the old one with the address
        m_senders.list->currentItem()->setText(key);
    }
}

void TFrmSetup::BtmViewDelClick()
{
    const QString address = selected(m_senders);
    if (!askDelete(QStringLiteral("Are you sure you want to delete this email address?(%1)").arg(address)))
        return;
    DeleteSender(address);
    afterDelete(m_senders);
}

void TFrmSetup::BtmTextAddClick()
{
    ContentSetup setup;
    if (m_contentDialog->ExecuteAdd(setup))
        m_contents.list->addItem(SaveContent(std::nullopt, setup));
}

void TFrmSetup::BtmTextEditClick()
{
    const QString old = selected(m_contents);
    ContentSetup setup = ReadContentSetup(old);
    if (m_contentDialog->ExecuteEdit(setup))
        m_contents.list->currentItem()->setText(SaveContent(old, setup));
}

void TFrmSetup::BtmTextDelClick()
{
    const QString title = selected(m_contents);
    if (!askDelete(QStringLiteral("Are you sure you want to delete this email content?(%1)").arg(title)))
        return;
    DeleteContent(title);
    afterDelete(m_contents);
}

bool TFrmSetup::askDelete(const QString& text)
{
    return Prompts::question(this, QStringLiteral("yes"), text, QMessageBox::Ok | QMessageBox::Cancel,
                             QMessageBox::Cancel)
        == QMessageBox::Ok;
}

void TFrmSetup::afterDelete(const Group& group)
{
    {
        const QSignalBlocker block(group.list);
        delete group.list->takeItem(group.list->currentRow());
        group.list->setCurrentRow(-1);
    }
    group.edit->setEnabled(false);
    group.del->setEnabled(false);
    MemCaption->clear();
}

void TFrmSetup::BtmOkClick()
{
    const QString store = EdtStore->text().trimmed();
    if (!store.isEmpty())
        ParseStoreUrl(store); // a URL that cannot be used is said now, and the window stays
    if (const QByteArray codePage = CmbCodePage->currentText().toLatin1(); codePage != CodePage::name()) {
        FolderEncoding::change(codePage); // a text it cannot hold is said now, and the window stays
        Prompts::report(this, QStringLiteral("Setting"),
                        QStringLiteral("This data folder's texts are now kept in %1, and messages go out in it.")
                            .arg(QString::fromLatin1(codePage)),
                        QMessageBox::Information);
    }
    WriteReturnReceipt(ChkRe->isChecked());
    if (store != ReadStoreUrl()) {
        WriteStoreUrl(store);
        Prompts::report(this, QStringLiteral("Setting"),
                        QStringLiteral("Brevora uses %1 from its next start.")
                            .arg(store.isEmpty() ? QStringLiteral("this computer's own file") : ParseStoreUrl(store).shown()),
                        QMessageBox::Information);
    }
    accept();
}
