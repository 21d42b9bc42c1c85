#include "midiselection.h"

#include "labeltext.h"
#include "midi/midilink.h"
#include "ui_midiselection.h"

#include <QCryptographicHash>
#include <QLabel>
#include <QListWidget>
#include <QLockFile>
#include <QMessageBox>
#include <QStandardPaths>
#include <QVBoxLayout>

#include <rtmidi/RtMidi.h>

#include <iostream>
#include <memory>

namespace {
const QString emptyListNote = QStringLiteral(
    "No MIDI input port was found. Connect the instrument, or start its MIDI service, then start the uploader "
    "again.");

// The lock on the instrument this uploader updates, held from Ok until the
// program ends, when its destructor removes the lock file.
std::unique_ptr<QLockFile> instrumentLock;

// Takes the lock on the instrument behind the input port portName: false
// while another uploader holds it. Two uploaders on one instrument would
// take each other's replies, and the instrument would get both files mixed.
// The lock is a file in the user's runtime folder named after the port; one
// left by a process that has died is taken over. Where no lock can be made
// at all, the update goes on unguarded, and stderr says so.
bool lockInstrument(const QString &portName)
{
    auto lock = std::make_unique<QLockFile>(instrumentLockPath(portName));
    // Only a dead owner makes a lock stale: an update may well take longer
    // than Qt's default 30 s.
    lock->setStaleLockTime(0);
    if (lock->tryLock(0)) {
        instrumentLock = std::move(lock);
        return true;
    }
    if (lock->error() == QLockFile::LockFailedError)
        return false;
    std::cerr << "Updater: no lock could be made as " << instrumentLockPath(portName).toStdString()
              << "; nothing keeps a second uploader off this instrument.\n";
    return true;
}
} // namespace

QString instrumentLockPath(const QString &portName)
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    const QByteArray digest = QCryptographicHash::hash(portName.toUtf8(), QCryptographicHash::Sha256).toHex();
    return folder + QStringLiteral("/tessarine-uploader-port-") + QString::fromLatin1(digest.left(32))
           + QStringLiteral(".lock");
}

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
    for (int i = 0; i < midiLink.portNames.size(); ++i) {
        ui->listWidget->insertItem(ui->listWidget->count(), midiLink.portNames.at(i));
        // A long name is cut by the list's edge, and two alike interfaces at
        // the same place, before the numbers that tell them apart.
        ui->listWidget->item(i)->setToolTip(plainToolTip(midiLink.portNames.at(i)));
    }
    if (ui->listWidget->count() == 0) {
        // The list is filled once: an empty one says why, in its place, and
        // to a screen reader in the list's description.
        auto *note = new QLabel(emptyListNote, ui->listWidget->viewport());
        note->setObjectName(QStringLiteral("labelNoPort"));
        note->setTextFormat(Qt::PlainText);
        note->setWordWrap(true);
        note->setAlignment(Qt::AlignCenter);
        note->setStyleSheet(QStringLiteral("color: rgb(80, 80, 80);"));
        // Small, as the list's rows would be on the system it was designed
        // for, so that the whole line fits whatever the platform's font.
        QFont font = note->font();
        font.setPointSize(8);
        note->setFont(font);
        // Kept to the list's inside, however large the screen draws it.
        auto *place = new QVBoxLayout(ui->listWidget->viewport());
        place->setContentsMargins(8, 8, 8, 8);
        place->addWidget(note);
        ui->listWidget->setAccessibleDescription(emptyListNote);
    }
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
    if (!lockInstrument(midiLink.selectedPortName)) {
        // Nothing is opened; another port may still be picked, or Cancel.
        QMessageBox box;
        box.setWindowTitle(QStringLiteral("Updater message"));
        box.setIcon(QMessageBox::Warning);
        box.setTextFormat(Qt::PlainText);
        box.setText(QStringLiteral("Another Tessarine Uploader is updating the instrument on this port:\n")
                    + midiLink.selectedPortName);
        box.setInformativeText(QStringLiteral("One update at a time can reach an instrument. Wait until the other "
                                              "uploader has ended, or pick another port."));
        box.exec();
        return;
    }
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
        box.setTextFormat(Qt::PlainText);
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
