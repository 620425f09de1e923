#pragma once

#include <QString>
#include <memory>

class TAboutBox;
class TAddForm;
class SendLogStore;
class TFrmAddMail;
class TFrmAddServer;
class TFrmAddText;
class TFrmSetup;
class TLogForm;
class TMainForm;

// The program's windows, created in their documented order and wired to the main window.
struct AppWindows
{
    explicit AppWindows(SendLogStore* store);
    ~AppWindows();

    std::unique_ptr<TMainForm> main;
    TLogForm* log = nullptr;
    TAddForm* intake = nullptr;
    TFrmSetup* setup = nullptr;
    TFrmAddMail* senderDialog = nullptr;
    TFrmAddText* contentDialog = nullptr;
    TFrmAddServer* serverDialog = nullptr;
    TAboutBox* about = nullptr;
};

// Renders every window to a PNG file in the folder, so they can be looked at without a desktop.
// Returns the files written; *missed counts the windows whose file could not be written.
QStringList RenderWindows(AppWindows& windows, const QString& folder, int* missed = nullptr);
