// The update run: the file's messages go to the instrument one at a time, each
// sent only after the instrument has answered the one before it.
#include "updater.h"

#include "midi/midilink.h"
#include "midi/sysexreceiver.h"
#include "ui/mainwindow.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMessageBox>

#include <rtmidi/RtMidi.h>


namespace {
void showMessage(const QString &text)
{
    QMessageBox box;
    box.setText(text);
    box.exec();
}
} // namespace

void waitWithEvents(int milliseconds, const std::atomic<bool> *wakeFlag)
{
    // A monotonic clock: a change of the time of day during an update must not
    // stretch or cut the wait.
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < milliseconds) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
        // Relaxed: only a hint to stop waiting; the reply itself is taken,
        // with acquire, by the caller.
        if (wakeFlag && wakeFlag->load(std::memory_order_relaxed))
            return;
    }
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

    int32_t sent = 0;
    while (sent < size) {
        // A reply can only answer a message already sent: one that is still
        // pending now (a version reply the instrument sent on its own, or a
        // duplicate) belongs to no message of this exchange and is dropped.
        // version and versionLength keep what it carried.
        sysexReceiver.takeAck();

        int32_t length = 0;
        try {
            length = midiLink.sendSysex(image.get() + sent, size - sent);
        } catch (const RtMidiError &error) {
            showMessage(QStringLiteral("Sending to the instrument failed, so the update has stopped.\n")
                        + QString::fromStdString(error.getMessage()));
            return;
        }
        if (length == 0) {
            // Cannot happen for a file that ends with 0xF7; never spin on it.
            showMessage(QStringLiteral("Illegal file."));
            return;
        }

        // The pause ends as soon as a reply is pending, so the next message
        // goes out within microseconds of the reply rather than up to a
        // millisecond later.
        while (!sysexReceiver.takeAck()) {
            waitWithEvents(1, &sysexReceiver.ackReceived);
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
