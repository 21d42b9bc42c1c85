// The benchmark's arithmetic, kept free of processes and MIDI so that it can
// be tested on its own: sizes as the user writes them, percentiles, the
// simulated instrument's timestamped log, and the clients' own traces.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

namespace bench {

// "8K", "1M", "16M", "1000": bytes, with K = 1024 and M = 1024 * 1024.
// Empty when the text is no positive size.
std::optional<uint64_t> parseSize(const std::string &text);

// 65536 -> "64 KiB", 1048576 -> "1 MiB", 1000 -> "1000 B".
std::string sizeText(uint64_t bytes);

// One entry of a size scan: "16M:2" is 16 MiB with 2 repetitions; without
// ":N" the repetitions are left to the caller (0).
struct SizeRun
{
    uint64_t bytes = 0;
    int repetitions = 0;
};

// "64K,1M,16M:1". Empty on any malformed entry.
std::optional<std::vector<SizeRun>> parseSizeList(const std::string &text);

// Nearest-rank percentile (0 < p <= 100) of values, which need not be
// sorted; 0 for no values. The median is percentile(values, 50).
double percentile(std::vector<double> values, double p);
double median(std::vector<double> values);
// The arithmetic mean; 0 for no values. Means of a message's parts, unlike
// their medians, add up to the mean of the whole.
double mean(const std::vector<double> &values);

// What the simulated instrument logged with --timestamps: for each message
// it received, the time it arrived and its length, and the time its reply
// went out. Times are microseconds of the system's monotonic clock.
struct SimLog
{
    std::vector<int64_t> received;       // rx times, in order
    std::vector<uint64_t> receivedBytes; // length of each received message
    std::vector<int64_t> replied;        // tx times, in order
    uint64_t totalBytes = 0;
    std::string error;                   // empty when the log is well formed
};

// Reads "rx <us> <hex>" and "tx <us> <hex>" lines. The instrument replies at
// once, so every rx must be followed by exactly one tx before the next rx;
// anything else is reported in error.
SimLog parseSimLog(std::istream &in);

// For each message after the first: its arrival minus the time the reply to
// the message before it went out, in milliseconds. Both times come from the
// instrument's one clock.
std::vector<double> replyToNextMessage(const SimLog &log);

// A client's own trace (clienttrace.h): "r <us>" when a reply arrived in its
// MIDI input callback, "c <us>" when that callback returned, "s <us>" just
// before it handed a message to the MIDI library and "e <us>" when the
// library returned; for a client with an event loop, "p <us>" and "w <us>"
// when its GUI thread went into poll() to sleep and came out, and "a <us>"
// when its event dispatcher emitted awake(). Each kind in time order.
struct ClientTrace
{
    std::vector<int64_t> replyArrived;
    std::vector<int64_t> callbackDone;
    std::vector<int64_t> sent;
    std::vector<int64_t> sendReturned;
    std::vector<int64_t> pollEntered;
    std::vector<int64_t> pollReturned;
    std::vector<int64_t> awake;
};

ClientTrace parseClientTrace(std::istream &in);

// The reply-to-next-message time cut into parts, each in milliseconds, per
// message after the first. Three that every trace gives:
//   replyDelivery  - the instrument sends the reply -> the client's callback has it
//   clientReaction - the client has the reply -> it sends the next message
//   messageDelivery - the client sends -> the instrument has the message
// and, where the trace has the send's return, the same road finer, in six
// parts that add up to the reply-to-next-message time too:
//   replyDelivery, then
//   callback  - the callback has the reply -> it returns (the wake-up sent)
//   wake      - -> the GUI thread comes out of poll() (0 where it was not asleep)
//   dispatch  - -> its dispatcher is awake(), the events that woke it handled
//   toSend    - -> the next message is handed to the MIDI library
//   sendCall  - -> the library returns
//   arrival   - -> the instrument has the message
// A client without a callback end, poll or awake() in its trace (the floor)
// has its whole reaction in toSend. Besides the road:
//   wakeUps   - times the GUI thread came out of poll() since the send before
//   busyAfterSend - the send returned -> the GUI thread sleeps again
// Empty when the trace and the log do not describe the same exchange.
struct GapParts
{
    std::vector<double> replyDelivery;
    std::vector<double> clientReaction;
    std::vector<double> messageDelivery;

    std::vector<double> callback;
    std::vector<double> wake;
    std::vector<double> dispatch;
    std::vector<double> toSend;
    std::vector<double> sendCall;
    std::vector<double> arrival;
    std::vector<double> wakeUps;
    std::vector<double> busyAfterSend;
};

GapParts splitReplyToNextMessage(const SimLog &log, const ClientTrace &trace);

} // namespace bench
