#include "sysexreceiver.h"

#include <QAbstractEventDispatcher>

#include <algorithm>
#include <thread>

unsigned char rxBuffer[rxCapacity];
int32_t rxLength = 0;

namespace {
// The MIDI standard's handshake messages for device 0x10 and packet 0:
// F0 7E 10 <sub-ID> 00 F7.
constexpr int32_t handshakeLength = 6;
const unsigned char handshakeStart[] = {0xF0, 0x7E, 0x10};

Reply handshakeReply(const unsigned char *message, int32_t length)
{
    if (length != handshakeLength || !std::equal(handshakeStart, handshakeStart + 3, message) || message[4] != 0x00
        || message[5] != 0xF7)
        return Reply::None;
    switch (message[3]) {
    case 0x7F:
        return Reply::Acknowledgement;
    case 0x7E:
        return Reply::Nak;
    case 0x7C:
        return Reply::Wait;
    case 0x7D:
        return Reply::Cancel;
    default:
        return Reply::None;
    }
}
const unsigned char versionReplyStart[] = {0xF0, 0x7E, 0x10, 0x07, 0x02, 0x76, 0x65, 0x72, 0x2E};
constexpr int32_t versionPayloadOffset = 13;

bool startsWith(const unsigned char *message, int32_t length, const unsigned char *prefix,
                int32_t prefixLength)
{
    return length >= prefixLength && std::equal(prefix, prefix + prefixLength, message);
}
} // namespace

void SysexReceiver::publish(Reply kind)
{
    // Relaxed: made visible to the GUI thread by the release store below.
    reply.store(kind, std::memory_order_relaxed);
    // Release: pairs with the acquire in takeReply.
    ackReceived.store(true, std::memory_order_release);
    wakeReplyWaiter();
}

void SysexReceiver::handleMessage(const unsigned char *message, int32_t length)
{
    const bool versionReply = startsWith(message, length, versionReplyStart, sizeof versionReplyStart);
    // Acquire: pairs with the release in setVersionAnswers, so that a version
    // reply to a message sent after the switch is judged by it.
    const bool answers = !versionReply || versionAnswers.load(std::memory_order_acquire);
    // Every other completed message withdraws a reply that has not been taken
    // yet. An announcement does not: it belongs to no exchange, and an
    // acknowledgement it withdrew would leave the update waiting for ever.
    // Relaxed: the GUI thread learns nothing from a cleared flag.
    if (answers)
        ackReceived.store(false, std::memory_order_relaxed);

    if (const Reply kind = handshakeReply(message, length); kind != Reply::None) {
        publish(kind);
        return;
    }

    if (!versionReply)
        return;
    // The payload must lie before the closing 0xF7 (at length - 1). A reply
    // whose length bytes or declared payload reach past it is garbled and
    // ignored: it is not taken for a reply.
    const int32_t end = length - 1;
    if (versionPayloadOffset > end)
        return;
    const int32_t declared = ((int32_t(message[9]) * 128 + message[10]) * 128 + message[11]) * 128
                             + message[12];
    if (declared > end - versionPayloadOffset)
        return;
    // A longer text than version can hold is cut to its first 22 bytes.
    const int32_t kept = std::min(declared, versionCapacity - 1);

    // Relaxed: these stores become visible to the GUI thread through the
    // release store of ackReceived below.
    versionLength.store(declared, std::memory_order_relaxed);
    for (int32_t i = 0; i < kept; ++i)
        version[i].store(static_cast<char>(message[versionPayloadOffset + i]), std::memory_order_relaxed);
    version[kept].store('\0', std::memory_order_relaxed);
    // The release store in publish makes the length and text written above
    // visible with the reply. An announcement publishes nothing: its text
    // is read only with the answer to the first message of an update.
    if (answers)
        publish(Reply::Version);
}

// The reply is published before the waiting thread is woken, never after:
// a thread woken too early would find no reply, and sleep again until the
// end of its pause.
//
// QAbstractEventDispatcher::wakeUp() is thread-safe, and in the dispatchers
// the GUI thread runs (Qt 5.15) it neither allocates nor takes a lock:
// - glib (the default on Linux): an atomic increment of the posted-event
//   source's serial number, then g_main_context_wakeup(), which checks the
//   context's reference count atomically and writes to its eventfd (a pipe
//   where there is none);
// - UNIX (Qt without glib, or QT_NO_GLIB=1 in the environment): an atomic
//   test-and-set and, only when no wake-up is pending yet, an eventfd (or
//   pipe) write;
// - Windows: the same test-and-set, then PostMessage() of one message to
//   the thread's internal window (only a failure of PostMessage allocates,
//   for its warning).
// The wake-up is kept until the woken thread next looks at its events, so
// one sent before that thread blocks makes it not block at all.
void SysexReceiver::wakeReplyWaiter()
{
    // Sequentially consistent, both, against setReplyWaiter(nullptr), which
    // clears the pointer and then waits for wakingUp to read 0: either this
    // increment comes first and the GUI thread waits for the decrement, or
    // the load below comes after the clear and finds null.
    wakingUp.fetch_add(1);
    if (QAbstractEventDispatcher *waiter = replyWaiter.load())
        waiter->wakeUp();
    // Release: the call above is over before the GUI thread sees 0.
    wakingUp.fetch_sub(1, std::memory_order_release);
}

void SysexReceiver::setReplyWaiter(QAbstractEventDispatcher *dispatcher)
{
    // Sequentially consistent: see wakeReplyWaiter.
    replyWaiter.store(dispatcher);
    if (dispatcher)
        return;
    // A wake-up under way takes a few microseconds.
    while (wakingUp.load() != 0)
        std::this_thread::yield();
}

Reply SysexReceiver::takeReply()
{
    // One atomic read-and-clear, so a reply set between a separate read and
    // clear cannot be lost. Acquire: pairs with the release in publish,
    // making reply, versionLength and version complete for the caller.
    if (!ackReceived.exchange(false, std::memory_order_acquire))
        return Reply::None;
    // Relaxed: ordered after the acquire above. A later reply may have
    // replaced it since; the later one is what the instrument says now.
    return reply.load(std::memory_order_relaxed);
}

bool SysexReceiver::takeAck()
{
    const Reply taken = takeReply();
    return taken == Reply::Acknowledgement || taken == Reply::Version;
}

void SysexReceiver::setVersionAnswers(bool answers)
{
    // Release: pairs with the acquire in handleMessage.
    versionAnswers.store(answers, std::memory_order_release);
}

std::string SysexReceiver::versionString() const
{
    std::string text;
    for (int32_t i = 0; i < versionCapacity; ++i) {
        // Relaxed: ordered after the caller's acquiring takeAck.
        const char c = version[i].load(std::memory_order_relaxed);
        if (c == '\0')
            break;
        text.push_back(c);
    }
    return text;
}

void onMidiInput(double, std::vector<unsigned char> *bytes, void *)
{
    if (!bytes)
        return;
    for (const unsigned char b : *bytes) {
        if (b > 0xF7)
            continue; // real-time bytes may stand anywhere, even inside a SysEx message
        if (b < 0x80) {
            if (rxBuffer[0] != 0xF0)
                continue; // no message begun: data bytes are dropped
            if (rxLength >= rxCapacity - 1) {
                // No room left for this byte and the closing 0xF7: abandon the
                // message and wait for the next 0xF0.
                rxBuffer[0] = 0;
                rxLength = 0;
                continue;
            }
            rxBuffer[rxLength++] = b;
        } else if (b == 0xF0) {
            rxBuffer[0] = 0xF0;
            rxLength = 1;
        } else if (b == 0xF7) {
            // An 0xF7 completes the message begun by the last 0xF0, once. One
            // with no message begun (a stray 0xF7, or data bytes and an 0xF7
            // with no 0xF0 before them) completes nothing: handed over again,
            // the last message would pass for a new reply.
            if (rxBuffer[0] != 0xF0)
                continue;
            rxBuffer[rxLength] = 0xF7;
            sysexReceiver.handleMessage(rxBuffer, rxLength + 1);
            rxBuffer[0] = 0;
        } else {
            // Any other status byte (0x80 to 0xEF, 0xF1 to 0xF6) ends a SysEx
            // message unfinished, as MIDI 1.0 has it: the message is
            // abandoned, and the data bytes after it belong to that status.
            // Kept, they could make a reply out of two messages (a merger's
            // Note On inside a cut reply).
            rxBuffer[0] = 0;
            rxLength = 0;
        }
    }
}
