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

QLineEdit* fieldToBlame(const QString& message, std::initializer_list<QLineEdit*> fields)
{
    QStringList quoted;
    for (qsizetype open = message.indexOf(u'"'); open >= 0;) {
        const qsizetype close = message.indexOf(u'"', open + 1);
        if (close < 0)
            break;
        quoted.append(message.mid(open + 1, close - open - 1));
        open = message.indexOf(u'"', close + 1);
    }
    const bool aboutComma = message.contains(QLatin1String("comma"));
    for (QLineEdit* field : fields) {
        const QString text = field->text();
        if (text.isEmpty())
            continue;
        if (aboutComma && text.contains(u','))
            return field;
        for (const QString& q : quoted)
            if (!q.isEmpty() && (text == q || (q.size() <= 2 && text.contains(q))))
                return field;
    }
    return *fields.begin();
}

} // namespace EntryForm
