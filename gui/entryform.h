#pragma once

#include <QString>
#include <functional>
#include <initializer_list>

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
// The field a refusal is about: the one whose text, or a character of it, the message quotes (or
// that holds the comma the message speaks of); else the first.
QLineEdit* fieldToBlame(const QString& message, std::initializer_list<QLineEdit*> fields);
// Shows the dialog modally.
bool runModal(QDialog* dialog);

} // namespace EntryForm
