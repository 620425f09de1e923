#pragma once

#include <QApplication>
#include <QString>

#include "core/error.h"

// The application with its default error report: an exception that escapes an event handler is
// shown in a box and the program goes on with the next event.
class BrevoraApplication : public QApplication
{
public:
    BrevoraApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};

// The program's title: the executable's name without extension.
QString ProgramTitle();
// The default error report: the text (a "." appended when its last character sorts after "."),
// the program's title as caption, OK, error icon.
void ShowDefaultError(const QString& text);
QString DefaultErrorText(const QString& text);
// The manual that comes with the program (installed, or the README of the source tree it was
// built from); empty when none is found.
QString LocalManualPath();

// Runs a handler, sending any error it raises to the default error report.
template <typename F>
void Guarded(F&& handler)
{
    try {
        handler();
    } catch (const BrevoraError& e) {
        ShowDefaultError(e.message());
    } catch (const std::exception& e) {
        ShowDefaultError(QString::fromLocal8Bit(e.what()));
    }
}
