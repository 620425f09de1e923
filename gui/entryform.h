#pragma once

#include <QString>
#include <functional>

class QBoxLayout;
class QDialog;
class QLabel;
class QLineEdit;
class QWidget;

// The parts the three entry dialogs share.
namespace EntryForm {

QLineEdit* makeEdit(QWidget* parent, const char* name);
// A gray "For example : ..." line under a field.
QLabel* exampleLabel(QWidget* parent, const QString& example);
// OK (default, Enter) and Cancel (Esc) in a row at the bottom.
void addButtons(QDialog* dialog, QBoxLayout* layout, const QString& cancelCaption, const std::function<void()>& onOk);
// Reports a refused entry in an "Error" box and puts the focus on the field to correct.
void refuse(const QString& text, QLineEdit* focus);
// Shows the dialog modally.
bool runModal(QDialog* dialog);

} // namespace EntryForm
