// The update run: the file's messages go to the instrument one at a time, each
// sent only after the instrument has answered the one before it.
#include "updater.h"

#include "midi/midilink.h"
#include "midi/sysexreceiver.h"
#include "ui/mainwindow.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QMessageBox>
#include <QTimer>

#include <rtmidi/RtMidi.h>

namespace {
void showMessage(const QString &text)
{
    QMessageBox box;
    box.setText(text);
    box.exec();
}

void showSendFailure(const QString &reason)
{
    showMessage(QStringLiteral("Sending to the instrument failed, so the update has stopped.\n") + reason);
}

// For as long as it exists, the receive path wakes this thread's event loop
// the moment it recognises a reply, so that the pauses between replies sleep.
// It exists only during a run, which ends long before the event loop's
// dispatcher does: the MIDI thread never wakes a dispatcher that is gone.
class ReplyWakeUps
{
public:
    ReplyWakeUps() { sysexReceiver.setReplyWaiter(QAbstractEventDispatcher::instance()); }
    ~ReplyWakeUps() { sysexReceiver.setReplyWaiter(nullptr); }
    ReplyWakeUps(const ReplyWakeUps &) = delete;
    ReplyWakeUps &operator=(const ReplyWakeUps &) = delete;
};
} // namespace

void waitWithEvents(int milliseconds)
{
    // The bound, on a monotonic clock (a change of the time of day must not
    // stretch or cut the pause), kept to the millisecond.
    QTimer bound;
    bound.setTimerType(Qt::PreciseTimer);
    bound.setSingleShot(true);
    bound.start(milliseconds);
    // Sleeps until there is something to do: an event for the windows (the
    // Exit click, a repaint, a message box), the bound, or a wake-up from the
    // receive path, which publishes a reply before it wakes this thread.
    // A reply that lands after the caller's last look at it but before this
    // call blocks is not lost: the dispatcher keeps the wake-up (its eventfd
    // stays readable, its posted-event source stays ready) until this thread
    // next looks at its events, so the call then returns without blocking.
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

int progressPercent(int32_t sent, int32_t size)
{
    return static_cast<int>(int64_t(sent) * 100 / size);
}

void Updater::requestAbort()
{
    abortFlag = true;
}

bool Updater::confirmReplace()
{
    const QString text = QStringLiteral("Current firmware version is ")
                         + QString::fromStdString(sysexReceiver.versionString()) + QLatin1Char('\n')
                         + QStringLiteral("New version is ") + QString::fromUtf8(fileVersion())
                         + QLatin1Char('\n') + QStringLiteral("Replace ?");
    QMessageBox box;
    box.setWindowTitle(QStringLiteral("Updater message"));
    box.setText(text);
    box.setStandardButtons(QMessageBox::Yes);
    box.addButton(QMessageBox::No);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

void Updater::run(QString fileName)
{
    // A file that cannot be read whole, or whose last bytes belong to no
    // complete message, is refused before anything is sent: a partly sent
    // firmware is worse than none.
    if (size < 0 || readFile(fileName, size) != 0 || !endsWithCompleteMessage()) {
        showMessage(QStringLiteral("Illegal file."));
        return;
    }
    parseHeader();

    const ReplyWakeUps wakeUps;
    int32_t sent = 0;
    while (sent < size) {
        // Exit (or the window closed) while a box of this run was open: not
        // one more message.
        if (abortFlag)
            return;
        // A reply can only answer a message already sent: one that is still
        // pending now (a version reply the instrument sent on its own, or a
        // duplicate) belongs to no message of this exchange and is dropped.
        // version and versionLength keep what it carried.
        sysexReceiver.takeAck();

        int32_t length = 0;
        try {
            length = midiLink.sendSysex(image.get() + sent, size - sent);
        } catch (const RtMidiError &error) {
            showSendFailure(QString::fromStdString(error.getMessage()));
            return;
        }
        // The rest of a file that ends with 0xF7 always holds a whole
        // message, so nothing was sent because there is no MIDI output; the
        // text names both causes all the same.
        if (length == 0) {
            showSendFailure(QStringLiteral("Nothing could be sent: no MIDI output is open, "
                                           "or no complete message is left in the file."));
            return;
        }

        // Each pause sleeps until a reply, an event for the windows or its
        // end a millisecond on; then the reply is asked for again and Exit
        // looked at.
        while (!sysexReceiver.takeAck()) {
            waitWithEvents(1);
            if (abortFlag)
                return;
        }

        if (awaitingFirstReply) {
            if (sysexReceiver.versionLength.load(std::memory_order_relaxed) != 0
                && !confirmReplace()) {
                abortFlag = true;
                return;
            }
            awaitingFirstReply = false;
            window->setProgress(0);
            window->showTargetVersion(versionText);
        }

        sent += length;
        window->setProgress(progressPercent(sent, size));
    }
    showMessage(QStringLiteral("End"));
}
