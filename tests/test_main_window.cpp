// The main window as the user sees it, and its Exit button.
#include "ui/mainwindow.h"
#include "ui_mainwindow.h"
#include "update/updater.h"

#include <QAccessible>
#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QTextDocument>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>

namespace {
template <class Widget>
Widget *child(MainWindow &window, const char *name)
{
    auto *widget = window.findChild<Widget *>(QLatin1String(name));
    EXPECT_NE(widget, nullptr) << name;
    return widget;
}

TEST(MainWindow, FormPlacesEveryWidget)
{
    MainWindow window;
    EXPECT_EQ(window.objectName(), "MainWindow");
    EXPECT_EQ(window.size(), QSize(675, 332));
    EXPECT_EQ(window.windowTitle(), "Tessarine Uploader");
    EXPECT_EQ(window.styleSheet(), "background-color: rgb(0, 0, 0);");
    EXPECT_EQ(window.windowFlags(),
              Qt::Window | Qt::FramelessWindowHint | Qt::MSWindowsFixedSizeDialogHint);

    struct Expected
    {
        const char *name;
        QRect geometry;
        QString styleSheet;
    };
    const Expected expected[] = {
        {"pushButton", {580, 260, 75, 23}, "background-color: rgb(152, 152, 152);"},
        {"labelMIDIportName", {40, 10, 221, 16}, ""},
        {"label", {30, 240, 311, 41}, "image: url(:/new/prefix1/FileVari/Logo.png);"},
        {"labelVersion", {446, 0, 211, 20}, "color: rgb(255, 255, 255);"},
        {"progressBar", {180, 110, 281, 23},
         "color: transparent;\nborder-style:solid;\nbackground-color: rgb(0, 0, 128);\n\n"},
        {"labelPercent", {470, 111, 47, 20}, "color: rgb(0, 85, 255);"},
        {"labelMsg", {180, 150, 331, 31}, "color: rgb(0, 85, 255);\nbackground-color: rgb(0, 0, 128);"},
    };
    for (const Expected &e : expected) {
        QWidget *widget = child<QWidget>(window, e.name);
        ASSERT_NE(widget, nullptr);
        EXPECT_EQ(widget->geometry(), e.geometry) << e.name;
        EXPECT_EQ(widget->styleSheet(), e.styleSheet) << e.name;
        EXPECT_EQ(widget->parentWidget()->objectName(), "centralWidget") << e.name;
    }
    EXPECT_TRUE(child<QMenuBar>(window, "menuBar")->actions().isEmpty());
    EXPECT_NE(child<QStatusBar>(window, "statusBar"), nullptr);

    EXPECT_EQ(child<QLabel>(window, "labelVersion")->font().pointSize(), 10);
    EXPECT_EQ(child<QLabel>(window, "labelPercent")->font().pointSize(), 14);
    EXPECT_EQ(child<QLabel>(window, "labelMsg")->font().pointSize(), 14);
    EXPECT_EQ(child<QLabel>(window, "labelVersion")->alignment(), Qt::AlignCenter);
    EXPECT_EQ(child<QLabel>(window, "labelMsg")->alignment(), Qt::AlignCenter);

    // Raised in this order, so the later ones lie above the earlier ones.
    const QObjectList order = child<QWidget>(window, "centralWidget")->children();
    QStringList names;
    for (QObject *o : order)
        names << o->objectName();
    // The note of a silent instrument comes last, above all of them; it is
    // hidden until it is needed.
    EXPECT_EQ(names, QStringList({"labelMIDIportName", "label", "pushButton", "labelVersion",
                                  "progressBar", "labelPercent", "labelMsg", "labelWaitNote"}));
    EXPECT_FALSE(child<QLabel>(window, "labelWaitNote")->isVisibleTo(&window));
}

TEST(MainWindow, FormTextsAreSetByRetranslateUi)
{
    // Every text of the form, the two empty ones too, comes back when the
    // form's texts are set again, as on a change of language.
    QMainWindow window;
    Ui_MainWindow form;
    form.setupUi(&window);
    window.setWindowTitle(QStringLiteral("x"));
    for (QLabel *label : {form.labelMIDIportName, form.label, form.labelVersion, form.labelPercent, form.labelMsg})
        label->setText(QStringLiteral("x"));
    form.pushButton->setText(QStringLiteral("x"));
    form.retranslateUi(&window);
    EXPECT_EQ(window.windowTitle(), "Tessarine Uploader");
    EXPECT_EQ(form.pushButton->text(), "Exit");
    EXPECT_EQ(form.labelMIDIportName->text(),
              "<html><head/><body><p><span style=\" color:#00ff00;\"></span></p></body></html>");
    EXPECT_EQ(form.label->text(), "");
    EXPECT_EQ(form.labelVersion->text(), "");
    EXPECT_EQ(form.labelPercent->text(), "<html><head/><body><p align=\"right\">TextLabel</p></body></html>");
    EXPECT_EQ(form.labelMsg->text(), "TextLabel");
}

TEST(MainWindow, StartsWithTheVersionAndTheProgressHidden)
{
    MainWindow window;
    window.show();
    EXPECT_EQ(child<QLabel>(window, "labelVersion")->text(), "Updater version 1.0.2");
    EXPECT_EQ(child<QPushButton>(window, "pushButton")->text(), "Exit");
    EXPECT_TRUE(child<QLabel>(window, "label")->text().isEmpty());
    EXPECT_TRUE(child<QLabel>(window, "labelMIDIportName")->isVisible());
    EXPECT_FALSE(child<QProgressBar>(window, "progressBar")->isVisible());
    EXPECT_FALSE(child<QLabel>(window, "labelPercent")->isVisible());
    EXPECT_FALSE(child<QLabel>(window, "labelMsg")->isVisible());
    EXPECT_EQ(child<QProgressBar>(window, "progressBar")->value(), 24);
    EXPECT_EQ(child<QLabel>(window, "labelMsg")->text(), "TextLabel");
    EXPECT_EQ(child<QLabel>(window, "labelPercent")->text(),
              "<html><head/><body><p align=\"right\">TextLabel</p></body></html>");
}

TEST(MainWindow, LogoResourceIsThere)
{
    QImage logo(QStringLiteral(":/new/prefix1/FileVari/Logo.png"));
    EXPECT_EQ(logo.size(), QSize(612, 103));
    EXPECT_TRUE(logo.hasAlphaChannel());
}

TEST(MainWindow, ShowsTheSelectedPort)
{
    MainWindow window;
    window.showSelectedPort(QStringLiteral("Tessarine >:MIDI"));
    EXPECT_EQ(child<QLabel>(window, "labelMIDIportName")->text(), "Selected MIDI port: Tessarine >:MIDI");
    window.showSelectedPort(QString());
    EXPECT_EQ(child<QLabel>(window, "labelMIDIportName")->text(), "Selected MIDI port: ");
}

// The output is paired with the input by name: where the pairing goes
// wrong, the port line's tool tip and its description say which was opened.
TEST(MainWindow, PortLineNamesTheOutputOpenedBesideTheInput)
{
    MainWindow window;
    window.show();
    auto *line = child<QLabel>(window, "labelMIDIportName");
    window.showSelectedPort(QStringLiteral("system:midi_capture_2"));
    window.showOutputPort(QStringLiteral("system:midi_playback_2"));
    EXPECT_EQ(line->text(), "Selected MIDI port: system:midi_capture_2");
    EXPECT_EQ(line->toolTip(), "Selected MIDI port: system:midi_capture_2\nMIDI output port: system:midi_playback_2");
    EXPECT_EQ(line->accessibleDescription(), "Messages go to the MIDI output port system:midi_playback_2");

    // A name that looks like markup is shown as it is, in the line and in
    // the tool tip, cut or not.
    const QString markup = QStringLiteral("<b>Stage</b> <i>88</i> >:MIDI ") + QString(60, QLatin1Char('x'));
    window.showSelectedPort(markup);
    window.showOutputPort(QStringLiteral("<b>out</b>"));
    EXPECT_EQ(line->textFormat(), Qt::PlainText);
    QTextDocument tip;
    tip.setHtml(line->toolTip());
    EXPECT_EQ(tip.toPlainText(), "Selected MIDI port: " + markup + "\nMIDI output port: <b>out</b>");
}

// While the instrument is silent, a note says what the update waits for: in
// the band between the version line and the logo, where it covers no
// designed text, and as a notification, which a screen reader announces.
TEST(MainWindow, WaitNoteShowsBesideTheDesignedTextsAndGoesAgain)
{
    MainWindow window;
    window.show();
    window.showSelectedPort(QStringLiteral("Tessarine Grand Stage Keyboard 88 Plus >:MIDI"));
    window.setProgress(40);
    window.showTargetVersion("2.30.4-beta.7+b1234");
    const QString text = QStringLiteral(
        "Waiting for the instrument to answer message 12 of 4097, sent to the MIDI output port "
        "\u201cVirtual Raw MIDI 0-1:VirMIDI 0-1 17:0\u201d. Check that this is the instrument's port, that the "
        "instrument is in its update mode and that its cable is plugged in. Exit stops the update.");
    auto *note = child<QLabel>(window, "labelWaitNote");
    // The longest of the other notes: the instrument asked to wait, and its
    // port has gone, with a long name.
    for (const QString &other :
         {QStringLiteral("The instrument asked the update to wait: it is busy with message 4097 of 4097. The update "
                         "goes on when the instrument answers. Exit stops the update."),
          QStringLiteral("The instrument's MIDI port \u201cTessarine Grand Stage Keyboard 88 Plus:Tessarine Grand "
                         "Stage Keyboard 88 Plus MIDI 1 24:0\u201d has gone (it was unplugged or switched off) while "
                         "the update waited for its answer to message 4097 of 4097. Exit ends the program.")}) {
        window.showWaitNote(other);
        EXPECT_LE(note->heightForWidth(note->width()), note->height()) << "cut: " << other.toStdString();
    }
    window.showWaitNote(text);
    ASSERT_TRUE(note->isVisible());
    EXPECT_EQ(note->text(), text);
    EXPECT_EQ(note->textFormat(), Qt::PlainText);
    EXPECT_LE(note->heightForWidth(note->width()), note->height()) << "the note is cut";
    for (const char *name : {"labelMIDIportName", "labelVersion", "progressBar", "labelPercent", "labelMsg", "label",
                             "pushButton"}) {
        auto *designed = child<QWidget>(window, name);
        EXPECT_TRUE(designed->isVisible()) << name;
        EXPECT_FALSE(note->geometry().intersects(designed->geometry())) << name;
    }
    EXPECT_TRUE(window.centralWidget()->rect().contains(note->geometry()));

    QAccessibleInterface *spoken = QAccessible::queryAccessibleInterface(note);
    ASSERT_NE(spoken, nullptr);
    EXPECT_EQ(spoken->role(), QAccessible::Notification);
    EXPECT_EQ(spoken->text(QAccessible::Name), text);

    window.hideWaitNote();
    EXPECT_FALSE(note->isVisible());
}

TEST(MainWindow, PortLineCanBeReadOnTheBlackWindow)
{
    MainWindow window;
    window.show();
    auto *line = child<QLabel>(window, "labelMIDIportName");
    window.showSelectedPort(QStringLiteral("Tessarine"));
    const QImage drawn = line->grab().toImage();
    int lit = 0;
    for (int y = 0; y < drawn.height(); ++y)
        for (int x = 0; x < drawn.width(); ++x)
            lit += qGray(drawn.pixel(x, y)) > 64;
    EXPECT_GT(lit, 20);
}

// The label shows text whole, or cut with "…" and whole in its tool tip;
// either way what it shows fits its width.
void expectWholeOrMarked(QLabel *label, const QString &text)
{
    EXPECT_LE(label->sizeHint().width(), label->width()) << label->text().toStdString();
    if (label->text() == text) {
        EXPECT_TRUE(label->toolTip().isEmpty()) << label->toolTip().toStdString();
        return;
    }
    EXPECT_TRUE(label->text().endsWith(QChar(0x2026))) << label->text().toStdString();
    EXPECT_TRUE(text.startsWith(label->text().chopped(1))) << label->text().toStdString();
    EXPECT_EQ(label->toolTip(), text);
}

int textWidth(QLabel *label, const QString &text)
{
    return label->fontMetrics().horizontalAdvance(text);
}

TEST(MainWindow, PortLineGrowsAcrossTheFreeTopRowThenCutsWithASign)
{
    MainWindow window;
    window.show();
    auto *line = child<QLabel>(window, "labelMIDIportName");
    const int room = child<QLabel>(window, "labelVersion")->x() - line->x();

    // Wider than the designed 221 pixels, narrower than the row up to the
    // version text: the line grows just enough, in its place.
    const QString medium = QStringLiteral("Tessarine Stage 88 >:MIDI");
    ASSERT_GT(textWidth(line, "Selected MIDI port: " + medium), 221);
    ASSERT_LT(textWidth(line, "Selected MIDI port: " + medium), room);
    window.showSelectedPort(medium);
    EXPECT_EQ(line->text(), "Selected MIDI port: " + medium);
    expectWholeOrMarked(line, "Selected MIDI port: " + medium);
    EXPECT_EQ(line->width(), line->sizeHint().width());
    EXPECT_EQ(line->pos(), QPoint(40, 10));
    EXPECT_EQ(line->height(), 16);

    // A port name of 45 characters and more than the row holds: cut, whole
    // in the tool tip, and never over the version text.
    const QString longName = QStringLiteral("Tessarine Grand Stage Keyboard 88 Pro >:MIDI 2");
    ASSERT_GE(longName.size(), 45);
    ASSERT_GT(textWidth(line, "Selected MIDI port: " + longName), room);
    window.showSelectedPort(longName);
    expectWholeOrMarked(line, "Selected MIDI port: " + longName);
    EXPECT_NE(line->text(), "Selected MIDI port: " + longName);
    EXPECT_EQ(line->geometry(), QRect(40, 10, room, 16));

    // A short name again: the designed width, no tool tip.
    window.showSelectedPort(QStringLiteral("A"));
    EXPECT_EQ(line->geometry(), QRect(40, 10, 221, 16));
    expectWholeOrMarked(line, "Selected MIDI port: A");
}

TEST(MainWindow, HundredPercentFitsBesideTheBar)
{
    MainWindow window;
    window.show();
    auto *percent = child<QLabel>(window, "labelPercent");
    window.setProgress(100);
    expectWholeOrMarked(percent, "100%");
    EXPECT_EQ(percent->text(), "100%");
    EXPECT_EQ(percent->geometry().topLeft(), QPoint(470, 111));
    EXPECT_EQ(percent->width(), std::max(47, percent->sizeHint().width()));
    EXPECT_LE(percent->geometry().right(), window.width());
    // A narrower number takes the designed width again.
    window.setProgress(5);
    EXPECT_EQ(percent->geometry(), QRect(470, 111, 47, 20));
    EXPECT_EQ(percent->text(), "5%");
}

TEST(MainWindow, ShowsTheTargetVersionWholeOrCutWithASignInItsBox)
{
    MainWindow window;
    window.show();
    auto *message = child<QLabel>(window, "labelMsg");
    window.showTargetVersion("2.1");
    EXPECT_TRUE(message->isVisible());
    EXPECT_EQ(message->text(), "Updating to version 2.1");
    window.showTargetVersion(nullptr);
    EXPECT_EQ(message->text(), "Updating to version ");
    window.showTargetVersion("\xC3\xBC"); // UTF-8
    EXPECT_EQ(message->text(), QString::fromUtf8("Updating to version \xC3\xBC"));

    window.showTargetVersion("2.30.4-beta.7+b12345");
    expectWholeOrMarked(message, "Updating to version 2.30.4-beta.7+b12345");
    EXPECT_NE(message->text(), "Updating to version 2.30.4-beta.7+b12345");
    EXPECT_EQ(message->geometry(), QRect(180, 150, 331, 31));
    window.showTargetVersion("2.1");
    EXPECT_EQ(message->text(), "Updating to version 2.1");
    expectWholeOrMarked(message, "Updating to version 2.1");
}

TEST(MainWindow, ProgressShowsAnyNumberWhileTheBarKeepsItsRange)
{
    MainWindow window;
    window.show();
    auto *bar = child<QProgressBar>(window, "progressBar");
    auto *percent = child<QLabel>(window, "labelPercent");

    window.setProgress(0);
    EXPECT_TRUE(bar->isVisible());
    EXPECT_TRUE(percent->isVisible());
    EXPECT_EQ(bar->value(), 0);
    EXPECT_EQ(percent->text(), "0%");

    window.setProgress(100);
    EXPECT_EQ(bar->value(), 100);
    EXPECT_EQ(percent->text(), "100%");

    window.setProgress(250);
    EXPECT_EQ(bar->value(), 100);
    EXPECT_EQ(percent->text(), "250%");

    window.setProgress(-1);
    EXPECT_EQ(bar->value(), 100);
    EXPECT_EQ(percent->text(), "-1%");
}

// What a window manager does on Alt+F4 or from the task bar: a close event
// that reaches the window through its platform window, as a spontaneous one.
void closeAsAWindowManagerDoes(QWidget &window)
{
    QCloseEvent close;
    QApplication::sendEvent(window.windowHandle(), &close);
}

// A step of the progress is painted whole, number and bar, in the one
// paint that the bar's new value makes before setProgress returns: a second
// paint of the window, later, would be made while the update waits for the
// instrument, and hold up its reply.
TEST(MainWindow, AProgressStepIsPaintedInOnePassBeforeSetProgressReturns)
{
    MainWindow window;
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    window.setProgress(41);
    QCoreApplication::processEvents();

    struct PaintCounter : QObject
    {
        int paints = 0;
        bool eventFilter(QObject *, QEvent *event) override
        {
            if (event->type() == QEvent::Paint)
                ++paints;
            return false;
        }
    } number, bar;
    child<QLabel>(window, "labelPercent")->installEventFilter(&number);
    child<QProgressBar>(window, "progressBar")->installEventFilter(&bar);

    window.setProgress(42);
    EXPECT_EQ(number.paints, 1);
    EXPECT_EQ(bar.paints, 1);
    QCoreApplication::processEvents();
    EXPECT_EQ(number.paints, 1);
    EXPECT_EQ(bar.paints, 1);
}

TEST(MainWindow, ExitOrClosingTheWindowEndsTheEventLoopWithOrWithoutAnUpdate)
{
    MainWindow window;
    auto *exitButton = child<QPushButton>(window, "pushButton");
    const std::vector<std::pair<const char *, std::function<void()>>> ways{
        {"Exit", [exitButton] { QTest::mouseClick(exitButton, Qt::LeftButton); }},
        {"close", [&window] { closeAsAWindowManagerDoes(window); }},
    };
    for (const auto &way : ways) {
        // Before an update exists: only the event loop ends.
        window.show();
        currentUpdater = nullptr;
        QTimer::singleShot(0, &window, way.second);
        EXPECT_EQ(QApplication::exec(), 0) << way.first;
        EXPECT_TRUE(MainWindow::exitRequested()) << way.first;

        // With an update: it is asked to stop first.
        window.show();
        Updater updater(QStringLiteral("/nonexistent.tsu"), &window);
        currentUpdater = &updater;
        QTimer::singleShot(0, &window, way.second);
        EXPECT_EQ(QApplication::exec(), 0) << way.first;
        EXPECT_TRUE(updater.abortFlag) << way.first;
        currentUpdater = nullptr;
    }
}

TEST(MainWindow, ExitTakesTheKeyboardBackAfterABoxAndSpaceAlonePressesIt)
{
    MainWindow window;
    window.show();
    auto *exitButton = child<QPushButton>(window, "pushButton");
    currentUpdater = nullptr;

    // A box of the program had the keyboard and was answered with Return;
    // when it closes, the window takes the keyboard back, with Exit focused.
    QMessageBox box;
    box.setText(QStringLiteral("End"));
    QTimer::singleShot(0, &box, [&box] {
        // Pressed even if the box never became active: the test then
        // fails below, instead of waiting for good.
        (void)QTest::qWaitFor([&box] { return box.isActiveWindow(); });
        QTest::keyClick(&box, Qt::Key_Return);
    });
    box.exec();
    EXPECT_TRUE(QTest::qWaitFor([&window] { return QApplication::activeWindow() == &window; }));
    ASSERT_EQ(QApplication::focusWidget(), exitButton);

    // Return, held or pressed again, and an auto-repeated Space press leave
    // Exit alone; a whole Space press and release presses it.
    QSignalSpy pressed(exitButton, &QPushButton::clicked);
    QTimer::singleShot(0, exitButton, [] {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        for (int i = 0; i < 5; ++i) {
            QKeyEvent held(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, QStringLiteral("\r"), true);
            QApplication::sendEvent(QApplication::focusWidget(), &held);
        }
        QKeyEvent repeated(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "), true);
        QApplication::sendEvent(QApplication::focusWidget(), &repeated);
        QKeyEvent released(QEvent::KeyRelease, Qt::Key_Space, Qt::NoModifier, QStringLiteral(" "), true);
        QApplication::sendEvent(QApplication::focusWidget(), &released);
        QCoreApplication::exit(2);
    });
    QApplication::exec();
    EXPECT_EQ(pressed.count(), 0) << "Exit pressed by Return or an auto-repeated key";

    QTimer::singleShot(0, exitButton, [] { QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space); });
    // Ends a loop that the key did not end, with a code of its own.
    QTimer stuck;
    stuck.setSingleShot(true);
    QObject::connect(&stuck, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    stuck.start(10000);
    EXPECT_EQ(QApplication::exec(), 0) << "Space did not press Exit";
    EXPECT_EQ(pressed.count(), 1);
}
} // namespace
