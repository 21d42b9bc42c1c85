// The main window: the chosen port, the uploader's version, the logo, the
// progress display and the Exit button.
#pragma once

#include <QMainWindow>

class Ui_MainWindow;
class Updater;

// The program's one update, null until start-up creates it.
extern Updater *currentUpdater;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    void showSelectedPort(const QString &name);
    void setProgress(int percent);
    void showTargetVersion(const char *version);
    // Names the output port opened beside the input, in the port line's tool
    // tip and to a screen reader: the pairing is a guess by name, and this is
    // where a wrong one can be noticed. Call it after showSelectedPort.
    void showOutputPort(const QString &name);
    // A note, below the progress display, that the update waits for the
    // instrument; a screen reader announces it. Gone again with hideWaitNote.
    void showWaitNote(const QString &text);
    void hideWaitNote();
    bool waitNoteShown() const;

    // True once Exit has been clicked. Start-up reads it after an update: a
    // click during the update came while no event loop ran to quit.
    static bool exitRequested();

protected:
    // A window manager closes the window even without a frame (Alt+F4, the
    // task bar): that is Exit too, or an update would go on unseen and the
    // program would never end.
    void closeEvent(QCloseEvent *event) override;

private slots:
    void on_pushButton_clicked();

private:
    Ui_MainWindow *ui;
};
