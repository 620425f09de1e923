#include "gui/addtext.h"

#include "gui/entryform.h"
#include "gui/prompts.h"
#include "core/run/prepare.h"
#include "core/error.h"
#include "core/settings/settingsfile.h"

#include <QFile>
#include <QHBoxLayout>
#include <QPushButton>
#include <QFormLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QVBoxLayout>

TFrmAddText::TFrmAddText(QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("TFrmAddText"));
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    EdtMailTitle = EntryForm::makeEdit(this, "EdtMailTitle");
    form->addRow(QStringLiteral("Email Title:"), EdtMailTitle);
    layout->addLayout(form);
    auto* group = new QGroupBox(QStringLiteral("Email Content"), this);
    group->setObjectName(QStringLiteral("GroupBox1"));
    auto* groupLayout = new QVBoxLayout(group);
    MemText = new QPlainTextEdit(group);
    MemText->setObjectName(QStringLiteral("MemText"));
    groupLayout->addWidget(MemText);
    layout->addWidget(group, 1);
    // Where recipients unsubscribe: sent as List-Unsubscribe (one-click with an https URL).
    auto* links = new QFormLayout;
    EdtUnsubscribeAddress = EntryForm::makeEdit(this, "EdtUnsubscribeAddress");
    EdtUnsubscribeAddress->setPlaceholderText(QStringLiteral("mailto:leave@example.com?subject=[= EMAIL =]"));
    EdtUnsubscribeUrl = EntryForm::makeEdit(this, "EdtUnsubscribeUrl");
    EdtUnsubscribeUrl->setPlaceholderText(QStringLiteral("https://example.com/leave?who=[= EMAIL =]"));
    const QString tip = QStringLiteral("Optional. Every message then carries a List-Unsubscribe header; an https URL makes it "
                                       "one-click. [= EMAIL =] and [= PARAM1 =]... are filled for each recipient.");
    EdtUnsubscribeAddress->setToolTip(tip);
    EdtUnsubscribeUrl->setToolTip(tip);
    links->addRow(QStringLiteral("Unsubscribe address:"), EdtUnsubscribeAddress);
    links->addRow(QStringLiteral("Unsubscribe URL:"), EdtUnsubscribeUrl);
    EdtAttachments = EntryForm::makeEdit(this, "EdtAttachments");
    EdtAttachments->setPlaceholderText(QStringLiteral("files sent with every message, | between them"));
    auto* addFile = new QPushButton(QStringLiteral("Add file..."), this);
    addFile->setObjectName(QStringLiteral("BtnAttachAdd"));
    connect(addFile, &QPushButton::clicked, this, [this] {
        const QString path = Prompts::openFileName(this, QStringLiteral("Attach a file"), QStringLiteral("All files (*)"));
        if (!path.isEmpty())
            EdtAttachments->setText(EdtAttachments->text().trimmed().isEmpty() ? path : EdtAttachments->text().trimmed() + " | " + path);
    });
    auto* filesRow = new QHBoxLayout;
    filesRow->addWidget(EdtAttachments, 1);
    filesRow->addWidget(addFile);
    links->addRow(QStringLiteral("Attachments:"), filesRow);
    // Each recipient's own file, named in a column of a table list, inside a folder.
    EdtAttachColumn = EntryForm::makeEdit(this, "EdtAttachColumn");
    EdtAttachColumn->setPlaceholderText(QStringLiteral("column"));
    EdtAttachColumn->setToolTip(QStringLiteral("The column of a table list (CSV) whose value names each recipient's own file."));
    EdtAttachFolder = EntryForm::makeEdit(this, "EdtAttachFolder");
    EdtAttachFolder->setPlaceholderText(QStringLiteral("folder the names are in"));
    auto* pickFolder = new QPushButton(QStringLiteral("Folder..."), this);
    pickFolder->setObjectName(QStringLiteral("BtnAttachFolder"));
    connect(pickFolder, &QPushButton::clicked, this, [this] {
        const QString dir = Prompts::directoryName(this, QStringLiteral("The folder of the recipients' files"));
        if (!dir.isEmpty())
            EdtAttachFolder->setText(dir);
    });
    auto* ownRow = new QHBoxLayout;
    ownRow->addWidget(EdtAttachColumn, 1);
    ownRow->addWidget(EdtAttachFolder, 2);
    ownRow->addWidget(pickFolder);
    links->addRow(QStringLiteral("Recipient's file:"), ownRow);
    // Headers a bulk sender sets: a provider's feedback loop, the list's name, and the user's own.
    EdtFeedbackId = EntryForm::makeEdit(this, "EdtFeedbackId");
    EdtFeedbackId->setPlaceholderText(QStringLiteral("campaign:customer:mailtype:sender (Gmail's feedback loop)"));
    EdtListId = EntryForm::makeEdit(this, "EdtListId");
    EdtListId->setPlaceholderText(QStringLiteral("Club news <news.example.org>"));
    EdtHeaders = EntryForm::makeEdit(this, "EdtHeaders");
    EdtHeaders->setPlaceholderText(QStringLiteral("X-Campaign: spring | X-Member: [= PARAM1 =]"));
    EdtHeaders->setToolTip(QStringLiteral("Headers of your own, Name: value, | between them; placeholders are filled for each recipient."));
    links->addRow(QStringLiteral("Feedback-ID:"), EdtFeedbackId);
    links->addRow(QStringLiteral("List-Id:"), EdtListId);
    links->addRow(QStringLiteral("Other headers:"), EdtHeaders);
    layout->addLayout(links);
    EntryForm::addButtons(this, layout, QStringLiteral("Cancel"), [this] { BtmOkClick(); });
    setFixedSize(minimumSizeHint().expandedTo(QSize(565, 560)));
}

bool TFrmAddText::ExecuteAdd(ContentSetup& setup)
{
    setWindowTitle(QStringLiteral("Add New Email Content"));
    m_editedKey.reset();
    setup.entry.bodyFile = CreateBodyFile();
    if (!Execute(setup)) {
        // No entry will name this file: it must not be left behind.
        QFile::remove(AppDir() + setup.entry.bodyFile);
        return false;
    }
    return true;
}

bool TFrmAddText::ExecuteEdit(ContentSetup& setup)
{
    setWindowTitle(QStringLiteral("Edit Email Content"));
    m_editedKey = setup.entry.title;
    return Execute(setup);
}

bool TFrmAddText::Execute(ContentSetup& setup)
{
    const QString& title = setup.entry.title;
    MemText->setPlainText(LoadBodyText(setup.entry.bodyFile).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    if (title.isEmpty())
        MemText->selectAll(); // a new body holds only its path: typing the text replaces it
    EdtMailTitle->setText(title);
    EdtUnsubscribeAddress->setText(setup.links.mailto);
    EdtUnsubscribeUrl->setText(setup.links.url);
    EdtAttachments->setText(setup.attachments.join(QStringLiteral(" | ")));
    EdtAttachColumn->setText(setup.recipientFiles.column);
    EdtAttachFolder->setText(setup.recipientFiles.folder);
    EdtFeedbackId->setText(setup.headers.feedbackId);
    EdtListId->setText(setup.headers.listId);
    QStringList own;
    for (const auto& [name, value] : setup.headers.custom)
        own.append(name + QStringLiteral(": ") + value);
    EdtHeaders->setText(own.join(QStringLiteral(" | ")));
    BodyFileName = setup.entry.bodyFile;
    EdtMailTitle->setFocus();
    if (!EntryForm::runModal(this))
        return false;
    setup.entry.title = EdtMailTitle->text();
    setup.links = unsubscribe();
    setup.attachments = attachments();
    setup.recipientFiles = {EdtAttachColumn->text().trimmed(), EdtAttachFolder->text().trimmed()};
    setup.headers = headers();
    return true;
}

ContentHeaders TFrmAddText::headers() const
{
    ContentHeaders h{EdtFeedbackId->text().trimmed(), EdtListId->text().trimmed(), {}};
    for (const QString& part : EdtHeaders->text().split(u'|', Qt::SkipEmptyParts))
        if (!part.trimmed().isEmpty())
            h.custom.append(ParseHeaderText(part.trimmed()));
    return h;
}

QStringList TFrmAddText::attachments() const
{
    QStringList paths;
    for (const QString& p : EdtAttachments->text().split(u'|', Qt::SkipEmptyParts))
        if (!p.trimmed().isEmpty())
            paths.append(p.trimmed());
    return paths;
}

Unsubscribe TFrmAddText::unsubscribe() const
{
    return {EdtUnsubscribeAddress->text().trimmed(), EdtUnsubscribeUrl->text().trimmed()};
}

void TFrmAddText::BtmOkClick()
{
    try {
        CheckContentEntry({EdtMailTitle->text(), BodyFileName});
        CheckContentFree(m_editedKey, EdtMailTitle->text());
    } catch (const BrevoraError& e) {
        EntryForm::refuse(e.message(), EdtMailTitle);
        return;
    }
    try {
        for (const QString& file : attachments())
            ReadAttachment(file);
    } catch (const BrevoraError& e) {
        EntryForm::refuse(e.message(), EdtAttachments);
        return;
    }
    try {
        CheckUnsubscribe(unsubscribe());
    } catch (const BrevoraError& e) {
        EntryForm::refuse(e.message(), e.message().contains(QLatin1String("URL")) ? EdtUnsubscribeUrl : EdtUnsubscribeAddress);
        return;
    }
    try {
        CheckContentHeaders(headers());
    } catch (const BrevoraError& e) {
        EntryForm::refuse(e.message(), e.message().contains(QLatin1String("Feedback-ID")) ? EdtFeedbackId
                                       : e.message().contains(QLatin1String("List-Id"))   ? EdtListId
                                                                                          : EdtHeaders);
        return;
    }
    QString text = MemText->toPlainText();
    text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    SaveBodyText(BodyFileName, text);
    accept();
}
