#pragma once

#include <QDialog>

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
