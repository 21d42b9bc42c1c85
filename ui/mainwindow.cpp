#include "mainwindow.h"

#include "keyboardreturn.h"
#include "labeltext.h"
#include "ui_mainwindow.h"
#include "update/updater.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QLabel>

Updater *currentUpdater = nullptr;

namespace {
bool exitClicked = false;

const QString waitNoteName = QStringLiteral("labelWaitNote");

// The wait note as a screen reader meets it: a notification, which it
// announces the moment it shows, with the note's text as its name.
class WaitNoteAccessible : public QAccessibleWidget
{
public:
    explicit WaitNoteAccessible(QWidget *note)
#if QT_VERSION >= QT_VERSION_CHECK(5, 15, 0)
        : QAccessibleWidget(note, QAccessible::Notification)
#else
        : QAccessibleWidget(note, QAccessible::AlertMessage)
#endif
    {
    }
    QString text(QAccessible::Text t) const override
    {
        if (t == QAccessible::Name)
            return static_cast<QLabel *>(widget())->text();
        return QAccessibleWidget::text(t);
    }
};

QAccessibleInterface *waitNoteAccessible(const QString &, QObject *object)
{
    auto *note = qobject_cast<QLabel *>(object);
    return note && note->objectName() == waitNoteName ? new WaitNoteAccessible(note) : nullptr;
}
} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
{
    ui = new Ui_MainWindow;
    ui->setupUi(this);
    // Each call replaces the whole set; only the last decides: frameless, fixed size.
    setWindowFlags(Qt::MSWindowsFixedSizeDialogHint);
    setWindowFlags(Qt::CustomizeWindowHint);
    setWindowFlags(Qt::FramelessWindowHint);
    setWindowFlags(windowFlags() | Qt::MSWindowsFixedSizeDialogHint);
    ui->progressBar->setVisible(false);
    ui->labelPercent->setVisible(false);
    ui->labelMsg->setVisible(false);

    // Where each status text may grow when a font draws it wider than the
    // form allows for. The port line and the percentage have free space to
    // their right: the port line up to the version text, the percentage up
    // to the window's edge. The message line and the version text are boxes
    // of their own, centred, and keep their width.
    QLabel *port = ui->labelMIDIportName;
    port->setMinimumWidth(port->width());
    port->setMaximumWidth(ui->labelVersion->x() - port->x());
    QLabel *percent = ui->labelPercent;
    percent->setMinimumWidth(percent->width());
    percent->setMaximumWidth(width() - percent->x());
    ui->labelMsg->setFixedWidth(ui->labelMsg->width());
    ui->labelVersion->setFixedWidth(ui->labelVersion->width());
    showWholeText(ui->labelVersion, QStringLiteral("Updater version 1.0.2"));

    // Exit by keyboard: when the window has the keyboard, Exit, its only
    // focusable widget, has the focus, and Space presses it (on the key's
    // release, never on an auto-repeated press). Return does not: a Return
    // that answers one of the program's boxes, held a moment too long or
    // pressed once more, would land on Exit as the window takes the keyboard
    // back, and abort the update it had just confirmed.
    ui->pushButton->setAutoDefault(false);
    ui->pushButton->setDefault(false);
    new KeyboardReturn(this);

    // For a screen reader: what the widgets without a text of their own are,
    // and what Exit does. (The labels are read by their texts.)
    ui->label->setAccessibleName(QStringLiteral("Tessarine logo"));
    ui->progressBar->setAccessibleName(QStringLiteral("Update progress"));
    ui->progressBar->setAccessibleDescription(QStringLiteral("Share of the update file sent to the instrument, in percent"));
    ui->pushButton->setAccessibleDescription(QStringLiteral("Ends the program; stops an update that is running"));

    // The wait note: in the free band between the version line and the logo,
    // where it covers no designed text; amber, as a note that asks for a look.
    static const bool noteFactoryInstalled = (QAccessible::installFactory(&waitNoteAccessible), true);
    (void)noteFactoryInstalled;
    auto *note = new QLabel(ui->centralWidget);
    note->setObjectName(waitNoteName);
    note->setGeometry(30, 186, 625, 50);
    note->setStyleSheet(QStringLiteral("color: rgb(255, 191, 0);"));
    note->setTextFormat(Qt::PlainText);
    note->setWordWrap(true);
    note->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    note->setVisible(false);
}

MainWindow::~MainWindow()
{
    delete ui;
}

void MainWindow::showSelectedPort(const QString &name)
{
    // The form's placeholder carried the line's green in its rich text; the
    // port line is plain text, which would be black on the black window, so
    // the label takes the colour itself.
    ui->labelMIDIportName->setStyleSheet(QStringLiteral("color: rgb(0, 255, 0);"));
    showWholeText(ui->labelMIDIportName, QStringLiteral("Selected MIDI port: ") + name);
}

void MainWindow::setProgress(int percent)
{
    // The number first: a new value makes the bar repaint the window at once
    // (QProgressBar::setValue paints before it returns), and that paint then
    // takes the number along, where it would otherwise cost a second paint
    // of the window while the update waits for the instrument's reply.
    ui->labelPercent->setVisible(true);
    showWholeText(ui->labelPercent, QString::asprintf("%d", percent) + QLatin1Char('%'));
    ui->progressBar->setVisible(true);
    ui->progressBar->setValue(percent);
}

void MainWindow::showOutputPort(const QString &name)
{
    QLabel *port = ui->labelMIDIportName;
    const QString line = port->property(wholeTextProperty).toString();
    port->setToolTip(plainToolTip(line + QStringLiteral("\nMIDI output port: ") + name));
    port->setAccessibleDescription(QStringLiteral("Messages go to the MIDI output port ") + name);
}

void MainWindow::showWaitNote(const QString &text)
{
    auto *note = findChild<QLabel *>(waitNoteName);
    note->setText(text);
    // A long port name can take the note past its band: a smaller font then.
    QFont font = note->font();
    for (int size : {9, 8, 7}) {
        font.setPointSize(size);
        note->setFont(font);
        if (note->heightForWidth(note->width()) <= note->height())
            break;
    }
    note->setVisible(true);
}

void MainWindow::hideWaitNote()
{
    findChild<QLabel *>(waitNoteName)->setVisible(false);
}

bool MainWindow::waitNoteShown() const
{
    return findChild<QLabel *>(waitNoteName)->isVisible();
}

void MainWindow::showTargetVersion(const char *version)
{
    ui->labelMsg->setVisible(true);
    showWholeText(ui->labelMsg, QStringLiteral("Updating to version ") + QString::fromUtf8(version ? version : ""));
}

bool MainWindow::exitRequested()
{
    return exitClicked;
}

void MainWindow::on_pushButton_clicked()
{
    if (currentUpdater)
        currentUpdater->requestAbort();
    exitClicked = true;
    QCoreApplication::quit();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    on_pushButton_clicked();
    event->accept();
}
