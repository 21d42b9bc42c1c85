// Arbitrary byte streams, cut into arbitrary deliveries, through the MIDI
// input callback: nothing may be read or written out of bounds, and the
// reply state must stay well-formed whatever arrives.
#include "midi/sysexreceiver.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

// The program defines it among its static objects; built from
// sysexreceiver.cpp alone, the fuzz target has its own.
SysexReceiver sysexReceiver;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The first byte seeds the piece lengths, so that one input also decides
    // how the stream is split.
    unsigned cut = size ? data[0] : 1;
    size_t offset = size ? 1 : 0;
    while (offset < size) {
        cut = cut * 1103515245u + 12345u;
        const size_t piece = std::min<size_t>(size - offset, (cut >> 16) % 64);
        std::vector<unsigned char> bytes(data + offset, data + offset + piece);
        onMidiInput(0.0, &bytes, nullptr);
        offset += piece ? piece : 1;

        if (rxLength < 0 || rxLength >= rxCapacity)
            std::abort();
        if (sysexReceiver.takeAck()) {
            if (sysexReceiver.versionString().size() >= size_t(versionCapacity))
                std::abort();
        }
    }
    return 0;
}
