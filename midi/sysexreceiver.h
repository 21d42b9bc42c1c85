// The receive side of the SysEx exchange: the MIDI input callback that
// assembles incoming SysEx messages, and the recognition of the instrument's
// two replies, handed over to the GUI thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

class QAbstractEventDispatcher;

// Capacity of the receive buffer: 0xF0, up to 298 data bytes and 0xF7.
constexpr int32_t rxCapacity = 300;
// Room for the version text: up to 22 bytes and a NUL.
constexpr int32_t versionCapacity = 23;

// The message being collected. Touched only by the MIDI input thread. Its
// first byte is 0xF0 from an 0xF0 up to the 0xF7 that completes the message,
// and 0 otherwise: data bytes and 0xF7 are then outside any message.
extern unsigned char rxBuffer[rxCapacity];
extern int32_t rxLength;

// What the instrument last replied, shared between the MIDI input thread
// (writer) and the GUI thread (reader) without a lock.
class SysexReceiver
{
public:
    constexpr SysexReceiver() : ackReceived(false), version{}, versionLength(0), replyWaiter(nullptr), wakingUp(0)
    {
    }

    // Examines one completed message of length bytes, 0xF0 and 0xF7 included.
    // Runs on the MIDI input thread.
    void handleMessage(const unsigned char *message, int32_t length);

    // True once for each reply that has not been taken yet; clears it.
    bool takeAck();

    // The version text of the last version reply, up to its NUL. Read it after
    // takeAck() has returned true.
    std::string versionString() const;

    // The event loop to wake whenever a reply is recognised: that of the GUI
    // thread while an update waits for replies, so that it can sleep between
    // them. Called on that thread. Given null, returns only once no wake-up
    // of the one before is under way any more, so that its dispatcher may go.
    void setReplyWaiter(QAbstractEventDispatcher *dispatcher);

    // Set by a recognised reply, cleared by every completed message and by takeAck.
    std::atomic<bool> ackReceived;
    // Version text of the last version reply, NUL-terminated. Atomic bytes, so
    // that a reply arriving while the GUI thread reads is no data race.
    std::atomic<char> version[versionCapacity];
    // Payload length that the last version reply declared.
    std::atomic<int32_t> versionLength;

private:
    // Runs on the MIDI input thread, right after a reply was published.
    void wakeReplyWaiter();

    std::atomic<QAbstractEventDispatcher *> replyWaiter;
    // Wake-ups under way on the MIDI input thread.
    std::atomic<int> wakingUp;
};

extern SysexReceiver sysexReceiver;

// RtMidi input callback: runs on the MIDI library's thread, allocates nothing
// and never blocks.
void onMidiInput(double timeStamp, std::vector<unsigned char> *bytes, void *userData);
