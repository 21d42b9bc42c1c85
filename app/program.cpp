#include "program.h"

#include "midi/midilink.h"
#include "ui/mainwindow.h"
#include "ui/midiselection.h"
#include "update/updater.h"

#include <QApplication>
#include <QFileDialog>
#include <QIcon>

int runUploader(int argc, char **argv)
{
    // Both windows have fixed pixel geometry, while text grows with the
    // screen's resolution: on a screen of more than 96 dpi (a 4K laptop,
    // Windows at 150 %) the windows must grow with it, or the text no longer
    // fits its place. Qt scales by the screen's dpi / 96 (on X11 the Xft.dpi
    // resource, or else the screen's physical resolution), and only when
    // told before the application object exists.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
#if QT_VERSION >= QT_VERSION_CHECK(5, 14, 0)
    // The factor unrounded: at 125 %, 150 % or 175 % the windows grow by
    // exactly that much and the text inside them is laid out as at 96 dpi,
    // as designed. Rounding (Qt 5's default) would make 150 % windows twice
    // as large, and leave 125 % windows unscaled with 120-dpi text in them.
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
#endif
    QApplication app(argc, argv);
#ifndef Q_OS_WIN
    // Windows takes the program's icon from its executable resources.
    // Elsewhere an installed uploader finds its icon in the desktop's icon
    // theme under the program's id, the name of its menu entry too; run from
    // its build folder it falls back to the compiled-in copy. The desktop
    // file name lets a Wayland desktop match the window with the menu entry.
    const QString appId = QStringLiteral("com.tessarine.Uploader");
    QGuiApplication::setDesktopFileName(appId);
    QApplication::setWindowIcon(QIcon::fromTheme(appId, QIcon(QStringLiteral(":/icons/tessarine-uploader.png"))));
#endif
    MainWindow window;
    midiselection dialog;
    QString fileName;
    currentUpdater = nullptr;

    window.show();
    dialog.setModal(true);
    dialog.show();
    dialog.exec();
    if (dialog.portConfirmed != 1) {
        QCoreApplication::quit();
        // Ports that could not be opened end the run as a failure.
        return dialog.portConfirmed < 0 ? 1 : 0;
    }

    window.showSelectedPort(midiLink.selectedPortName);
    window.showOutputPort(midiLink.outputPortName);
    fileName = QFileDialog::getOpenFileName(nullptr, QStringLiteral("Select file"), QString(),
                                            QStringLiteral("Tessarine updater files (*.tsu)"));
    if (fileName == QString())
        return 0;

    currentUpdater = new Updater(fileName, &window);
    currentUpdater->run(fileName);
    // An Exit click (or a close of the window) during the update was
    // delivered while no event loop ran, so its quit request went nowhere: it
    // ends the program here instead. An event loop with no window to click
    // Exit in would never end.
    if (!MainWindow::exitRequested() && window.isVisible())
        app.exec();
    return 0;
}
