// Micro benchmarks of the uploader's per-byte work: the MIDI receive callback
// (onMidiInput) fed acknowledgements or long foreign SysEx traffic, and the
// walk from message to message (sysexMessageLength) over a large image.
#include "midi/sysexmessage.h"
#include "midi/sysexreceiver.h"
#include "sysexbytes.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <vector>

// The program defines it among its static objects; built from the two
// sources alone, the benchmark has its own.
SysexReceiver sysexReceiver;

namespace {
const Bytes &acknowledgement = ::acknowledgement();

// One acknowledgement per callback, as RtMidi delivers them.
void ReceiveAcknowledgements(benchmark::State &state)
{
    Bytes delivery = acknowledgement;
    for (auto _ : state)
        onMidiInput(0.0, &delivery, nullptr);
    benchmark::DoNotOptimize(sysexReceiver.takeAck());
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(delivery.size()));
}
BENCHMARK(ReceiveAcknowledgements);

// Many acknowledgements in one callback: the per-byte cost without the per-call one.
void ReceiveAcknowledgementsBatched(benchmark::State &state)
{
    Bytes delivery;
    for (int i = 0; i < 1024; ++i)
        delivery.insert(delivery.end(), acknowledgement.begin(), acknowledgement.end());
    for (auto _ : state)
        onMidiInput(0.0, &delivery, nullptr);
    benchmark::DoNotOptimize(sysexReceiver.takeAck());
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(delivery.size()));
}
BENCHMARK(ReceiveAcknowledgementsBatched);

// Long SysEx messages that are no reply (another device's dump on the same
// port), 64 KiB each, delivered in pieces of range(0) bytes.
void ReceiveForeignSysex(benchmark::State &state)
{
    const size_t length = 64 * 1024;
    Bytes message(length);
    message.front() = 0xF0;
    for (size_t i = 1; i + 1 < length; ++i)
        message[i] = static_cast<unsigned char>(i % 0x7F) + 1; // data bytes, never an acknowledgement
    message.back() = 0xF7;
    const size_t piece = size_t(state.range(0));
    std::vector<Bytes> deliveries;
    for (size_t at = 0; at < length; at += piece)
        deliveries.emplace_back(message.begin() + long(at), message.begin() + long(std::min(length, at + piece)));
    for (auto _ : state) {
        for (Bytes &delivery : deliveries)
            onMidiInput(0.0, &delivery, nullptr);
    }
    if (sysexReceiver.takeAck())
        state.SkipWithError("a foreign message was taken for a reply");
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(length));
}
BENCHMARK(ReceiveForeignSysex)->Arg(64 * 1024)->Arg(256);

// The sender's walk over a 16 MiB image of 256-byte messages: each message's
// length is found from its start, up to the end of the image.
void MessageWalk(benchmark::State &state)
{
    const int32_t size = 16 * 1024 * 1024;
    const int32_t length = int32_t(state.range(0));
    Bytes image(size_t(size), 0x11);
    for (int32_t at = 0; at < size; at += length) {
        image[size_t(at)] = 0xF0;
        image[size_t(std::min(size, at + length) - 1)] = 0xF7;
    }
    for (auto _ : state) {
        int32_t at = 0;
        int64_t messages = 0;
        while (at < size) {
            const int32_t n = sysexMessageLength(image.data() + at, size - at);
            if (n == 0)
                break;
            at += n;
            ++messages;
        }
        benchmark::DoNotOptimize(messages);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * size);
}
BENCHMARK(MessageWalk)->Arg(256)->Unit(benchmark::kMillisecond);
} // namespace

BENCHMARK_MAIN();
