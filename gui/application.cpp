#include "gui/application.h"

#include <QCoreApplication>

#include <QDir>

#include "gui/prompts.h"

#include <QFileInfo>
#include <QUrl>

BrevoraApplication::BrevoraApplication(int& argc, char** argv)
    : QApplication(argc, argv)
{
}

bool BrevoraApplication::notify(QObject* receiver, QEvent* event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const BrevoraError& e) {
        ShowDefaultError(e.message());
    } catch (const std::exception& e) {
        ShowDefaultError(QString::fromLocal8Bit(e.what()));
    }
    return false;
}

QString ProgramTitle()
{
    const QString path = QCoreApplication::applicationFilePath();
    return path.isEmpty() ? QStringLiteral("brevora") : QFileInfo(path).completeBaseName();
}

QString DefaultErrorText(const QString& text)
{
    if (!text.isEmpty() && text.back() > QLatin1Char('.'))
        return text + QLatin1Char('.');
    return text;
}

void ShowDefaultError(const QString& text)
{
    Prompts::report(nullptr, ProgramTitle(), DefaultErrorText(text), QMessageBox::Critical);
}

QString LocalManualPath()
{
    const QDir programDir(QCoreApplication::applicationDirPath());
    for (const QString& candidate : {QStringLiteral("../share/doc/brevora/README.md"), QStringLiteral("../README.md"),
                                     QStringLiteral("README.md")}) {
        const QString path = programDir.absoluteFilePath(candidate);
        if (QFileInfo::exists(path))
            return QDir::cleanPath(path);
    }
    return {};
}

