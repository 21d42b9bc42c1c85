// What a measured client records about each message, for the driver to lay
// beside the instrument's log: when a reply reached its MIDI input callback
// and when it handed the next message to the MIDI library. Times are
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
#include <vector>

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
    explicit Trace(size_t messages) : replyArrived(messages + 16), sent(messages + 16) {}
    TimeSeries replyArrived;
    TimeSeries sent;

    // "r <us>" and "s <us>" lines, the format parseClientTrace reads.
    bool write(const std::string &path) const
    {
        std::FILE *file = std::fopen(path.c_str(), "w");
        if (!file)
            return false;
        for (size_t i = 0; i < replyArrived.size(); ++i)
            std::fprintf(file, "r %lld\n", static_cast<long long>(replyArrived[i]));
        for (size_t i = 0; i < sent.size(); ++i)
            std::fprintf(file, "s %lld\n", static_cast<long long>(sent[i]));
        return std::fclose(file) == 0;
    }
};

} // namespace bench
