// The port selection dialog with simulated instruments attached.
#include "instrument.h"
#include "jackserver.h"
#include "modalboxes.h"

#include "midi/midilink.h"
#include "ui/labeltext.h"
#include "ui/midiselection.h"
#include "ui_midiselection.h"

#include <QAccessible>
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QListWidget>
#include <QLockFile>
#include <QPushButton>
#include <QTest>
#include <QTextDocument>

#include <rtmidi/RtMidi.h>

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

namespace {
void clickRow(midiselection &dialog, int row)
{
    QListWidget *list = dialog.ui->listWidget;
    const QRect rect = list->visualItemRect(list->item(row));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, rect.center());
}

TEST(PortDialog, FormAsDesigned)
{
    midiselection dialog;
    EXPECT_EQ(dialog.objectName(), "midiselection");
    EXPECT_EQ(dialog.size(), QSize(240, 237));
    EXPECT_EQ(dialog.windowTitle(), "Dialog");
    EXPECT_EQ(dialog.styleSheet(), "background-color: rgb(186, 186, 186);");
    // The hints replace the dialog type; being parentless, it is a window.
    EXPECT_EQ(dialog.windowFlags() & ~Qt::WindowType_Mask,
              Qt::CustomizeWindowHint | Qt::MSWindowsFixedSizeDialogHint);
    EXPECT_EQ(dialog.windowType(), Qt::Window);
    EXPECT_TRUE(dialog.isModal());

    Ui_midiselection *ui = dialog.ui;
    // The title keeps its place and grows to the right only where the font
    // draws it wider than its 121 pixels.
    EXPECT_EQ(ui->label->geometry(), QRect(60, 10, std::max(121, ui->label->sizeHint().width()), 20));
    EXPECT_LE(ui->label->geometry().right(), dialog.width());
    EXPECT_EQ(ui->label->font().family(), "Calibri");
    EXPECT_EQ(ui->label->font().pointSize(), 10);
    EXPECT_EQ(ui->label->styleSheet(), "background-color: rgb(0, 85, 255);\n");
    EXPECT_EQ(ui->label->alignment(), Qt::AlignCenter);
    EXPECT_EQ(ui->label->palette().color(QPalette::Active, QPalette::Window), QColor(0, 85, 255));
    EXPECT_EQ(ui->label->palette().color(QPalette::Disabled, QPalette::WindowText), QColor(42, 85, 0));
    EXPECT_EQ(ui->label->palette().color(QPalette::Inactive, QPalette::AlternateBase), QColor(170, 212, 127));
    EXPECT_EQ(ui->label->palette().color(QPalette::Disabled, QPalette::AlternateBase), QColor(85, 170, 0));
    EXPECT_TRUE(ui->label->text().contains("MIDI port selection"));
    EXPECT_EQ(ui->pushButtonOk->geometry(), QRect(140, 200, 75, 23));
    EXPECT_EQ(ui->pushButtonCancel->geometry(), QRect(30, 200, 75, 23));
    EXPECT_EQ(ui->listWidget->geometry(), QRect(30, 40, 181, 151));
    EXPECT_EQ(ui->listWidget->styleSheet(), "background-color: rgb(255,255,255);");
    EXPECT_EQ(ui->pushButtonOk->text(), "Ok");
    EXPECT_EQ(ui->pushButtonCancel->text(), "Cancel");
    EXPECT_EQ(ui->pushButtonOk->nextInFocusChain(), ui->pushButtonCancel);
    EXPECT_EQ(ui->pushButtonCancel->nextInFocusChain(), ui->listWidget);
    EXPECT_FALSE(ui->pushButtonOk->isEnabled());
    EXPECT_EQ(dialog.portSelected, -1);
    EXPECT_EQ(dialog.portConfirmed, 0);
}

TEST(PortDialog, TitleTooWideForTheDialogIsCutWithASignAndKeepsItsColour)
{
    midiselection dialog;
    QLabel *title = dialog.ui->label;
    const QString designed = title->text();
    // A font far wider than the designed one, as where the family is missing.
    QFont wide = title->font();
    wide.setPointSize(30);
    title->setFont(wide);
    showWholeRichText(title, designed);
    EXPECT_LE(title->geometry().right(), dialog.width());
    EXPECT_LE(title->sizeHint().width(), title->width());
    QTextDocument shown;
    shown.setHtml(title->text());
    EXPECT_TRUE(shown.toPlainText().endsWith(QChar(0x2026))) << shown.toPlainText().toStdString();
    EXPECT_TRUE(QStringLiteral("MIDI port selection").startsWith(shown.toPlainText().chopped(1)));
    EXPECT_EQ(title->toolTip(), "MIDI port selection");
    EXPECT_TRUE(title->text().contains("#dddddd")) << title->text().toStdString();

    // At the designed size it is whole again, with no tool tip.
    title->setFont(QFont(QStringLiteral("Calibri"), 10));
    showWholeRichText(title, designed);
    EXPECT_EQ(title->text(), designed);
    EXPECT_TRUE(title->toolTip().isEmpty());
}

TEST(PortDialog, ListsThePortsAndOpensTheOneCurrentAtOk)
{
    SimulatedInstrument a({"--name", "Tessarine A"}), b({"--name", "Tessarine B"}), c({"--name", "Tessarine C"});
    ASSERT_TRUE(a.ready() && b.ready() && c.ready());
    midiselection dialog;
    dialog.show();
    QListWidget *list = dialog.ui->listWidget;
    ASSERT_EQ(list->count(), 3);
    for (int row = 0; row < 3; ++row)
        EXPECT_EQ(list->item(row)->text().toStdString(), midiIn->getPortName(unsigned(row)));
    EXPECT_EQ(dialog.findChild<QLabel *>(QStringLiteral("labelNoPort")), nullptr);

    // A row reached with the keyboard is chosen as a click chooses it.
    list->setCurrentRow(0);
    list->setFocus();
    QTest::keyClick(list, Qt::Key_Down);
    EXPECT_TRUE(dialog.ui->pushButtonOk->isEnabled());
    EXPECT_EQ(dialog.portSelected, 1);
    EXPECT_EQ(midiLink.selectedPortName, list->item(1)->text());
    EXPECT_TRUE(list->item(1)->isSelected());

    clickRow(dialog, 0);
    EXPECT_EQ(midiLink.selectedPortName, list->item(0)->text());
    clickRow(dialog, 1);
    // The row current when Ok is pressed is the one opened.
    QTest::keyClick(list, Qt::Key_Down);
    QTest::mouseClick(dialog.ui->pushButtonOk, Qt::LeftButton);
    EXPECT_EQ(dialog.portConfirmed, 1);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(midiLink.selectedPortName, list->item(2)->text());
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
}

// Names wider than the list (ALSA's "Virtual Raw MIDI 0-0:VirMIDI 0-0 20:0"),
// two alike ones cut at the same place: each row is whole in its tool tip
// and to a screen reader.
TEST(PortDialog, EachRowGivesItsWholeName)
{
    SimulatedInstrument a({"--name", "Tessarine Grand Stage Keyboard 88 Plus 1"}),
        b({"--name", "Tessarine Grand Stage Keyboard 88 Plus 2"});
    ASSERT_TRUE(a.ready() && b.ready());
    midiselection dialog;
    dialog.show();
    QListWidget *list = dialog.ui->listWidget;
    ASSERT_EQ(list->count(), 2);
    QAccessibleInterface *spoken = QAccessible::queryAccessibleInterface(list);
    for (int row = 0; row < 2; ++row) {
        const QString name = list->item(row)->text();
        EXPECT_GT(list->fontMetrics().horizontalAdvance(name), list->viewport()->width()) << "not cut";
        EXPECT_EQ(list->item(row)->toolTip(), name);
        EXPECT_EQ(spoken->child(row)->text(QAccessible::Name), name);
    }
}

// With no input port the list stays empty and Ok disabled; the list says
// why, in its place, and to a screen reader.
TEST(PortDialog, AnEmptyListSaysWhyInItsPlace)
{
    midiselection dialog;
    dialog.show();
    QListWidget *list = dialog.ui->listWidget;
    EXPECT_EQ(list->count(), 0);
    const QString why = QStringLiteral("No MIDI input port was found. Connect the instrument, or start its MIDI "
                                       "service, then start the uploader again.");
    auto *note = dialog.findChild<QLabel *>(QStringLiteral("labelNoPort"));
    ASSERT_NE(note, nullptr);
    EXPECT_TRUE(note->isVisible());
    EXPECT_EQ(note->text(), why);
    EXPECT_TRUE(list->viewport()->rect().contains(note->geometry()));
    EXPECT_LE(note->heightForWidth(note->width()), note->height()) << "the line is cut";
    EXPECT_EQ(list->accessibleDescription(), why);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, list->viewport()->rect().center());
    EXPECT_FALSE(dialog.ui->pushButtonOk->isEnabled());
}

// Two uploaders on one instrument would take each other's replies: while
// one holds the instrument's input port, another is refused it, and may
// pick another port. A lock left by a process that has died is taken over.
TEST(PortDialog, APortAnotherUploaderHoldsIsRefusedAndAnotherCanBePicked)
{
    SimulatedInstrument a({"--name", "Tessarine A"}), b({"--name", "Tessarine B"});
    ASSERT_TRUE(a.ready() && b.ready());
    midiselection dialog;
    dialog.show();
    QListWidget *list = dialog.ui->listWidget;
    ASSERT_EQ(list->count(), 2);
    QLockFile otherUploader(instrumentLockPath(list->item(0)->text()));
    ASSERT_TRUE(otherUploader.tryLock(0));
    // The other row's lock was left by an uploader that was killed.
    const pid_t dead = fork();
    if (dead == 0)
        _exit(0);
    ASSERT_EQ(waitpid(dead, nullptr, 0), dead);
    QFile stale(instrumentLockPath(list->item(1)->text()));
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    stale.write(QByteArray::number(dead) + "\n\n\n");
    stale.close();

    BoxAnswerer boxes;
    clickRow(dialog, 0);
    QTest::mouseClick(dialog.ui->pushButtonOk, Qt::LeftButton);
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].text,
              "Another Tessarine Uploader is updating the instrument on this port:\n" + list->item(0)->text());
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(dialog.portConfirmed, 0);
    EXPECT_FALSE(midiIn->isPortOpen());

    clickRow(dialog, 1);
    QTest::mouseClick(dialog.ui->pushButtonOk, Qt::LeftButton);
    EXPECT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(dialog.portConfirmed, 1);
    EXPECT_TRUE(midiIn->isPortOpen());
    // Now this uploader's: another is refused it.
    QLockFile third(instrumentLockPath(list->item(1)->text()));
    EXPECT_FALSE(third.tryLock(0));
}

// Shows the dialog and tabs from Cancel, focused as it opens (Ok is still
// disabled), into the list, which makes its first row current and chosen.
void tabIntoTheList(midiselection &dialog)
{
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
    ASSERT_EQ(QApplication::focusWidget(), dialog.ui->pushButtonCancel);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QListWidget *list = dialog.ui->listWidget;
    ASSERT_EQ(QApplication::focusWidget(), list);
    EXPECT_TRUE(list->item(0)->isSelected());
    EXPECT_TRUE(dialog.ui->pushButtonOk->isEnabled());
    EXPECT_EQ(midiLink.selectedPortName, list->item(0)->text());
}

// With two instruments attached, enters the list with Tab and chooses its
// second row with the down arrow; confirm then presses the keys that should
// confirm that row, and the row's port must be open.
void chooseTheSecondRowAndConfirm(void (*confirm)(midiselection &))
{
    SimulatedInstrument a({"--name", "Tessarine A"}), b({"--name", "Tessarine B"});
    ASSERT_TRUE(a.ready() && b.ready());
    midiselection dialog;
    ASSERT_NO_FATAL_FAILURE(tabIntoTheList(dialog));
    QListWidget *list = dialog.ui->listWidget;
    QTest::keyClick(list, Qt::Key_Down);
    ASSERT_NO_FATAL_FAILURE(confirm(dialog));
    EXPECT_EQ(dialog.portConfirmed, 1);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(midiLink.selectedPortName, list->item(1)->text());
    EXPECT_TRUE(midiIn->isPortOpen());
}

TEST(PortDialog, SpaceOnOkConfirmsTheRowChosenWithTheArrows)
{
    chooseTheSecondRowAndConfirm([](midiselection &dialog) {
        QTest::keyClick(dialog.ui->listWidget, Qt::Key_Tab);
        ASSERT_EQ(QApplication::focusWidget(), dialog.ui->pushButtonOk);
        QTest::keyClick(dialog.ui->pushButtonOk, Qt::Key_Space);
    });
}

// Ok, first in the focus order, is the dialog's default button: Return
// where no other button has the focus presses it.
TEST(PortDialog, ReturnInTheListPressesOkNotCancel)
{
    chooseTheSecondRowAndConfirm(
        [](midiselection &dialog) { QTest::keyClick(dialog.ui->listWidget, Qt::Key_Return); });
}

TEST(PortDialog, CancelOpensNothing)
{
    SimulatedInstrument a({"--name", "Tessarine A"});
    ASSERT_TRUE(a.ready());
    midiselection dialog;
    dialog.show();
    clickRow(dialog, 0);
    QTest::mouseClick(dialog.ui->pushButtonCancel, Qt::LeftButton);
    EXPECT_EQ(dialog.portConfirmed, 0);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_FALSE(midiIn->isPortOpen());
    EXPECT_EQ(midiLink.selectedPortName.toStdString(), a.portName());
}

TEST(PortDialog, OkSlotDoesNothingBeforeARowWasClicked)
{
    SimulatedInstrument a({"--name", "Tessarine A"});
    midiselection dialog;
    dialog.show();
    QMetaObject::invokeMethod(&dialog, "on_pushButtonOk_clicked");
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(dialog.portConfirmed, 0);
    EXPECT_FALSE(midiIn->isPortOpen());
}

TEST(PortDialog, PortThatVanishedIsReportedAndNotConfirmed)
{
    auto a = std::make_unique<SimulatedInstrument>(std::vector<std::string>{"--name", "Tessarine A"});
    ASSERT_TRUE(a->ready());
    midiselection dialog;
    dialog.show();
    clickRow(dialog, 0);
    // Unplugged after it was listed, and gone by the time Ok is clicked.
    a.reset();
    QElapsedTimer clock;
    clock.start();
    while (midiIn->getPortCount() != 0 && clock.elapsed() < 5000)
        QTest::qWait(10);
    BoxAnswerer boxes;
    QTest::mouseClick(dialog.ui->pushButtonOk, Qt::LeftButton);
    EXPECT_EQ(dialog.portConfirmed, -1);
    EXPECT_FALSE(dialog.isVisible());
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_TRUE(boxes.boxes[0].text.startsWith("The MIDI ports could not be opened.\n"))
        << boxes.boxes[0].text.toStdString();
}
} // namespace
