// The update run: the file's messages go to the instrument one at a time, each
// sent only after the instrument has answered the one before it.
#include "updater.h"

#include "midi/midilink.h"
#include "midi/sysexmessage.h"
#include "midi/sysexreceiver.h"
#include "ui/mainwindow.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>

#include <rtmidi/RtMidi.h>

namespace {
// A 5-pin MIDI cable carries 31,250 baud: 3,125 bytes a second.
constexpr int cableBytesPerSecond = 3125;
// The bound of each pause while a reply is awaited, in milliseconds. A pause
// ends when the receive path wakes this thread with a reply, or at any event
// for the windows, so the bound is only a safety: were a wake-up ever lost
// (on Windows it is a posted message, which a full message queue refuses),
// the reply would be seen a second late instead of never. A shorter bound
// would wake the thread for nothing while a slow cable carries a message.
constexpr int replyWaitBound = 1000;
// The most bytes of the file's version text the replacement question shows.
constexpr int versionShownInQuestion = 64;
// How often the wait note, once shown, looks again at what it says, in
// milliseconds.
constexpr int noteRecheckInterval = 2000;
// NAKs in a row for one message after which the update stops.
constexpr int maxNaksInARow = 3;

// A box of the update with the user's text, and the reason and what to do
// as its informative text. Plain text, both: they may quote a file, a port
// name or the MIDI library, which must be shown as they are.
void showMessage(const QString &text, const QString &informative = QString())
{
    QMessageBox box;
    box.setTextFormat(Qt::PlainText);
    box.setText(text);
    if (!informative.isEmpty()) {
        box.setInformativeText(informative);
        // The informative text's label guesses its format on its own.
        if (auto *label = box.findChild<QLabel *>(QStringLiteral("qt_msgbox_informativelabel")))
            label->setTextFormat(Qt::PlainText);
    }
    box.exec();
}

void showSendFailure(int32_t number, int32_t count, int32_t length, const QString &reason)
{
    showMessage(QStringLiteral("Sending to the instrument failed, so the update has stopped.\n")
                + QStringLiteral("Message %1 of %2 (%3 bytes): ").arg(number).arg(count).arg(length) + reason);
}

const QString nothingSent = QStringLiteral("Nothing was sent to the instrument.");

// The file cannot be used: why, and what to do.
void showIllegalFile(const QString &why, const QString &whatToDo)
{
    showMessage(QStringLiteral("Illegal file."), why + QStringLiteral("\n\n") + whatToDo + QLatin1Char(' ')
                                                   + nothingSent);
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

MidiService openMidiService()
{
    if (!midiOut)
        return MidiService::Other;
    switch (midiOut->getCurrentApi()) {
    case RtMidi::UNIX_JACK:
        return MidiService::Jack;
    case RtMidi::LINUX_ALSA:
        return MidiService::Alsa;
    case RtMidi::WINDOWS_MM:
        return MidiService::WindowsMultimedia;
    default:
        return MidiService::Other;
    }
}

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
    // A version text is a few characters; a header without its 0x00 could
    // make it as long as the header message, which no box shows whole.
    QByteArray newVersion = fileVersion();
    if (newVersion.size() > versionShownInQuestion)
        newVersion = newVersion.left(versionShownInQuestion) + "\xE2\x80\xA6"; // "…" in UTF-8
    const QString text = QStringLiteral("Current firmware version is ")
                         + QString::fromStdString(sysexReceiver.versionString()) + QLatin1Char('\n')
                         + QStringLiteral("New version is ") + QString::fromUtf8(newVersion)
                         + QLatin1Char('\n') + QStringLiteral("Replace ?");
    QMessageBox box;
    box.setWindowTitle(QStringLiteral("Updater message"));
    // Both versions come from outside, the instrument's and the file's: as
    // rich text, markup in either could hide part of the question.
    box.setTextFormat(Qt::PlainText);
    box.setText(text);
    box.setStandardButtons(QMessageBox::Yes);
    box.addButton(QMessageBox::No);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

void Updater::run(QString fileName)
{
    // A file that cannot be read whole, whose last bytes belong to no
    // complete message, or that holds a message the open MIDI service cannot
    // carry as it is, is refused before anything is sent: a partly sent
    // firmware is worse than none.
    if (readFile(fileName, size) != 0) {
        showIllegalFile(readProblem, QStringLiteral("Choose the update file itself, as you received it."));
        return;
    }
    const FileCheck check = checkUpdateFile(image.get(), size);
    if (const FileFinding *refusal = check.refusal(openMidiService())) {
        const bool damaged = refusal->kind == FileFinding::Kind::BytesAfterLastMessage;
        showIllegalFile(QString::fromStdString(refusal->text),
                        damaged ? QStringLiteral("The file is cut short or damaged: get it again.")
                                : QStringLiteral("Connect the instrument through another MIDI service, or ask for "
                                                 "an update file made for this one (tsu-check tells which "
                                                 "services carry a file)."));
        return;
    }
    parseHeader();

    const ReplyWakeUps wakeUps;
    // The first message is answered by the first reply after it, an
    // acknowledgement or a version reply; every later one by an
    // acknowledgement only.
    sysexReceiver.setVersionAnswers(true);
    // The message in flight: its number in the file and its length.
    int32_t number = 1;
    int32_t length = 0;
    // NAKs in a row for the message in flight.
    int naks = 0;
    // Whether the instrument has asked, with a WAIT, to wait for its answer.
    bool asked = false;

    // Says, after a silence longer than a healthy instrument's, that the
    // update is waiting and for what. A timer of its own: the wait for the
    // reply sleeps until something happens, and this is something.
    QTimer silence;
    silence.setSingleShot(true);
    // The note shown, to be shown again only when it changes.
    QString noteShown;
    const auto showWaitNote = [&] {
        const QString message = QStringLiteral("message %1 of %2").arg(number).arg(check.messages);
        QString note;
        if (!midiLink.inputPortListed()) {
            note = QStringLiteral("The instrument's MIDI port \u201c%1\u201d has gone (it was unplugged or "
                                  "switched off) while the update waited for its answer to %2. Exit ends the "
                                  "program.")
                       .arg(midiLink.selectedPortName, message);
        } else if (asked) {
            note = QStringLiteral("The instrument asked the update to wait: it is busy with %1. The update goes "
                                  "on when the instrument answers. Exit stops the update.")
                       .arg(message);
        } else {
            note = QStringLiteral("Waiting for the instrument to answer %1, sent to the MIDI output port "
                                  "\u201c%2\u201d. Check that this is the instrument's port, that the "
                                  "instrument is in its update mode and that its cable is plugged in. Exit stops "
                                  "the update.")
                       .arg(message, midiLink.outputPortName);
        }
        if (note != noteShown || !window->waitNoteShown())
            window->showWaitNote(note);
        noteShown = note;
    };
    QObject::connect(&silence, &QTimer::timeout, [&] {
        showWaitNote();
        // While the note shows, it is looked at again now and then: an
        // instrument unplugged during the wait is then said to be gone.
        silence.start(noteRecheckInterval);
    });
    // A healthy instrument answers within the time the message and its
    // reply take on a 5-pin MIDI cable and a little more (writing to its
    // flash); well beyond that, the user is told what the update waits for.
    const auto startSilenceClock = [&] {
        silence.start(silenceNoteDelay + int(int64_t(length + rxCapacity) * 1000 / cableBytesPerSecond));
    };

    int32_t sent = 0;
    // The percentage the main window shows; none yet.
    int shownPercent = -1;
    // Sends the message at offset sent (again, after a NAK) and starts the
    // clock of the silence note. False when the run is to end: after Exit
    // (or the window closed) while a box of this run was open not one more
    // message goes, and a failed send has been reported.
    const auto sendNext = [&] {
        if (abortFlag)
            return false;
        // A reply can only answer a message already sent: one that is still
        // pending now (a version reply the instrument sent on its own, or a
        // duplicate) belongs to no message of this exchange and is dropped.
        // version and versionLength keep what it carried.
        sysexReceiver.takeReply();
        asked = false;

        length = sysexMessageLength(image.get() + sent, size - sent);
        try {
            // The rest of a file that passed the check always holds a whole
            // message, so nothing is sent only when there is no MIDI output.
            if (midiLink.sendSysex(image.get() + sent, size - sent) == 0) {
                showSendFailure(number, check.messages, length,
                                QStringLiteral("Nothing could be sent: no MIDI output is open."));
                return false;
            }
        } catch (const RtMidiError &error) {
            showSendFailure(number, check.messages, length, QString::fromStdString(error.getMessage()));
            return false;
        }
        startSilenceClock();
        return true;
    };

    if (sent < size && !sendNext())
        return;
    while (sent < size) {
        // Each pause sleeps until a reply, an event for the windows (Exit,
        // the note's timer) or its long bound; then the reply is asked for
        // again and Exit looked at.
        Reply reply;
        while ((reply = sysexReceiver.takeReply()) == Reply::None) {
            waitWithEvents(replyWaitBound);
            if (abortFlag)
                return;
        }
        if (reply == Reply::Wait) {
            // Busy (erasing, writing its flash): the answer comes later. The
            // clock starts again, and the note, shown now or later, says the
            // instrument asked for the wait.
            asked = true;
            startSilenceClock();
            if (window->waitNoteShown())
                showWaitNote();
            continue;
        }
        silence.stop();
        window->hideWaitNote();

        if (reply == Reply::Cancel) {
            showMessage(QStringLiteral("The instrument cancelled the update at message %1 of %2, so the update "
                                       "has stopped. Nothing more was sent to it.")
                            .arg(number)
                            .arg(check.messages));
            return;
        }
        if (reply == Reply::Nak) {
            // The message arrived damaged: it goes again, as it is, a few
            // times; an instrument that refuses it every time will not take it.
            if (++naks >= maxNaksInARow) {
                showMessage(QStringLiteral("The instrument refused message %1 of %2 (%3 bytes) %4 times in a "
                                           "row, so the update has stopped.")
                                .arg(number)
                                .arg(check.messages)
                                .arg(length)
                                .arg(naks),
                            QStringLiteral("Check the cable and the MIDI interface, then start the update "
                                           "again. Nothing more was sent to the instrument."));
                return;
            }
            if (!sendNext())
                return;
            continue;
        }
        naks = 0;

        if (awaitingFirstReply) {
            // From here on, a version reply is the instrument's announcement.
            sysexReceiver.setVersionAnswers(false);
            if (sysexReceiver.versionLength.load(std::memory_order_relaxed) != 0
                && !confirmReplace()) {
                abortFlag = true;
                return;
            }
            awaitingFirstReply = false;
            window->setProgress(0);
            shownPercent = 0;
            window->showTargetVersion(versionText);
        }

        sent += length;
        ++number;
        // The next message leaves before the display is brought up to date,
        // which the instrument need not wait for; and the display is touched
        // only when its number changes: a hundred times in an update, where
        // there can be thousands of messages, each of which would otherwise
        // wait, with a quick instrument, for the window's work on the one
        // before.
        const bool goesOn = sent >= size || sendNext();
        if (const int percent = progressPercent(sent, size); percent != shownPercent) {
            window->setProgress(percent);
            shownPercent = percent;
        }
        if (!goesOn)
            return;
    }
    showMessage(QStringLiteral("End"), check.messages == 0
                                           ? QStringLiteral("The file holds no message, so nothing was sent to "
                                                            "the instrument.")
                                           : QString());
}
