#include "gui/mainunit.h"

#include "core/text/textutil.h"

#include "gui/about.h"
#include "gui/application.h"
#include "gui/prompts.h"
#include "core/intake/csvfile.h"
#include "core/run/prepare.h"
#include <algorithm>
#include <QRegularExpression>
#include <QDir>
#include <QTextBrowser>
#include "gui/suppressform.h"
#include "core/text/codepage.h"
#include "core/sendlog/sendlogstore.h"
#include "core/settings/settingsfile.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QStatusBar>
#include <QStyle>
#include <QHeaderView>
#include <QTabWidget>
#include <QTableWidget>
#include <QCheckBox>
#include <QTextBlock>
#include <QVBoxLayout>

namespace {

constexpr int kMaxActivityLines = 50000;

} // namespace

TMainForm::TMainForm(SendLogStore* store, QWidget* parent)
    : QMainWindow(parent)
    , m_store(store)
    , m_pending(store)
    , m_run(m_pending)
{
    setObjectName(QStringLiteral("MainForm"));
    buildWidgets();
    buildMenus();
    // The client area is 527 by 529 below the menu bar, which exists only now.
    setFixedSize(527, 529 + menuBar()->sizeHint().height());

    m_run.setBodyProvider([this] { return SplitTextLines(projectMM->toPlainText()); });
    m_run.setCertificateDecision([this](const CertificateInfo& info) { return askCertificate(info); });
    connect(&m_run, &SendingRun::activity, this, &TMainForm::AppendActivity);
    connect(&m_run, &SendingRun::countersChanged, this, &TMainForm::ShowCounters);
    connect(&m_run, &SendingRun::stateChanged, this, &TMainForm::showRunState);
    connect(&m_run, &SendingRun::runStarting, this, [this] {
        m_lastFailure.clear();
        PageControl1->setCurrentIndex(2);
    });
    connect(&m_run, &SendingRun::activity, this, [this](const QString& line) {
        if (line.startsWith(QLatin1String("Sending failed: ")))
            m_lastFailure = line.mid(16);
    });
    connect(&m_run, &SendingRun::errorRaised, this, [](const QString& text) { ShowDefaultError(text); });
    connect(&m_run, &SendingRun::progress, this, [this](int done, int total) {
        // The bar follows runs over the list; a test send leaves it as it is.
        if (m_run.isTestRun())
            return;
        RunProgress->setMaximum(qMax(total, 1));
        RunProgress->setValue(done);
        RunProgress->setFormat(QStringLiteral("%1 / %2").arg(done).arg(total));
    });
    connect(&m_run, &SendingRun::finished, this, [this](RunOutcome outcome) { showRunEnd(outcome); });
    m_storeWatch = new QTimer(this);
    m_storeWatch->setInterval(2000);
    connect(m_storeWatch, &QTimer::timeout, this, &TMainForm::refreshFromStore);
    m_storeWatch->start();

    FormCreate();
}

void TMainForm::refreshFromStore()
{
    // A run of this window over a file store holds its lock: nobody else changes the list then.
    // One over a shared store shares it with runs elsewhere: their progress shows in the count.
    if (!m_store || (m_run.running() && !m_store->claims()))
        return;
    if (m_run.running()) {
        if (const int pending = m_store->countPending(); pending >= 0)
            m_run.notePendingInStore(pending);
        return;
    }
    Guarded([this] {
        if (!m_store->changedByOthers())
            return; // the usual case: nothing to read, nor to copy
        const QStringList before = m_pending.entries();
        m_pending.reload(true);
        const QStringList now = m_pending.entries();
        if (now == before)
            return;
        // Counted as another process did it: what it sent is sent, what it added is added.
        const QSet<QString> was(before.cbegin(), before.cend());
        const QSet<QString> is(now.cbegin(), now.cend());
        QStringList gone;
        for (const QString& e : was)
            if (!is.contains(e))
                gone.append(e);
        int added = 0;
        for (const QString& e : is)
            added += was.contains(e) ? 0 : 1;
        m_run.countChangedElsewhere(added, int(m_store->sentAmong(gone).size()));
        ShowFailed();
    });
}

TMainForm::~TMainForm() = default;

void TMainForm::FormCreate()
{
    ShowCounters();
    ShowFailed();
    PageControl1->setCurrentIndex(0);
    Guarded([this] { LoadSelections(); });
}

void TMainForm::LoadSelections(bool keepChosen)
{
    const struct
    {
        QComboBox* box;
        QStringList items;
        const QString& key;
    } boxes[] = {
        {CmbServer, ListServers(), SettingsKeys::ServerPosition},
        {CmbSendAddr, ListSenders(), SettingsKeys::SenderPosition},
        {CmbText, ListContents(), SettingsKeys::ContentPosition},
    };
    QStringList chosen;
    for (const auto& b : boxes) {
        chosen.append(keepChosen ? b.box->currentText() : QString());
        b.box->clear();
        b.box->addItems(b.items);
    }
    m_selection.ReturnReceipt = ReadReturnReceipt();
    ChkSkipRefused->setChecked(ReadSkipRefused());
    m_run.setRefusalChoice(ChkSkipRefused->isChecked() ? RefusalChoice::Skip : RefusalChoice::Stop);
    ChkFullSpeed->setChecked(ReadFullSpeed());
    m_run.setInterval(ChkFullSpeed->isChecked() ? 0 : kTickMs);
    ChkNeverTwice->setChecked(ReadRecordUncertain());
    m_selection.RecordUncertain = ChkNeverTwice->isChecked();
    for (qsizetype i = 0; i < std::size(boxes); ++i) {
        const auto& b = boxes[i];
        const int position = ReadBasicInteger(b.key, 0);
        const int kept = chosen[i].isEmpty() ? -1 : int(b.items.indexOf(chosen[i]));
        b.box->setCurrentIndex(kept >= 0 ? kept : position >= 0 && position < b.box->count() ? position : -1);
    }
    CmbServerChange();
    CmbSendAddrChange();
    CmbTextChange();
    showFirstRunHint();
}

void TMainForm::showFirstRunHint()
{
    QString next;
    if (CmbServer->count() == 0)
        next = QStringLiteral("add your SMTP server (host, account, password, port; SSL for port 465)");
    else if (CmbSendAddr->count() == 0)
        next = QStringLiteral("add the address you send from");
    else if (CmbText->count() == 0)
        next = QStringLiteral("add a content: a title and the text to send");
    FirstRunHint->setVisible(!next.isEmpty());
    if (!next.isEmpty())
        FirstRunHint->setText(QStringLiteral("To begin, %1 in <a href=\"setting\">Setting</a>. Then add addresses with "
                                             "Add, send yourself a test, and Start.")
                                  .arg(next));
}

void TMainForm::CmbServerChange()
{
    try {
        SelectServer(m_selection, CmbServer->currentText());
    } catch (...) {
        LbServer->setText(QStringLiteral("Account Name: ") + m_selection.ServerAccount);
        throw;
    }
    LbServer->setText(QStringLiteral("Account Name: ") + m_selection.ServerAccount);
}

void TMainForm::CmbSendAddrChange()
{
    SelectSender(m_selection, CmbSendAddr->currentText());
    LbAddr->setText(QStringLiteral("Display Name: ") + m_selection.SenderName);
}

void TMainForm::CmbTextChange()
{
    SelectContent(m_selection, CmbText->currentText());
    const QString name = LookupContent(m_selection.ContentTitle);
    if (!name.trimmed().isEmpty())
        projectMM->setPlainText(LoadBodyLines(name).join(QLatin1Char('\n')));
    LbText->setText(QStringLiteral("Email Title: ") + m_selection.ContentTitle);
    PageControl1->setCurrentIndex(1);
}

bool TMainForm::AppendEntries(const QStringList& entries)
{
    m_pending.append(entries);
    return true;
}

void TMainForm::AddBtClick()
{
    if (addressIntake)
        addressIntake(this);
    m_run.countListChange();
    MailLB->scrollToBottom(); // the entries just added
    PageControl1->setCurrentIndex(0);
}

void TMainForm::DelBtClick()
{
    // Only what is selected in the list in sight: on another page the selection is hidden.
    if (PageControl1->currentWidget() != MailLB)
        return;
    bool deleted = false;
    QList<int> rows;
    for (const QModelIndex& index : MailLB->selectionModel()->selectedIndexes())
        rows.append(index.row());
    std::sort(rows.begin(), rows.end());
    // The question names what it deletes (the first few, and how many more).
    constexpr qsizetype kNamed = 5;
    QStringList named;
    for (qsizetype i = 0; i < rows.size() && i < kNamed; ++i)
        named.append(m_pending.entry(rows[i]));
    if (rows.size() > kNamed)
        named.append(QStringLiteral("... and %1 more (%2 in all)").arg(rows.size() - kNamed).arg(rows.size()));
    const auto answer = Prompts::question(this, QStringLiteral("yes"),
                                          QStringLiteral("Are you sure you want to delete this email address?")
                                              + (named.isEmpty() ? QString() : QLatin1Char('\n') + named.join(QLatin1Char('\n'))),
                                          QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    QString failure;
    if (answer == QMessageBox::Yes) {
        try {
            m_pending.removeRowsAt(rows);
            deleted = !rows.isEmpty();
        } catch (const BrevoraError& e) {
            failure = e.message();
        }
    }
    m_run.countListChange();
    if (deleted || m_pending.count() == 0)
        DelBt->setEnabled(false);
    if (!failure.isEmpty())
        throw BrevoraError(ErrorKind::Store, failure);
}

void TMainForm::MailLBClick()
{
    const bool any = PageControl1->currentWidget() == MailLB && MailLB->selectionModel()->hasSelection();
    DelBt->setEnabled(any);
    MemDetele->setEnabled(any);
}

void TMainForm::PopupMenu1Popup()
{
    NOut->setEnabled(m_pending.count() > 0);
    NOutCsv->setEnabled(m_pending.count() > 0);
}

void TMainForm::NOutClick()
{
    const QString path = Prompts::saveFileName(this, QString(), QStringLiteral("mail.txt"), QStringLiteral("文本文件(*.txt)"));
    if (path.isEmpty())
        return;
    WriteEntriesFile(path, m_pending);
}

void TMainForm::NOutCsvClick()
{
    const QString path = Prompts::saveFileName(this, QString(), QStringLiteral("mail.csv"), QStringLiteral("CSV (*.csv)"));
    if (!path.isEmpty())
        WriteFileBytes(path, EntriesAsCsv(m_pending.entries(), fieldNames()));
}

void TMainForm::StartBtClick()
{
    // Start and Stop share the button; with an empty list it does nothing. The list is the one
    // the store holds now: another process may have added to it or sent it.
    if (m_run.running()) {
        m_run.StopRun();
        return;
    }
    m_pending.reload();
    m_run.countListChange();
    if (m_pending.count() > 0 && preflightWindow().confirmRun())
        m_run.StartRun(m_selection);
}

PreflightWindow TMainForm::preflightWindow()
{
    QByteArray message;
    try {
        message = FirstMessageFor(m_selection, m_pending.count() > 0 ? m_pending.entry(0) : QString(), fieldNames());
    } catch (const BrevoraError&) {
        // A message that cannot be made is the run's to report, with its reason.
    }
    return PreflightWindow(this, m_selection, message, [this](const CertificateInfo& info) { return askCertificate(info); });
}

void TMainForm::CheckSendingClick()
{
    if (m_selection.SenderAddress.isEmpty()) {
        Prompts::report(this, QStringLiteral("Check before sending"), QStringLiteral("Choose a sender address first."), QMessageBox::Information);
        return;
    }
    preflightWindow().show();
}

void TMainForm::TestBtClick()
{
    // A second session must not start while a run is under way; a shorter text is no address.
    const QString address = TestEd->text();
    if (m_run.running() || address.size() < 5)
        return;
    // With an entry selected in the list, the test message takes its values.
    const QModelIndexList selected = MailLB->selectionModel()->selectedIndexes();
    const QString values = selected.isEmpty() ? QString() : m_pending.entry(selected.first().row()).section(QLatin1Char(','), 1);
    m_run.StartRun(m_selection, address, values);
}

void TMainForm::setupBtClick()
{
    if (settingsWindow)
        settingsWindow(this);
    else
        Prompts::report(this, ProgramTitle(),
                        QStringLiteral("Servers, senders and contents are kept in %1.").arg(IniPath()),
                        QMessageBox::Information);
    LoadSelections(true);
}

QStringList TMainForm::fieldNames() const
{
    return m_store ? m_store->fieldNames() : QStringList();
}

QString TMainForm::previewEntry() const
{
    const QModelIndexList selected = MailLB->selectionModel()->selectedIndexes();
    if (!selected.isEmpty())
        return m_pending.entry(selected.first().row());
    return m_pending.count() > 0 ? m_pending.entry(0) : QString();
}

void TMainForm::ShowPreview()
{
    if (PageControl1->currentWidget() != PreviewView->parentWidget())
        return;
    const QString entry = previewEntry();
    if (entry.isEmpty()) {
        PreviewView->setPlainText(QStringLiteral("The Email List is empty: add addresses to see their message here."));
        return;
    }
    QByteArray bytes;
    try {
        bytes = MessageFileBytes(BaseMessage(m_selection), entry, SplitTextLines(projectMM->toPlainText()),
                                 ExtrasFor(m_selection, fieldNames()));
    } catch (const BrevoraError& e) {
        PreviewView->setPlainText(QStringLiteral("This message cannot be prepared: ") + e.message());
        return;
    }
    // The parts as the writer made them: the headers, then the HTML or text body.
    const QString source = CodePage::decode(bytes);
    EmailMessage message = BaseMessage(m_selection);
    ComposeMessage(message, entry, SplitTextLines(projectMM->toPlainText()), ExtrasFor(m_selection, fieldNames()));
    const QString raw = source.left(source.indexOf(QStringLiteral("\r\n\r\n"))).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    // What a mail program shows of the headers: names and subject as written, not encoded.
    const auto who = [](const EmailAddress& a) { return a.Name.isEmpty() ? a.Address : a.Name + QStringLiteral(" <") + a.Address + '>'; };
    const auto all = [&who](const EmailAddressList& list) {
        QStringList shown;
        for (const EmailAddress& a : list)
            shown.append(who(a));
        return shown.join(QStringLiteral(", "));
    };
    const QRegularExpressionMatch date = QRegularExpression(QStringLiteral("(?m)^Date: (.*)$")).match(raw);
    QString headers = QStringLiteral("From: ") + who(message.From) + QStringLiteral("\nTo: ") + all(message.Recipients);
    if (!message.CCList.isEmpty())
        headers += QStringLiteral("\nCc: ") + all(message.CCList);
    headers += QStringLiteral("\nSubject: ") + message.Subject + QStringLiteral("\nDate: ") + date.captured(1);
    const bool html = message.ContentType == QLatin1String("text/html");
    switch (CmbPreviewView->currentIndex()) {
    case 1:
        PreviewView->setPlainText(QString(source).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
        break;
    case 2:
        PreviewView->setPlainText(headers + QStringLiteral("\n\n")
                                  + (html ? message.TextAlternative : message.Body).join(QLatin1Char('\n')));
        break;
    default:
        if (html)
            PreviewView->setHtml(QStringLiteral("<pre>%1</pre><hr>").arg(headers.toHtmlEscaped()) + message.Body.join(QLatin1Char('\n')));
        else
            PreviewView->setPlainText(headers + QStringLiteral("\n\n") + message.Body.join(QLatin1Char('\n')));
    }
}

void TMainForm::WriteMessagesClick()
{
    if (m_pending.count() == 0) {
        Prompts::report(this, ProgramTitle(), QStringLiteral("The pending list is empty: there are no messages to write."),
                        QMessageBox::Information);
        return;
    }
    const QString dir = Prompts::directoryName(this, QStringLiteral("Write messages to folder"));
    if (dir.isEmpty())
        return;
    const QStringList entries = m_pending.entries();
    const QHash<QString, QString> suppressed = m_store ? m_store->suppression().among(entries) : QHash<QString, QString>();
    const EmailMessage base = BaseMessage(m_selection);
    const QStringList body = SplitTextLines(projectMM->toPlainText());
    const MessageExtras extras = ExtrasFor(m_selection, fieldNames());
    int written = 0;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        if (suppressed.contains(entries[i]))
            continue;
        WriteFileBytes(QDir(dir).filePath(MessageFileName(int(i + 1), entries[i])),
                       MessageFileBytes(base, entries[i], body, extras));
        ++written;
    }
    Prompts::report(this, ProgramTitle(),
                    QStringLiteral("%1 messages were written to %2, as they would go out. Nothing was sent.").arg(written).arg(dir),
                    QMessageBox::Information);
}

void TMainForm::SuppressClick()
{
    TFrmSuppress window(m_store, this);
    window.exec();
}

void TMainForm::reportBtClick()
{
    if (historyWindow)
        historyWindow(this);
}

void TMainForm::Index1Click()
{
    OpenManual(this);
}

void TMainForm::About1Click()
{
    if (!m_about)
        m_about = new TAboutBox(this);
    m_about->exec();
}

void TMainForm::AppendActivity(const QString& text)
{
    QString shown = PrintableText(text, false);
    if (shown.endsWith('\n'))
        shown.chop(1);
    LogLB->appendPlainText(shown);
    if (LogLB->blockCount() > kMaxActivityLines)
        LogLB->clear();
}

void TMainForm::ShowCounters()
{
    m_panels[1]->setText(QString::number(m_run.pendingCount()));
    m_panels[3]->setText(QString::number(m_run.sentCount()));
    m_panels[5]->setText(QString::number(m_run.allCount()));
}

void TMainForm::showRunState(bool running)
{
    StartBt->setText(running ? QStringLiteral("Stop(&S)") : QStringLiteral("Start(&S)"));
    StartBt->setIcon(style()->standardIcon(running ? QStyle::SP_MediaStop : QStyle::SP_MediaPlay));
    // A run that never got under way leaves the menu item's caption as it was before it.
    if (running)
        m_memStartIdle = MemStart->text();
    MemStart->setText(running ? QStringLiteral("Stop(&s)") : m_run.wentUnderWay() ? QStringLiteral("Start(&S)") : m_memStartIdle);
    TestBt->setEnabled(!running);
    RetryBt->setEnabled(!running && FailedLB->rowCount() > 0);
}

void TMainForm::showRunEnd(RunOutcome outcome)
{
    ShowFailed();
    if (m_run.isTestRun())
        return;
    const QString counted = QStringLiteral("%1 / %2").arg(RunProgress->value()).arg(RunProgress->maximum());
    switch (outcome) {
    case RunOutcome::Completed:
        RunProgress->setFormat(m_run.stoppedByUser() ? counted + QStringLiteral(", stopped") : counted);
        return;
    case RunOutcome::Refused:
        RunProgress->setFormat(counted + QStringLiteral(", refused"));
        if (m_run.lostItsConnection()) {
            AppendActivity(QStringLiteral("The connection to the server was lost and could not be opened again. What was not "
                                          "sent stays in the list: Start goes on with it."));
        } else if (!ChkSkipRefused->isChecked() && !m_lastFailure.isEmpty()) {
            // Why the run ended at that entry, and what can be done: Start alone meets it again.
            const qsizetype dashes = m_lastFailure.indexOf(QLatin1String("--"));
            AppendActivity(QStringLiteral("The run stopped at %1: %2. It stays in the list: check Skip refused to go "
                                          "on past refused addresses, Delete it, or try again later.")
                               .arg(m_lastFailure.left(dashes), PrintableText(m_lastFailure.mid(dashes + 2).trimmed(), true)));
        }
        return;
    case RunOutcome::RecordFailed:
        RunProgress->setFormat(counted + QStringLiteral(", not recorded"));
        return;
    case RunOutcome::PrepareFailed:
        RunProgress->setFormat(counted + QStringLiteral(", message error"));
        return;
    case RunOutcome::Braked:
        RunProgress->setFormat(counted + QStringLiteral(", paused: bounces"));
        return;
    case RunOutcome::ConnectFailed:
    case RunOutcome::AuthFailed:
        RunProgress->setMaximum(1);
        RunProgress->setValue(0);
        RunProgress->setFormat(outcome == RunOutcome::ConnectFailed ? QStringLiteral("Not connected")
                                                                    : QStringLiteral("Login failed"));
        return;
    }
}

bool TMainForm::askCertificate(const CertificateInfo& info)
{
    if (IsTrustedCertificate(info))
        return true;
    const auto answer = Prompts::question(
        this, ProgramTitle(),
        QStringLiteral("The certificate of %1 cannot be verified: %2.\nSubject: %3\nSHA-256 fingerprint:\n%4\n\n"
                       "Trust this certificate for %1 from now on?")
            .arg(info.host, info.reason, info.subject, info.sha256),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return false;
    Guarded([&] { WriteTrustedFingerprint(info.host, info.sha256); });
    return true;
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == TestEd && (event->type() == QEvent::FocusIn || event->type() == QEvent::MouseButtonRelease))
        QMetaObject::invokeMethod(TestEd, &QLineEdit::selectAll, Qt::QueuedConnection);
    return QMainWindow::eventFilter(watched, event);
}

void TMainForm::closeEvent(QCloseEvent* event)
{
    // A settings file that cannot be written is reported once; the window closes all the same.
    Guarded([this] {
        const QComboBox* boxes[] = {CmbServer, CmbSendAddr, CmbText};
        const QString* keys[] = {&SettingsKeys::ServerPosition, &SettingsKeys::SenderPosition, &SettingsKeys::ContentPosition};
        for (int i = 0; i < 3; ++i)
            if (boxes[i]->currentIndex() >= 0)
                WriteBasicInteger(*keys[i], boxes[i]->currentIndex());
    });
    event->accept();
}
