// The modal dialog in which the user picks the MIDI input port of the instrument.
#pragma once

#include <QDialog>

class QListWidgetItem;
class QString;

// The lock file that keeps a second uploader off the instrument behind the
// input port portName: in the user's runtime folder, named after the port.
QString instrumentLockPath(const QString &portName);
class Ui_midiselection;

class midiselection : public QDialog
{
    Q_OBJECT

public:
    explicit midiselection(QWidget *parent = nullptr);
    ~midiselection() override;

    Ui_midiselection *ui;
    // -1 until an entry has been chosen (clicked, or reached with the
    // keyboard), then 1.
    int portSelected;
    // 1 after "Ok" opened the ports, 0 otherwise, -1 when opening them failed.
    int portConfirmed;

private slots:
    void on_pushButtonOk_clicked();
    void on_listWidget_itemClicked(QListWidgetItem *item);
    void on_pushButtonCancel_clicked();
    void on_listWidget_currentItemChanged(QListWidgetItem *current);

private:
    // The current row becomes the chosen port, and Ok can be pressed.
    void choosePort();
};
