// Gives the main window the keyboard back when one of the program's own boxes
// or dialogs closes. A window manager does this; without one (a kiosk, a bare
// X server) nothing does, and a keyboard user could never reach Exit.
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

class KeyboardReturn : public QObject
{
public:
    // Hands the keyboard to home; lives as home's child.
    explicit KeyboardReturn(QWidget *home);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void giveBack();

    QWidget *home;
    // The window of the program that last had the keyboard.
    QPointer<QWidget> lastActive;
};
