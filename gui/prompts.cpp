#include "gui/prompts.h"

#include <QFileDialog>
#include <QQueue>

namespace {
bool g_testMode = false;
QQueue<QMessageBox::StandardButton> g_answers;
QQueue<QString> g_fileNames;
QStringList g_reported;
} // namespace

namespace Prompts {

void setTestMode(bool on)
{
    g_testMode = on;
}

void queueAnswer(QMessageBox::StandardButton answer)
{
    g_answers.enqueue(answer);
}

void queueFileName(const QString& name)
{
    g_fileNames.enqueue(name);
}

QStringList& reported()
{
    return g_reported;
}

QMessageBox::StandardButton question(QWidget* parent, const QString& caption, const QString& text,
                                     QMessageBox::StandardButtons buttons, QMessageBox::StandardButton defaultButton,
                                     QMessageBox::Icon icon)
{
    if (g_testMode) {
        g_reported.append(caption + QStringLiteral(": ") + text);
        return g_answers.isEmpty() ? defaultButton : g_answers.dequeue();
    }
    QMessageBox box(icon, caption, text, buttons, parent);
    box.setDefaultButton(defaultButton);
    box.setWindowModality(Qt::ApplicationModal);
    return QMessageBox::StandardButton(box.exec());
}

void report(QWidget* parent, const QString& caption, const QString& text, QMessageBox::Icon icon, const QString& details)
{
    if (g_testMode) {
        g_reported.append(caption + QStringLiteral(": ") + text + (details.isEmpty() ? QString() : QLatin1Char('\n') + details));
        return;
    }
    QMessageBox box(icon, caption, text, QMessageBox::Ok, parent);
    box.setDetailedText(details);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

QString saveFileName(QWidget* parent, const QString& caption, const QString& proposed, const QString& filter)
{
    if (g_testMode)
        return g_fileNames.isEmpty() ? QString() : g_fileNames.dequeue();
    QFileDialog dialog(parent, caption, QString(), filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.selectFile(proposed);
    dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().first();
}

QString openFileName(QWidget* parent, const QString& caption, const QString& filter)
{
    if (g_testMode)
        return g_fileNames.isEmpty() ? QString() : g_fileNames.dequeue();
    return QFileDialog::getOpenFileName(parent, caption, QString(), filter);
}

QString directoryName(QWidget* parent, const QString& caption)
{
    if (g_testMode)
        return g_fileNames.isEmpty() ? QString() : g_fileNames.dequeue();
    return QFileDialog::getExistingDirectory(parent, caption);
}

} // namespace Prompts
