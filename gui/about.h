#pragma once

#include <QDialog>
#include <QString>
#include <QUrl>
#include <functional>

// The about box: the program's picture, name, version and the maker's web address.
class TAboutBox : public QDialog
{
    Q_OBJECT
public:
    explicit TAboutBox(QWidget* parent = nullptr);
    void CommentsClick();
};

extern const char* const kMakerAddress;

// Opens the manual that comes with the program, or says where it is to be found.
void OpenManual(QWidget* parent);
// Opens the manual at the path with the desktop's program for it (`open`), or, where there is
// none, in a window of its own.
void ShowManual(QWidget* parent, const QString& path, const std::function<bool(const QUrl&)>& open);
