// The receive side of the SysEx exchange: the MIDI input callback that
// assembles incoming SysEx messages, and the recognition of the instrument's
// replies, handed over to the GUI thread.
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

// The replies the instrument may send to a message, all of them Universal
// Non-Real-Time messages to device 0x10: the acknowledgement (the MIDI
// standard's handshake ACK for packet 0), the version reply, and the same
// handshake's NAK ("send it again"), WAIT ("I am busy") and CANCEL ("stop").
enum class Reply : unsigned char { None, Acknowledgement, Version, Nak, Wait, Cancel };

// What the instrument last replied, shared between the MIDI input thread
// (writer) and the GUI thread (reader) without a lock.
class SysexReceiver
{
public:
    constexpr SysexReceiver()
        : ackReceived(false), version{}, versionLength(0), reply(Reply::None), versionAnswers(true),
          replyWaiter(nullptr), wakingUp(0)
    {
    }

    // Examines one completed message of length bytes, 0xF0 and 0xF7 included.
    // Runs on the MIDI input thread.
    void handleMessage(const unsigned char *message, int32_t length);

    // The reply that has not been taken yet, once; Reply::None when there is
    // none. Takes it.
    Reply takeReply();
    // True once for each acknowledgement or answering version reply that has
    // not been taken yet. Takes any reply, and drops the others.
    bool takeAck();

    // Whether a version reply answers the message in flight. Only the first
    // message of an update is answered by one; after it, a version reply is
    // an announcement of the instrument's own: its text and length are kept,
    // but it neither answers the message in flight nor withdraws an answer
    // not yet taken. Set on the GUI thread before the message is sent.
    void setVersionAnswers(bool answers);

    // The version text of the last version reply, up to its NUL. Read it after
    // takeAck() has returned true.
    std::string versionString() const;

    // The event loop to wake whenever a reply is recognised: that of the GUI
    // thread while an update waits for replies, so that it can sleep between
    // them. Called on that thread. Given null, returns only once no wake-up
    // of the one before is under way any more, so that its dispatcher may go.
    void setReplyWaiter(QAbstractEventDispatcher *dispatcher);

    // Set by a recognised reply, cleared by every other completed message
    // (an announcement excepted) and by takeReply and takeAck.
    std::atomic<bool> ackReceived;
    // Version text of the last version reply, NUL-terminated. Atomic bytes, so
    // that a reply arriving while the GUI thread reads is no data race.
    std::atomic<char> version[versionCapacity];
    // Payload length that the last version reply declared.
    std::atomic<int32_t> versionLength;
    // Which reply ackReceived announces; written before it, like the version.
    std::atomic<Reply> reply;
    std::atomic<bool> versionAnswers;

private:
    // Runs on the MIDI input thread, right after a reply was published.
    void wakeReplyWaiter();
    // Publishes kind as the reply not yet taken, and wakes the GUI thread.
    void publish(Reply kind);

    std::atomic<QAbstractEventDispatcher *> replyWaiter;
    // Wake-ups under way on the MIDI input thread.
    std::atomic<int> wakingUp;
};

extern SysexReceiver sysexReceiver;

// RtMidi input callback: runs on the MIDI library's thread, allocates nothing
// and never blocks.
void onMidiInput(double timeStamp, std::vector<unsigned char> *bytes, void *userData);
