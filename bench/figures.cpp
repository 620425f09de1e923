// Prints the figures of the message writer, the send log store, the pending list and the windows.
#include "gui/prompts.h"
#include "gui/mainunit.h"
#include "core/run/pendinglist.h"
#include "core/run/prepare.h"
#include "gui/windows.h"
#include "core/text/codepage.h"
#include "gui/addunit.h"
#include "core/sendlog/sendlogstore.h"
#include "core/sendlog/historyexport.h"
#include "core/settings/settingsfile.h"
#include "core/mail/messagewriter.h"
#include "core/run/sendingrun.h"

#include <malloc.h>
#include <QAbstractItemView>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPlainTextEdit>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QVariant>
#include <cstdio>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

double residentMegabytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    return 0;
}

void fillLog(const QString& path, int rows)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("bulk"));
    {
        db.setDatabaseName(path);
        db.open();
        db.transaction();
        QSqlQuery q(db);
        q.prepare(QStringLiteral("INSERT INTO sendlog VALUES (?, ?, 1)"));
        const QDateTime start(QDate(2025, 1, 1), QTime(8, 0));
        for (int i = 0; i < rows; ++i) {
            // About 2740 rows a day over a year.
            q.bindValue(0, start.addSecs(qint64(i) * 31).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
            q.bindValue(1, QStringLiteral("user%1@example.org").arg(i));
            q.exec();
        }
        db.commit();
    }
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("bulk"));
}

void messageFigure()
{
    EmailMessage m;
    m.From = {QStringLiteral("sender@example.com"), QStringLiteral("Bench Sender")};
    m.Subject = QStringLiteral("Monthly letter");
    const QStringList content{QStringLiteral("Hello [= PARAM1 =],"),
                              QStringLiteral("This is the monthly letter. ").repeated(30),
                              QStringLiteral("Regards")};
    const int n = 20000;
    QElapsedTimer t;
    t.start();
    qsizetype bytes = 0;
    for (int i = 0; i < n; ++i) {
        const PreparedMessage p = PrepareMessage(QStringLiteral("r%1@example.org,Name").arg(i), content, m);
        m.Body = p.body;
        m.ContentType = p.contentType;
        bytes += WriteMessage(m, {true}).data.size();
    }
    std::printf("prepare and write one message (%lld bytes): %.1f microseconds\n", (long long)(bytes / n),
                t.nsecsElapsed() / 1000.0 / n);
}

void storeFigures(const QString& folder)
{
    const QString path = folder + QStringLiteral("/log.db");
    {
        SendLogStore create(path);
    }
    fillLog(path, 1000000);
    SendLogStore store(path);
    const int lookups = 20000;
    QElapsedTimer t;
    t.start();
    int found = 0;
    for (int i = 0; i < lookups; ++i)
        found += store.hasBeenSent(QStringLiteral("user%1@example.org").arg(i * 37 % 2000000)) ? 1 : 0;
    std::printf("send log of 1000000 rows: HasBeenSent %.1f microseconds (%d of %d found)\n",
                t.nsecsElapsed() / 1000.0 / lookups, found, lookups);
    t.restart();
    const int rows = int(store.logRows(DayPattern(QDate(2025, 6, 1))).size());
    std::printf("send log of 1000000 rows: one day's history (%d rows) %.1f ms\n", rows, t.nsecsElapsed() / 1e6);
}

void pendingFigures(const QString& folder)
{
    const QString path = folder + QStringLiteral("/pending.db");
    {
        SendLogStore store(path);
        QStringList entries;
        entries.reserve(1000000);
        for (int i = 0; i < 1000000; ++i)
            entries.append(QStringLiteral("recipient%1@example.org,First%1,Last").arg(i));
        store.appendPending(entries, nullptr);
    }
    ::malloc_trim(0); // the memory of the entries written above goes back, not to the list
    const double before = residentMegabytes();
    QElapsedTimer t;
    t.start();
    {
        SendLogStore store(path);
        PendingList list(&store);
        std::printf("pending list of %d entries: %.0f MB, loaded in %.2f s\n", list.count(),
                    residentMegabytes() - before, t.nsecsElapsed() / 1e9);
    }
}

void windowFigures(const QString& folder)
{
    Prompts::setTestMode(true);
    SetAppDir(folder);
    const QString path = folder + QStringLiteral("/window.db");
    {
        SendLogStore store(path);
        QStringList entries;
        for (int i = 0; i < 1000000; ++i)
            entries.append(QStringLiteral("pending%1@example.org").arg(i));
        store.appendPending(entries, nullptr);
    }
    SendLogStore store(path);
    QElapsedTimer t;
    t.start();
    AppWindows windows(&store);
    windows.main->show();
    QCoreApplication::processEvents();
    std::printf("main window start with %d pending entries: %.2f s\n", windows.main->pending().count(),
                t.nsecsElapsed() / 1e9);
    // Responsive: the list scrolls to its end and back, and the window's watch of the store (every
    // two seconds) takes a moment only.
    auto* view = windows.main->findChild<QAbstractItemView*>(QStringLiteral("MailLB"));
    t.restart();
    view->scrollToBottom();
    QCoreApplication::processEvents();
    view->scrollToTop();
    QCoreApplication::processEvents();
    std::printf("scrolling %d entries to the end and back: %.1f ms\n", windows.main->pending().count(), t.nsecsElapsed() / 1e6);
    t.restart();
    windows.main->pending().reload();
    std::printf("a look at the store for changes by others (none): %.1f ms\n", t.nsecsElapsed() / 1e6);
    t.restart();
    windows.main->pending().reload(true);
    std::printf("reading the list again after another process changed it: %.2f s\n", t.nsecsElapsed() / 1e9);

    QStringList pasted;
    for (int i = 0; i < 100000; ++i)
        pasted.append(QStringLiteral("new%1@example.org").arg(i));
    windows.intake->findChild<QPlainTextEdit*>(QStringLiteral("MailMo"))->setPlainText(pasted.join('\n'));
    t.restart();
    windows.intake->BitBtn1Click();
    std::printf("intake of 100000 pasted lines: %.2f s (list now %d entries)\n", t.nsecsElapsed() / 1e9,
                windows.main->pending().count());
}

// How long Stop takes to end a run whose session waits for a server that says nothing (a
// socket that is listened on and never accepted): the promise is within a second.
void stopFigure(const QString& folder)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listener, 4) != 0
        || ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::printf("stop figure: no socket to listen on\n");
        return;
    }
    SendLogStore store(folder + QStringLiteral("/stop.db"));
    PendingList list(&store);
    list.append({QStringLiteral("a@example.org")});
    SendingRun run(list);
    run.smtp().ReadTimeout = 60000;
    bool connecting = false;
    bool finished = false;
    QObject::connect(&run, &SendingRun::activity, [&](const QString& line) { connecting = connecting || line.startsWith("Connecting"); });
    QObject::connect(&run, &SendingRun::finished, [&](RunOutcome) { finished = true; });
    RunSelection s;
    s.ServerHost = QStringLiteral("127.0.0.1");
    s.ServerPort = QString::number(ntohs(address.sin_port));
    s.SenderAddress = QStringLiteral("me@example.com");
    s.ContentTitle = QStringLiteral("Letter");
    run.setBodyProvider([] { return QStringList{QStringLiteral("Hello.")}; });
    run.StartRun(s);
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 500) // the session is connected and waits for the greeting by now
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    t.restart();
    run.StopRun();
    while (!finished && t.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    std::printf("Stop while the server says nothing: the run ended in %.0f ms (connecting seen: %s)\n",
                t.nsecsElapsed() / 1e6, connecting ? "yes" : "no");
    ::close(listener);
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    CodePage::setName("CP1252");
    QTemporaryDir folder;
    messageFigure();
    storeFigures(folder.path());
    pendingFigures(folder.path());
    windowFigures(folder.path());
    stopFigure(folder.path());
    return 0;
}
