#include "midiselection.h"

#include "labeltext.h"
#include "midi/midilink.h"
#include "ui_midiselection.h"

#include <QListWidget>
#include <QMessageBox>

#include <rtmidi/RtMidi.h>

midiselection::midiselection(QWidget *parent)
    : QDialog(parent)
{
    ui = new Ui_midiselection;
    ui->setupUi(this);
    // Each call replaces the whole set; the last leaves a fixed-size window
    // with a thin frame and no title bar or close button.
    setWindowFlags(Qt::MSWindowsFixedSizeDialogHint);
    setWindowFlags(Qt::CustomizeWindowHint);
    setWindowFlags(windowFlags() | Qt::MSWindowsFixedSizeDialogHint);
    setModal(true);
    portSelected = -1;
    portConfirmed = 0;
    ui->pushButtonOk->setEnabled(false);
    // The title may grow to the right, up to the dialog's edge, where a
    // font wider than the designed one draws it; beyond that it is cut with
    // a sign and whole in its tool tip.
    ui->label->setMinimumWidth(ui->label->width());
    ui->label->setMaximumWidth(width() - ui->label->x());
    showWholeRichText(ui->label, ui->label->text());
    // For a screen reader, which would otherwise announce the window by its
    // title, "Dialog", and the list by nothing at all.
    setAccessibleName(QStringLiteral("MIDI port selection"));
    ui->listWidget->setAccessibleName(QStringLiteral("MIDI input ports"));
    ui->listWidget->setAccessibleDescription(QStringLiteral("Choose the port the instrument is connected to"));
    ui->pushButtonOk->setAccessibleDescription(QStringLiteral("Opens the chosen port and its output"));
    ui->pushButtonCancel->setAccessibleDescription(QStringLiteral("Ends the program without an update"));
    // A row selected without becoming current (a screen reader's select or
    // toggle action) is chosen as a click chooses it.
    connect(ui->listWidget, &QListWidget::itemSelectionChanged, this, [this] {
        const QList<QListWidgetItem *> selected = ui->listWidget->selectedItems();
        if (selected.size() == 1 && selected.first() != ui->listWidget->currentItem())
            ui->listWidget->setCurrentItem(selected.first());
    });
    midiLink.refreshPorts();
    for (int i = 0; i < midiLink.portNames.size(); ++i)
        ui->listWidget->insertItem(ui->listWidget->count(), midiLink.portNames.at(i));
}

midiselection::~midiselection()
{
    delete ui;
}

void midiselection::on_listWidget_itemClicked(QListWidgetItem *)
{
    choosePort();
}

void midiselection::on_listWidget_currentItemChanged(QListWidgetItem *current)
{
    if (!current)
        return;
    // The keyboard chooses as a click does. Tabbing into the list makes its
    // first row current without selecting it: selected, it shows which port
    // Ok opens.
    current->setSelected(true);
    choosePort();
}

void midiselection::choosePort()
{
    if (!ui->listWidget->currentItem())
        return;
    midiLink.selectedPortName = ui->listWidget->currentItem()->data(Qt::DisplayRole).toString();
    portSelected = 1;
    ui->pushButtonOk->setEnabled(true);
}

void midiselection::on_pushButtonOk_clicked()
{
    if (portSelected < 0 || !ui->listWidget->currentItem())
        return;
    midiLink.selectedPortName = ui->listWidget->currentItem()->data(Qt::DisplayRole).toString();
    try {
        midiLink.openPorts(midiLink.indexOfPort(midiLink.selectedPortName));
        portConfirmed = 1;
    } catch (const RtMidiError &error) {
        // The port vanished or the driver refused it: say so, and let start-up
        // end the program rather than update through half a link.
        portConfirmed = -1;
        QMessageBox box;
        box.setWindowTitle(QStringLiteral("Updater message"));
        box.setIcon(QMessageBox::Critical);
        box.setText(QStringLiteral("The MIDI ports could not be opened.\n")
                    + QString::fromStdString(error.getMessage()));
        box.exec();
    }
    close();
}

void midiselection::on_pushButtonCancel_clicked()
{
    portConfirmed = 0;
    close();
}
