// The main window as the user sees it, and its Exit button.
#include "ui/mainwindow.h"
#include "update/updater.h"

#include <QApplication>
#include <QLabel>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

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
         "color: transparent;\nborder-style:solid;\nbackground-color: rgb(0, 0, 128);\n"},
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
    EXPECT_EQ(names, QStringList({"labelMIDIportName", "label", "pushButton", "labelVersion",
                                  "progressBar", "labelPercent", "labelMsg"}));
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

TEST(MainWindow, ShowsTheTargetVersion)
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
}

TEST(MainWindow, ExitEndsTheEventLoopWithOrWithoutAnUpdate)
{
    MainWindow window;
    window.show();
    auto *exitButton = child<QPushButton>(window, "pushButton");

    // Before an update exists: only the event loop ends.
    currentUpdater = nullptr;
    QTimer::singleShot(0, exitButton, [exitButton] { QTest::mouseClick(exitButton, Qt::LeftButton); });
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_TRUE(MainWindow::exitRequested());

    // With an update: it is asked to stop first.
    Updater updater(QStringLiteral("/nonexistent.tsu"), &window);
    currentUpdater = &updater;
    QTimer::singleShot(0, exitButton, [exitButton] { QTest::mouseClick(exitButton, Qt::LeftButton); });
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_TRUE(updater.abortFlag);
    currentUpdater = nullptr;
}
} // namespace
