#include "sysexreceiver.h"

#include <QAbstractEventDispatcher>

#include <algorithm>
#include <thread>

unsigned char rxBuffer[rxCapacity];
int32_t rxLength = 0;

namespace {
const unsigned char acknowledgement[] = {0xF0, 0x7E, 0x10, 0x7F, 0x00, 0xF7};
const unsigned char versionReplyStart[] = {0xF0, 0x7E, 0x10, 0x07, 0x02, 0x76, 0x65, 0x72, 0x2E};
constexpr int32_t versionPayloadOffset = 13;

bool startsWith(const unsigned char *message, int32_t length, const unsigned char *prefix,
                int32_t prefixLength)
{
    return length >= prefixLength && std::equal(prefix, prefix + prefixLength, message);
}
} // namespace

void SysexReceiver::handleMessage(const unsigned char *message, int32_t length)
{
    // Every completed message withdraws a reply that has not been taken yet.
    // Relaxed: the GUI thread learns nothing from a cleared flag.
    ackReceived.store(false, std::memory_order_relaxed);

    if (length == int32_t(sizeof acknowledgement)
        && startsWith(message, length, acknowledgement, sizeof acknowledgement)) {
        // Release: pairs with the acquire in takeAck.
        ackReceived.store(true, std::memory_order_release);
        wakeReplyWaiter();
        return;
    }

    if (!startsWith(message, length, versionReplyStart, sizeof versionReplyStart))
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
    // Release: publishes the length and text written above.
    ackReceived.store(true, std::memory_order_release);
    wakeReplyWaiter();
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

bool SysexReceiver::takeAck()
{
    // One atomic read-and-clear, so a reply set between a separate read and
    // clear cannot be lost. Acquire: pairs with the release in handleMessage,
    // making versionLength and version complete for the caller.
    return ackReceived.exchange(false, std::memory_order_acquire);
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
        }
        // Other status bytes neither end nor restart a message.
    }
}
