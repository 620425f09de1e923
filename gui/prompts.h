#pragma once

#include <QMessageBox>
#include <QString>
#include <QStringList>

class QWidget;

// Message boxes and file dialogs go through here, so that tests can answer them.
namespace Prompts {

// In test mode no box is shown: questions take the queued answers (default: the default button),
// file dialogs the queued names (default: cancelled), and reports are recorded.
void setTestMode(bool on);
void queueAnswer(QMessageBox::StandardButton answer);
void queueFileName(const QString& name);
QStringList& reported();

QMessageBox::StandardButton question(QWidget* parent, const QString& caption, const QString& text,
                                     QMessageBox::StandardButtons buttons, QMessageBox::StandardButton defaultButton,
                                     QMessageBox::Icon icon = QMessageBox::Warning);
// Details, when given, are one click away ("Show Details...").
void report(QWidget* parent, const QString& caption, const QString& text, QMessageBox::Icon icon, const QString& details = {});
QString saveFileName(QWidget* parent, const QString& caption, const QString& proposed, const QString& filter);
QString openFileName(QWidget* parent, const QString& caption, const QString& filter);
QString directoryName(QWidget* parent, const QString& caption);

} // namespace Prompts
