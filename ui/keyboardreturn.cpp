#include "keyboardreturn.h"

#include <QApplication>
#include <QEvent>
#include <QTimer>

KeyboardReturn::KeyboardReturn(QWidget *home) : QObject(home), home(home)
{
    qApp->installEventFilter(this);
}

bool KeyboardReturn::eventFilter(QObject *watched, QEvent *event)
{
    if (!watched->isWidgetType() || !static_cast<QWidget *>(watched)->isWindow())
        return false;
    if (event->type() == QEvent::WindowActivate)
        lastActive = static_cast<QWidget *>(watched);
    // Only a window that had the keyboard as it closes: a tool tip, or a
    // window closing while another program has the keyboard, leaves it where
    // it is.
    else if (event->type() == QEvent::Hide && watched == lastActive && watched != home)
        // Once the window system has taken the keyboard from the closed
        // window, and maybe given it to another of the program's windows.
        QTimer::singleShot(0, this, &KeyboardReturn::giveBack);
    return false;
}

void KeyboardReturn::giveBack()
{
    // Some window systems leave the closed window active until another is.
    QWidget *active = QApplication::activeWindow();
    if ((active && active->isVisible()) || QApplication::activeModalWidget() || !home->isVisible())
        return;
    home->activateWindow();
}
