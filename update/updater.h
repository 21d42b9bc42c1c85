// One firmware update: the update file in memory, its header message, and the
// run that sends it to the instrument message by message.
#pragma once

#include "update/filecheck.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>

class MainWindow;

// Length in bytes of the named file; 0 when it cannot be opened, -1 when it
// is too large to be held (2^31 bytes or more).
int32_t fileSize(const QString &fileName);

// The share of an update file sent so far, in whole percent (the remainder
// discarded). Formed in 64 bits: sent × 100 overflows 32 bits from files of
// 21,474,837 bytes on.
int progressPercent(int32_t sent, int32_t size);

// One pause of an update: sleeps for at most the given number of
// milliseconds while Qt events are processed, so the windows stay responsive
// and the Exit button can be clicked. It ends early, after the events
// processed, when an event arrives or the receive path recognises a reply.
// The update's pauses are bounded by a second: they end with the reply.
void waitWithEvents(int milliseconds);

// The MIDI service of the open output port, whose limits a file is checked
// against; Other where no output is open.
MidiService openMidiService();

class Updater
{
public:
    Updater(QString fileName, MainWindow *window);
    Updater(const Updater &) = delete;
    Updater &operator=(const Updater &) = delete;

    // Performs the whole update; returns once it has ended, however it ended.
    void run(QString fileName);
    // Asks a running update to stop at its next check.
    void requestAbort();
    // Asks the user whether to replace the instrument's firmware; true on Yes.
    bool confirmReplace();

    // Reads the whole file into image: 0 when exactly length bytes were read,
    // -1 otherwise, with the reason in readProblem. A length below 0 is that
    // of a file too large to be held. A length of 0 (a file whose size said
    // 0) reads whatever the file holds, and size becomes its length.
    int32_t readFile(const QString &fileName, int32_t length);
    // Reads the header message at the start of image into formatNumber,
    // headerNumbers and versionText. versionText stays empty unless accepted.
    void parseHeader();
    // The file's version text: the bytes of image from offset 33 up to its
    // 0x00 or the header message's 0xF7, whichever comes first.
    QByteArray fileVersion() const;

    int32_t size;
    std::unique_ptr<unsigned char[]> image;
    bool abortFlag;
    QString fileName;
    bool awaitingFirstReply;
    MainWindow *window;
    int32_t formatNumber = 0;
    int32_t headerNumbers[6] = {};
    char versionText[20] = {};
    // Why readFile failed, in words for the user.
    QString readProblem;
    // How long the instrument may stay silent after a message, in
    // milliseconds, before the main window says that the update waits for it
    // (the time the message and its reply take on a MIDI cable comes on top).
    int silenceNoteDelay = 5000;
};
