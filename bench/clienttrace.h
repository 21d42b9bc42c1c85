// What a measured client records about each message, for the driver to lay
// beside the instrument's log: when a reply reached its MIDI input callback
// and when that callback was done with it, when the client handed the next
// message to the MIDI library and when the library gave control back; and,
// for a client with an event loop, when its GUI thread went to sleep in
// poll(), when it came out, and when its event dispatcher said it was awake
// again (after the events that woke it were dispatched). Times are
// microseconds of the system's monotonic clock, the instrument's clock too.
//
// Recording is a clock read and a store into room set aside beforehand, so
// it neither allocates nor blocks on the MIDI thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <sys/resource.h>

namespace bench {

// A measured client's command line: FILE, then its ports, then
// --messages N and --trace PATH in any place.
struct ClientArguments
{
    std::string file;
    std::vector<std::string> ports;
    unsigned long messages = 0;
    std::string tracePath;
    std::string problem; // empty when the command line was whole
};

inline ClientArguments parseClientArguments(int argc, char **argv, size_t portCount, const std::string &usage)
{
    ClientArguments parsed;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--messages" && i + 1 < argc)
            parsed.messages = std::strtoul(argv[++i], nullptr, 10);
        else if (arg == "--trace" && i + 1 < argc)
            parsed.tracePath = argv[++i];
        else if (parsed.file.empty())
            parsed.file = arg;
        else if (parsed.ports.size() < portCount)
            parsed.ports.push_back(arg);
        else
            parsed.problem = "unexpected argument " + arg;
    }
    if (parsed.problem.empty() && (parsed.file.empty() || parsed.ports.size() < portCount || parsed.messages == 0))
        parsed.problem = usage;
    return parsed;
}

inline int64_t monotonicMicros()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The process's CPU time so far, user and system, in microseconds: read at
// the update's start and end, it leaves out the cost of starting.
inline int64_t processCpuMicros()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto micros = [](const timeval &t) { return int64_t(t.tv_sec) * 1000000 + t.tv_usec; };
    return micros(usage.ru_utime) + micros(usage.ru_stime);
}

class TimeSeries
{
public:
    explicit TimeSeries(size_t capacity)
        : times(new int64_t[capacity]), capacity(capacity)
    {
    }

    // From one thread at a time; a time beyond the capacity is dropped.
    void record(int64_t micros)
    {
        const size_t n = count.load(std::memory_order_relaxed);
        if (n < capacity) {
            times[n] = micros;
            count.store(n + 1, std::memory_order_release);
        }
    }

    size_t size() const { return count.load(std::memory_order_acquire); }
    int64_t operator[](size_t i) const { return times[i]; }

private:
    // Untouched room costs no memory: pages are only taken once written.
    std::unique_ptr<int64_t[]> times;
    size_t capacity;
    std::atomic<size_t> count{0};
};

struct Trace
{
    // A thread that sleeps between replies may wake many times a message (a
    // pause bounded by a millisecond wakes a thousand times a second): room
    // for that over a long update, taken only as it is written.
    explicit Trace(size_t messages)
        : replyArrived(messages + 16), callbackDone(messages + 16), sent(messages + 16),
          sendReturned(messages + 16), pollEntered(16 * messages + (1u << 18)),
          pollReturned(16 * messages + (1u << 18)), awake(16 * messages + (1u << 18))
    {
    }
    TimeSeries replyArrived; // r: a complete reply is in the input callback
    TimeSeries callbackDone; // c: the input callback returns
    TimeSeries sent;         // s: the next message is handed to the MIDI library
    TimeSeries sendReturned; // e: the library's send returns
    TimeSeries pollEntered;  // p: the GUI thread blocks in poll()
    TimeSeries pollReturned; // w: it comes out of poll()
    TimeSeries awake;        // a: its event dispatcher emits awake()

    // "<kind> <us>" lines, the format parseClientTrace reads.
    bool write(const std::string &path) const
    {
        std::FILE *file = std::fopen(path.c_str(), "w");
        if (!file)
            return false;
        const std::pair<char, const TimeSeries *> series[] = {
            {'r', &replyArrived}, {'c', &callbackDone}, {'s', &sent},        {'e', &sendReturned},
            {'p', &pollEntered},  {'w', &pollReturned}, {'a', &awake}};
        for (const auto &[kind, times] : series) {
            for (size_t i = 0; i < times->size(); ++i)
                std::fprintf(file, "%c %lld\n", kind, static_cast<long long>((*times)[i]));
        }
        return std::fclose(file) == 0;
    }
};

} // namespace bench
