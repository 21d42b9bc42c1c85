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
    fileName = QFileDialog::getOpenFileName(nullptr, QStringLiteral("Select file"), QString(),
                                            QStringLiteral("Tessarine updater files (*.tsu)"));
    if (fileName == QString())
        return 0;

    currentUpdater = new Updater(fileName, &window);
    currentUpdater->run(fileName);
    // An Exit click during the update was delivered while no event loop ran,
    // so its quit request went nowhere: it ends the program here instead.
    if (!MainWindow::exitRequested())
        app.exec();
    return 0;
}
