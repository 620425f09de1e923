#pragma once

#include <QMainWindow>
#include <QTimer>
#include <functional>

#include "core/run/pendinglist.h"
#include "core/run/sendingrun.h"
#include "gui/preflightdialog.h"

class QAction;
class QCheckBox;
class QTableWidget;
class QComboBox;
class QTextBrowser;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListView;
class QMenu;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTabWidget;
class TAboutBox;

// The main window: the pending list, the three selections, the run's controls and its activity.
class TMainForm : public QMainWindow
{
    Q_OBJECT
public:
    // The pace of a run that is not at full speed: a message a tick.
    static constexpr int kTickMs = 50;
    explicit TMainForm(SendLogStore* store, QWidget* parent = nullptr);
    ~TMainForm() override;

    // Fills the boxes from the settings at their saved positions; with keepChosen the entries
    // chosen now stay chosen where they still exist.
    void LoadSelections(bool keepChosen = false);
    bool IsInMailList(const QString& text) const { return m_pending.contains(text); }
    // Appends entries to the pending list (the address intake's OK).
    bool AppendEntries(const QStringList& entries);

    void CmbServerChange();
    void CmbSendAddrChange();
    void CmbTextChange();
    void AddBtClick();
    void DelBtClick();
    void MailLBClick();
    void PopupMenu1Popup();
    void NOutClick();
    // The pending list, and the failed list with each entry's outcome, as CSV.
    void NOutCsvClick();
    void FailedExportClick();
    void StartBtClick();
    void TestBtClick();
    void setupBtClick();
    void reportBtClick();
    // The suppression list, in a window of its own.
    void SuppressClick();
    void CheckBouncesClick();
    // Mail, Check before sending; Start runs the same before a pair's first run.
    void CheckSendingClick();
    PreflightWindow preflightWindow();
    // The Preview page: the selected entry's message (the first entry's when none is selected).
    void ShowPreview();
    // Every pending entry's message to files in a folder, as it would go out; nothing is sent.
    void WriteMessagesClick();
    void Index1Click();
    void About1Click();
    void AppendActivity(const QString& text);
    // The Failed page: the failed list with code, reason and time.
    void ShowFailed();
    void RetryBtClick();
    void ShowCounters();

    // Replaceable windows of the other subsystems, so a test or a later window can take their place.
    std::function<void(QWidget*)> addressIntake;
    std::function<void(QWidget*)> settingsWindow;
    std::function<void(QWidget*)> historyWindow;

    SendingRun& run() { return m_run; }
    PendingList& pending() { return m_pending; }
    SendLogStore* store() const { return m_store; }
    void setAboutBox(TAboutBox* about) { m_about = about; }

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void FormCreate();
    void buildWidgets();
    void buildMenus();
    void showRunState(bool running);
    void showFirstRunHint();
    // The progress bar after a run over the list: how far it came and how it ended.
    void showRunEnd(RunOutcome outcome);
    bool askCertificate(const CertificateInfo& info);

    // Reads the counts and the failed list again when another process changed the store (a run
    // of another process draining the list, say).
    void refreshFromStore();

    SendLogStore* m_store;
    QString m_memStartIdle; // the menu item's caption before the run
    QString m_lastFailure;  // "entry--reason" of the run's last failed message
    QTimer* m_storeWatch = nullptr;
    PendingList m_pending;
    SendingRun m_run;
    RunSelection m_selection;
    QString previewEntry() const;
    QStringList fieldNames() const;

    QLabel* FirstRunHint = nullptr;
    QGroupBox* GroupBox1 = nullptr;
    QComboBox* CmbServer = nullptr;
    QComboBox* CmbSendAddr = nullptr;
    QComboBox* CmbText = nullptr;
    QLabel* LbServer = nullptr;
    QLabel* LbAddr = nullptr;
    QLabel* LbText = nullptr;
    QPushButton* AddBt = nullptr;
    QPushButton* DelBt = nullptr;
    QPushButton* reportBt = nullptr;
    QPushButton* setupBt = nullptr;
    QPushButton* StartBt = nullptr;
    QPushButton* TestBt = nullptr;
    QLineEdit* TestEd = nullptr;
    QTabWidget* PageControl1 = nullptr;
    QListView* MailLB = nullptr;
    QPlainTextEdit* projectMM = nullptr;
    QPlainTextEdit* LogLB = nullptr;
    QTableWidget* FailedLB = nullptr;
    QPushButton* RetryBt = nullptr;
    QCheckBox* ChkSkipRefused = nullptr;
    QCheckBox* ChkFullSpeed = nullptr;
    QCheckBox* ChkNeverTwice = nullptr;
    QComboBox* CmbPreviewView = nullptr;
    QTextBrowser* PreviewView = nullptr;
    QLabel* m_panels[6] = {};
    QProgressBar* RunProgress = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QAction* NOut = nullptr;
    QAction* NOutCsv = nullptr;
    QPushButton* FailedExportBt = nullptr;
    QAction* MemDetele = nullptr;
    QAction* MemStart = nullptr;
    TAboutBox* m_about = nullptr;
};
