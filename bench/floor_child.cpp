// tsu_bench_floor: the least any uploader could take over this transport.
// A bare RtMidi client on JACK that sends the first message, then sends each
// next one straight from its own MIDI input callback the moment a complete
// reply has arrived: no event loop, no thread hand-over, no pause.
//
// Usage: tsu_bench_floor FILE INPUT_PORT OUTPUT_PORT --messages N --trace PATH
// INPUT_PORT is the instrument's output, OUTPUT_PORT its input. Prints
// "wall_us <us>" (from reading the file until the last reply) and
// "update_cpu_us <us>" (the process's CPU time over it) on stdout.
#include "clienttrace.h"
#include "jackserver.h"

#include "midi/rtmidiclient.h"
#include "sysexbytes.h"

#include <rtmidi/RtMidi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {
constexpr auto &acknowledgement = acknowledgementBytes;

struct Sender
{
    std::vector<unsigned char> image;
    std::vector<size_t> starts; // offset of each message, then the image size
    RtMidiOut *out = nullptr;
    std::unique_ptr<bench::Trace> trace;

    // The next message to send: set by the main thread for the first message,
    // then only by the MIDI input thread.
    std::atomic<size_t> nextMessage{0};
    // The message coming in: touched only by the MIDI input thread.
    unsigned char reply[sizeof acknowledgement] = {};
    size_t replyLength = 0;
    bool insideMessage = false;

    std::atomic<size_t> repliesTaken{0};
    std::atomic<int64_t> lastReplyAt{0};
    std::atomic<bool> sendFailed{false};
    std::mutex mutex;
    std::condition_variable finished;
    // The first message's send can still be under way on the main thread when
    // its reply has come and the next send starts on the MIDI thread (over
    // ALSA, where replies are that quick), and RtMidi's output is not safe
    // for two threads at once: its encoder's buffer was freed twice.
    std::mutex sending;

    void sendNext()
    {
        std::lock_guard<std::mutex> one(sending);
        const size_t i = nextMessage.fetch_add(1, std::memory_order_acq_rel);
        trace->sent.record(bench::monotonicMicros());
        try {
            out->sendMessage(image.data() + starts[i], starts[i + 1] - starts[i]);
            trace->sendReturned.record(bench::monotonicMicros());
        } catch (const RtMidiError &) {
            sendFailed = true;
            finished.notify_one();
        }
    }

    // A complete message has come in: if it is the acknowledgement, the next
    // message goes out at once from this thread.
    void onMessageEnd()
    {
        const bool isReply = replyLength == sizeof acknowledgement
                             && std::equal(reply, reply + replyLength, acknowledgement);
        if (!isReply)
            return;
        const int64_t now = bench::monotonicMicros();
        trace->replyArrived.record(now);
        const size_t taken = repliesTaken.load(std::memory_order_relaxed) + 1;
        if (nextMessage.load(std::memory_order_acquire) + 1 < starts.size())
            sendNext();
        else
            lastReplyAt.store(now, std::memory_order_relaxed);
        repliesTaken.store(taken, std::memory_order_release);
        if (taken + 1 == starts.size())
            finished.notify_one();
    }

    static void onInput(double, std::vector<unsigned char> *bytes, void *self)
    {
        auto *sender = static_cast<Sender *>(self);
        for (const unsigned char b : *bytes) {
            if (b >= 0xF8)
                continue;
            if (b == 0xF0) {
                sender->insideMessage = true;
                sender->replyLength = 0;
            }
            if (!sender->insideMessage)
                continue;
            if (sender->replyLength < sizeof sender->reply)
                sender->reply[sender->replyLength] = b;
            ++sender->replyLength;
            if (b == 0xF7) {
                sender->insideMessage = false;
                sender->onMessageEnd();
            }
        }
    }
};

int fail(const std::string &problem)
{
    std::cerr << "tsu_bench_floor: " << problem << '\n';
    return 1;
}

// The port called name, or, as ALSA lists it, name and its numbers.
int findPort(RtMidi &client, const std::string &name)
{
    for (unsigned i = 0, count = client.getPortCount(); i < count; ++i) {
        const std::string port = client.getPortName(i);
        if (port == name || port.rfind(name + ' ', 0) == 0)
            return int(i);
    }
    return -1;
}

bool overAlsa()
{
    const char *transport = std::getenv("TSU_BENCH_TRANSPORT");
    return transport && std::string(transport) == "alsa";
}
} // namespace

int main(int argc, char **argv)
{
    const bench::ClientArguments args = bench::parseClientArguments(
        argc, argv, 2, "usage: tsu_bench_floor FILE INPUT_PORT OUTPUT_PORT --messages N [--trace PATH]");
    if (!args.problem.empty())
        return fail(args.problem);
    const std::string &file = args.file, &inputPort = args.ports[0], &outputPort = args.ports[1];
    const std::string &tracePath = args.tracePath;
    const unsigned long messages = args.messages;

    Sender sender;
    sender.trace = std::make_unique<bench::Trace>(messages);
    const RtMidi::Api api = overAlsa() ? RtMidi::LINUX_ALSA : RtMidi::UNIX_JACK;
    RtMidiIn in(api, "Bench Floor In");
    RtMidiOut out(api, "Bench Floor Out");
    // The server was started for this run an instant ago.
    if (!waitForMidiService(in, std::chrono::seconds(10)) || !waitForMidiService(out, std::chrono::seconds(10)))
        return fail("the MIDI service took no client");
    sender.out = &out;
    const int inIndex = findPort(in, inputPort);
    const int outIndex = findPort(out, outputPort);
    if (inIndex < 0 || outIndex < 0)
        return fail("no port \"" + (inIndex < 0 ? inputPort : outputPort) + "\"");
    in.ignoreTypes(false, true, true);
    in.setCallback(&Sender::onInput, &sender);
    in.openPort(unsigned(inIndex), "in");
    out.openPort(unsigned(outIndex), "out");
    // The first message goes out at once: the new connection must be in the
    // server's cycles by then. An ALSA subscription is in place once made.
    if (!overAlsa() && !waitUntilConnected(outputPort))
        return fail("no connection to " + outputPort);

    const int64_t cpuAtStart = bench::processCpuMicros();
    const int64_t start = bench::monotonicMicros();
    // Read in one piece into room of the file's size, as the uploader does:
    // memory grows with the file by its size alone.
    std::ifstream stream(file, std::ios::binary | std::ios::ate);
    const std::streamoff fileSize = stream ? std::streamoff(stream.tellg()) : -1;
    if (fileSize <= 0)
        return fail("cannot read " + file);
    sender.image.resize(size_t(fileSize));
    stream.seekg(0);
    if (!stream.read(reinterpret_cast<char *>(sender.image.data()), fileSize))
        return fail("cannot read " + file);
    sender.starts.reserve(messages + 1);
    for (size_t at = 0; at < sender.image.size();) {
        sender.starts.push_back(at);
        while (at < sender.image.size() && sender.image[at] != 0xF7)
            ++at;
        if (at == sender.image.size())
            return fail(file + " does not end with a complete message");
        ++at;
    }
    if (sender.starts.empty())
        return fail(file + " is empty");
    sender.starts.push_back(sender.image.size());
    const size_t messageCount = sender.starts.size() - 1;

    sender.sendNext();
    {
        // The MIDI thread does all the sending; this one only waits for the end.
        std::unique_lock<std::mutex> lock(sender.mutex);
        size_t seen = 0;
        auto lastProgress = std::chrono::steady_clock::now();
        while (sender.repliesTaken.load(std::memory_order_acquire) < messageCount && !sender.sendFailed) {
            sender.finished.wait_for(lock, std::chrono::milliseconds(100));
            const size_t now = sender.repliesTaken.load(std::memory_order_acquire);
            if (now != seen) {
                seen = now;
                lastProgress = std::chrono::steady_clock::now();
            } else if (std::chrono::steady_clock::now() - lastProgress > std::chrono::seconds(10)) {
                return fail("no reply for 10 s after " + std::to_string(now) + " replies");
            }
        }
    }
    // Told of the last reply at once, so that little more than the update is counted.
    const int64_t cpuAtEnd = bench::processCpuMicros();
    if (sender.sendFailed)
        return fail("the MIDI library refused a message");
    if (!tracePath.empty() && !sender.trace->write(tracePath))
        return fail("cannot write " + tracePath);
    std::printf("wall_us %lld\nupdate_cpu_us %lld\n", static_cast<long long>(sender.lastReplyAt.load() - start),
                static_cast<long long>(cpuAtEnd - cpuAtStart));
    // Ports close with the process: no callback may run into a half-destroyed sender.
    std::fflush(stdout);
    std::_Exit(0);
}
