#include "gui/entryform.h"

#include "gui/application.h"
#include "gui/prompts.h"

#include <QBoxLayout>
#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace EntryForm {

QLineEdit* makeEdit(QWidget* parent, const char* name)
{
    auto* e = new QLineEdit(parent);
    e->setObjectName(QLatin1String(name));
    return e;
}

QLabel* exampleLabel(QWidget* parent, const QString& example)
{
    auto* l = new QLabel(QStringLiteral("For example : ") + example, parent);
    l->setStyleSheet(QStringLiteral("color: gray;"));
    return l;
}

// OK (default, Enter) and Cancel (Esc) in a row at the bottom.
void addButtons(QDialog* dialog, QBoxLayout* layout, const QString& cancelCaption, const std::function<void()>& onOk)
{
    auto* ok = new QPushButton(QStringLiteral("OK"), dialog);
    ok->setObjectName(QStringLiteral("BtmOk"));
    ok->setDefault(true);
    auto* cancel = new QPushButton(cancelCaption, dialog);
    cancel->setObjectName(QStringLiteral("BtmCancel"));
    QObject::connect(ok, &QPushButton::clicked, dialog, [onOk] { Guarded(onOk); });
    QObject::connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
    auto* row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(ok);
    row->addWidget(cancel);
    layout->addLayout(row);
}

void refuse(const QString& text, QLineEdit* focus)
{
    Prompts::report(nullptr, QStringLiteral("Error"), text, QMessageBox::Warning);
    if (focus) {
        focus->setFocus();
        focus->selectAll();
    }
}

// Shows the dialog modally; tests may answer it without a nested event loop.
bool runModal(QDialog* dialog)
{
    return dialog->exec() == QDialog::Accepted;
}

} // namespace EntryForm
