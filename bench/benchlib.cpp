#include "benchlib.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>
#include <sstream>

namespace bench {

namespace {
std::optional<int64_t> parseInteger(const std::string &text)
{
    int64_t value = 0;
    const char *end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end)
        return std::nullopt;
    return value;
}

std::vector<std::string> splitOn(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, separator))
        parts.push_back(part);
    if (!text.empty() && text.back() == separator)
        parts.push_back(std::string()); // a trailing separator leaves an empty entry
    return parts;
}
} // namespace

std::optional<uint64_t> parseSize(const std::string &text)
{
    if (text.empty())
        return std::nullopt;
    uint64_t unit = 1;
    std::string digits = text;
    const char last = char(std::toupper(static_cast<unsigned char>(text.back())));
    if (last == 'K' || last == 'M') {
        unit = last == 'K' ? 1024 : 1024 * 1024;
        digits.pop_back();
    }
    const auto number = parseInteger(digits);
    if (!number || *number <= 0)
        return std::nullopt;
    if (uint64_t(*number) > std::numeric_limits<uint64_t>::max() / unit)
        return std::nullopt;
    return uint64_t(*number) * unit;
}

std::string sizeText(uint64_t bytes)
{
    if (bytes >= 1024 * 1024 && bytes % (1024 * 1024) == 0)
        return std::to_string(bytes / (1024 * 1024)) + " MiB";
    if (bytes >= 1024 && bytes % 1024 == 0)
        return std::to_string(bytes / 1024) + " KiB";
    return std::to_string(bytes) + " B";
}

std::optional<std::vector<SizeRun>> parseSizeList(const std::string &text)
{
    std::vector<SizeRun> runs;
    for (const std::string &entry : splitOn(text, ',')) {
        const size_t colon = entry.find(':');
        SizeRun run;
        const auto bytes = parseSize(entry.substr(0, colon));
        if (!bytes)
            return std::nullopt;
        run.bytes = *bytes;
        if (colon != std::string::npos) {
            const auto repetitions = parseInteger(entry.substr(colon + 1));
            if (!repetitions || *repetitions <= 0 || *repetitions > 1000)
                return std::nullopt;
            run.repetitions = int(*repetitions);
        }
        runs.push_back(run);
    }
    if (runs.empty())
        return std::nullopt;
    return runs;
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0.0;
    // Nearest rank: the smallest value with at least p% of the values at or below it.
    const size_t rank = size_t(std::ceil(p / 100.0 * double(values.size())));
    const size_t index = std::min(values.size() - 1, rank == 0 ? 0 : rank - 1);
    std::nth_element(values.begin(), values.begin() + long(index), values.end());
    return values[index];
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0.0;
    // The mean of the middle two for an even count, so that two runs give
    // their average rather than the lower one.
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

double mean(const std::vector<double> &values)
{
    if (values.empty())
        return 0.0;
    double sum = 0;
    for (const double value : values)
        sum += value;
    return sum / double(values.size());
}

SimLog parseSimLog(std::istream &in)
{
    SimLog log;
    std::string line;
    size_t lineNumber = 0;
    auto fail = [&](const std::string &problem) {
        if (log.error.empty())
            log.error = "line " + std::to_string(lineNumber) + ": " + problem;
    };
    while (std::getline(in, line)) {
        ++lineNumber;
        if (line.empty())
            continue;
        const size_t firstSpace = line.find(' ');
        const size_t secondSpace = firstSpace == std::string::npos ? firstSpace : line.find(' ', firstSpace + 1);
        if (secondSpace == std::string::npos) {
            fail("not \"rx|tx <microseconds> <hex>\"");
            break;
        }
        const std::string kind = line.substr(0, firstSpace);
        const auto micros = parseInteger(line.substr(firstSpace + 1, secondSpace - firstSpace - 1));
        if (!micros) {
            fail("bad time");
            break;
        }
        // "f0 01 f7": three characters a byte but the last.
        const uint64_t bytes = (line.size() - secondSpace - 1 + 1) / 3;
        if (kind == "rx") {
            if (log.received.size() != log.replied.size()) {
                fail("message received before the previous one was answered");
                break;
            }
            log.received.push_back(*micros);
            log.receivedBytes.push_back(bytes);
            log.totalBytes += bytes;
        } else if (kind == "tx") {
            if (log.replied.size() + 1 != log.received.size()) {
                fail("reply without a message to answer");
                break;
            }
            log.replied.push_back(*micros);
        } else {
            fail("unknown kind \"" + kind + "\"");
            break;
        }
    }
    if (log.error.empty() && log.replied.size() != log.received.size())
        log.error = "the last message got no reply";
    return log;
}

std::vector<double> replyToNextMessage(const SimLog &log)
{
    std::vector<double> gaps;
    const size_t count = std::min(log.received.size(), log.replied.size() + 1);
    for (size_t i = 1; i < count; ++i)
        gaps.push_back(double(log.received[i] - log.replied[i - 1]) / 1000.0);
    return gaps;
}

ClientTrace parseClientTrace(std::istream &in)
{
    ClientTrace trace;
    char kind = 0;
    int64_t micros = 0;
    while (in >> kind >> micros) {
        switch (kind) {
        case 'r': trace.replyArrived.push_back(micros); break;
        case 'c': trace.callbackDone.push_back(micros); break;
        case 's': trace.sent.push_back(micros); break;
        case 'e': trace.sendReturned.push_back(micros); break;
        case 'p': trace.pollEntered.push_back(micros); break;
        case 'w': trace.pollReturned.push_back(micros); break;
        case 'a': trace.awake.push_back(micros); break;
        default: break;
        }
    }
    return trace;
}

namespace {
// The first time in sorted times at or after from, if it is not after to.
std::optional<int64_t> firstWithin(const std::vector<int64_t> &times, int64_t from, int64_t to)
{
    const auto at = std::lower_bound(times.begin(), times.end(), from);
    if (at == times.end() || *at > to)
        return std::nullopt;
    return *at;
}

// The last time in sorted times not after to, if it is not before from.
std::optional<int64_t> lastWithin(const std::vector<int64_t> &times, int64_t from, int64_t to)
{
    const auto after = std::upper_bound(times.begin(), times.end(), to);
    if (after == times.begin() || *(after - 1) < from)
        return std::nullopt;
    return *(after - 1);
}

double millis(int64_t from, int64_t to)
{
    return double(to - from) / 1000.0;
}
} // namespace

GapParts splitReplyToNextMessage(const SimLog &log, const ClientTrace &trace)
{
    GapParts parts;
    const size_t messages = log.received.size();
    // One send per message and one reply per message, or they are not the same exchange.
    if (messages == 0 || trace.sent.size() != messages || trace.replyArrived.size() != messages
        || log.replied.size() != messages)
        return parts;
    for (size_t i = 1; i < messages; ++i) {
        parts.replyDelivery.push_back(millis(log.replied[i - 1], trace.replyArrived[i - 1]));
        parts.clientReaction.push_back(millis(trace.replyArrived[i - 1], trace.sent[i]));
        parts.messageDelivery.push_back(millis(trace.sent[i], log.received[i]));
    }
    if (trace.sendReturned.size() != messages
        || (!trace.callbackDone.empty() && trace.callbackDone.size() != messages))
        return parts;
    for (size_t i = 1; i < messages; ++i) {
        // The road's points in order; each found one is held between its
        // neighbours, so that the parts add up to the instrument's gap even
        // where two threads' clocks reads cross by a microsecond.
        const int64_t replied = log.replied[i - 1];
        const int64_t arrived = std::max(replied, trace.replyArrived[i - 1]);
        const int64_t sent = std::max(arrived, trace.sent[i]);
        const int64_t returned = std::max(sent, trace.sendReturned[i]);
        const int64_t received = std::max(returned, log.received[i]);
        const int64_t done = trace.callbackDone.empty()
                                 ? arrived
                                 : std::clamp(trace.callbackDone[i - 1], arrived, sent);
        // The GUI thread's first way out of poll() after the reply came: the
        // wake-up it was sent, or anything that woke it first. None when it
        // was busy when the reply came and took it without sleeping again.
        const int64_t woken = std::clamp(firstWithin(trace.pollReturned, arrived, sent).value_or(done), done, sent);
        const int64_t dispatched = std::max(woken, lastWithin(trace.awake, woken, sent).value_or(woken));
        parts.callback.push_back(millis(arrived, done));
        parts.wake.push_back(millis(done, woken));
        parts.dispatch.push_back(millis(woken, dispatched));
        parts.toSend.push_back(millis(dispatched, sent));
        parts.sendCall.push_back(millis(sent, returned));
        parts.arrival.push_back(millis(returned, received));

        if (!trace.pollReturned.empty()) {
            const auto from = std::upper_bound(trace.pollReturned.begin(), trace.pollReturned.end(),
                                               trace.sent[i - 1]);
            const auto to = std::upper_bound(trace.pollReturned.begin(), trace.pollReturned.end(), trace.sent[i]);
            parts.wakeUps.push_back(double(to - from));
        }
        if (const auto asleep = firstWithin(trace.pollEntered, trace.sendReturned[i],
                                            i + 1 < messages ? trace.sent[i + 1] : trace.sendReturned[i] + 10000000))
            parts.busyAfterSend.push_back(millis(trace.sendReturned[i], *asleep));
    }
    return parts;
}

} // namespace bench
