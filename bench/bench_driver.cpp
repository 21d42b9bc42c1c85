// tsu_bench: how fast and at what cost the uploader sends an update, next to
// the floor that the MIDI transport itself sets.
//
// It runs, alternately, a whole update by the uploader's own code
// (tsu_bench_uploader) and by a bare sender that answers each reply from its
// MIDI callback (tsu_bench_floor), each in a child process of its own against
// a fresh simulated instrument on a fresh private JACK server (dummy
// backend), and prints
// time, throughput, the instrument-side reply-to-next-message times, CPU time
// and peak memory for each run, their medians, and the uploader/floor ratios.
#include "benchlib.h"
#include "benchprocess.h"
#include "instrument.h"
#include "jackserver.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace {
using namespace bench;

// RtMidi's JACK output drops a message of this many bytes or more without a word.
constexpr uint64_t jackMessageLimit = 16380;

const char usageText[] =
    "Usage: tsu_bench [options]\n"
    "Runs whole updates by the uploader and by a minimal sender (the transport's floor),\n"
    "alternately, on private JACK servers with the dummy backend, and prints their time\n"
    "and cost. Each run is a child process of its own against a fresh tessarine-sim on a\n"
    "fresh server.\n"
    "  --size SIZE            update file size, K or M suffix allowed (default 1M): a header\n"
    "                         message, then SIZE / LENGTH data messages\n"
    "  --message-length L     bytes per data message, F0 and F7 included (default 256,\n"
    "                         2 to 16379: RtMidi's JACK output drops longer ones)\n"
    "  --repetitions N        runs of each side (default 5)\n"
    "  --sizes LIST           several sizes in turn instead of --size, each SIZE[:N] with\n"
    "                         its own repetitions, e.g. 64K,1M,16M:1\n"
    "  --period FRAMES        JACK period (default 64)\n"
    "  --rate HZ              JACK sample rate (default 48000)\n"
    "  --alsa                 over the ALSA sequencer instead (where there is one, as in the\n"
    "                         guest of tests/alsa-vm): no server, the same clients\n"
    "  --usb-midi PRODUCT     over the ALSA sequencer to a USB MIDI instrument through the\n"
    "                         kernel's class driver (snd-usb-audio): tessarine-sim takes the\n"
    "                         gadget's end (--connect f_midi:f_midi) and both sides send to\n"
    "                         the port of the card called PRODUCT (alsa-vm run --usb-midi)\n"
    "  --wire-speed B         the instrument takes as long to receive each message as a\n"
    "                         cable of B bytes per second would (3125: MIDI 1.0's 5-pin\n"
    "                         cable); tessarine-sim --wire-speed\n"
    "  --uploader LABEL=PATH  also run this build of tsu_bench_uploader (e.g. one built\n"
    "                         from older update/ code) under LABEL; repeatable\n"
    "  --keep                 keep the work folder (files, logs, traces) and name it\n"
    "  --markdown PATH        append the medians of each size, as a Markdown table under\n"
    "                         the heading --title TEXT, to PATH (run-bench.sh --all)\n"
    "  --help                 show this text\n"
    "Columns: update s - from the start of the update (reading the file) until the last\n"
    "reply was taken, as the child measured it; reply->next ms - the instrument's own\n"
    "clock from sending a reply to receiving the next message; CPU s and peak MiB - the\n"
    "child process (wait4: user + system time, ru_maxrss); CPU % - CPU s as a share of\n"
    "update s (start-up included, so a little high for short updates); upd CPU % - the\n"
    "child's CPU time over the update alone, as a share of it; process s - the child from\n"
    "start to exit. The second table cuts reply->next into its parts with the child's own\n"
    "timestamps, the third follows one message's road, all messages of a side's runs\n"
    "together. Medians are over the repetitions.\n";

struct Options
{
    std::vector<SizeRun> sizes{{1024 * 1024, 0}};
    uint64_t messageLength = 256;
    int repetitions = 5;
    int period = 64;
    int rate = 48000;
    bool alsa = false;
    std::string usbProduct;
    int wireSpeed = 0;
    std::vector<std::pair<std::string, std::string>> uploaders{{"uploader", TSU_BENCH_UPLOADER_PATH}};
    bool keep = false;
    std::string markdownPath;
    std::string title;
};

[[noreturn]] void usageError(const std::string &problem)
{
    std::cerr << "tsu_bench: " << problem << "\n" << usageText;
    std::exit(2);
}

int positive(const std::string &option, const std::string &value, int limit)
{
    char *end = nullptr;
    const long number = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || number <= 0 || number > limit)
        usageError(option + " needs a whole number from 1 to " + std::to_string(limit) + ", not \"" + value + "\"");
    return int(number);
}

Options parseOptions(int argc, char **argv)
{
    Options opt;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << usageText;
            std::exit(0);
        }
        if (arg == "--keep") {
            opt.keep = true;
            continue;
        }
        if (arg == "--alsa") {
            opt.alsa = true;
            continue;
        }
        if (i + 1 >= argc)
            usageError(arg.rfind("--", 0) == 0 ? "missing value for " + arg : "unknown argument " + arg);
        const std::string value = argv[++i];
        if (arg == "--size") {
            const auto size = parseSize(value);
            if (!size)
                usageError("--size needs a size such as 8K, 1M or 1000, not \"" + value + "\"");
            opt.sizes = {{*size, 0}};
        } else if (arg == "--sizes") {
            const auto sizes = parseSizeList(value);
            if (!sizes)
                usageError("--sizes needs a list such as 64K,1M,16M:1, not \"" + value + "\"");
            opt.sizes = *sizes;
        } else if (arg == "--message-length") {
            opt.messageLength = uint64_t(positive(arg, value, int(jackMessageLimit - 1)));
            if (opt.messageLength < 2)
                usageError("--message-length must be at least 2");
        } else if (arg == "--repetitions") {
            opt.repetitions = positive(arg, value, 1000);
        } else if (arg == "--period") {
            opt.period = positive(arg, value, 8192);
        } else if (arg == "--rate") {
            opt.rate = positive(arg, value, 384000);
        } else if (arg == "--usb-midi") {
            opt.usbProduct = value;
            opt.alsa = true;
        } else if (arg == "--wire-speed") {
            opt.wireSpeed = positive(arg, value, 100000000);
        } else if (arg == "--markdown") {
            opt.markdownPath = value;
        } else if (arg == "--title") {
            opt.title = value;
        } else if (arg == "--uploader") {
            const size_t equals = value.find('=');
            if (equals == std::string::npos || equals == 0 || equals + 1 == value.size())
                usageError("--uploader needs LABEL=PATH, not \"" + value + "\"");
            opt.uploaders.emplace_back(value.substr(0, equals), value.substr(equals + 1));
        } else {
            usageError("unknown option " + arg);
        }
    }
    return opt;
}

// The sequencer port of the USB MIDI device whose card is called product,
// as RtMidi lists it ("CLIENT:PORT C:P"), read from the kernel's list; empty
// if there is none.
std::string usbMidiPort(const std::string &product)
{
    std::ifstream clients("/proc/asound/seq/clients");
    std::string client;
    for (std::string line; std::getline(clients, line);) {
        const size_t open = line.find(" : \""), close = line.rfind('"');
        if (open == std::string::npos || close <= open + 4)
            continue;
        const std::string number = line.substr(line.find_first_of("0123456789"),
                                               line.find(' ', line.find_first_of("0123456789"))
                                                   - line.find_first_of("0123456789"));
        const std::string name = line.substr(open + 4, close - open - 4);
        if (line.rfind("Client", 0) == 0)
            client = name == product ? number : std::string();
        else if (line.rfind("  Port", 0) == 0 && !client.empty())
            return product + ":" + name + " " + client + ":" + number;
    }
    return {};
}

struct RunResult
{
    std::string side;
    int repetition = 0;
    bool ok = false;
    std::string problem;
    double wallSeconds = 0;    // the update itself, as the client measured it
    double processSeconds = 0; // the child process from start to exit
    double cpuSeconds = 0;     // user + system of the child process
    double updateCpuSeconds = 0; // of it, over the update alone, as the child measured it
    double peakMiB = 0;        // its peak resident memory
    std::vector<double> gaps;  // instrument: reply sent -> next message received, ms
    GapParts parts;
    int xruns = 0;             // cycles the JACK server reported late during the run
    // Qt events the uploader's GUI thread handled during the update, by
    // type: how many, and the milliseconds spent in them.
    std::map<std::string, std::pair<double, double>> events;
};

struct FileInfo
{
    std::string path;
    uint64_t bytes = 0;
    uint64_t messages = 0; // header included
};

std::string firstLineOf(const std::string &path, const std::string &key)
{
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) == 0) {
            const size_t colon = line.find(':');
            std::string value = colon == std::string::npos ? line : line.substr(colon + 1);
            value.erase(0, value.find_first_not_of(" \t"));
            return value;
        }
    }
    return "?";
}

std::string loadAverage()
{
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

std::string tail(const std::string &path, size_t maxBytes = 2000)
{
    const std::string text = readWholeFile(path);
    return text.size() <= maxBytes ? text : "..." + text.substr(text.size() - maxBytes);
}

class Bench
{
public:
    Bench(const Options &options, std::string workDir)
        : opt(options), dir(std::move(workDir))
    {
    }

    // Late cycles the server of the run has reported: its log gets one line each.
    int xruns() const
    {
        const std::string log = readWholeFile(dir + "/jackd.log");
        int count = 0;
        for (size_t at = log.find("XRun"); at != std::string::npos; at = log.find("XRun", at + 4))
            ++count;
        return count;
    }

    bool makeFile(uint64_t size, FileInfo &file)
    {
        const uint64_t dataMessages = size / opt.messageLength;
        file.path = dir + "/update-" + std::to_string(size) + ".tsu";
        const std::string outPath = dir + "/make-tsu.out";
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const pid_t pid = spawnProcess({TSU_MAKE_TSU_PATH, file.path, "--version", "9.9.9", "--messages",
                                        std::to_string(dataMessages), "--length", std::to_string(opt.messageLength)},
                                       out, out);
        close(out);
        const ChildEnd end = waitForChild(pid, std::chrono::minutes(5));
        if (!end.exited || end.exitCode != 0) {
            std::cerr << "tsu_bench: make-tsu failed:\n" << tail(outPath);
            return false;
        }
        file.bytes = readWholeFile(file.path).size();
        file.messages = dataMessages + 1;
        return true;
    }

    RunResult run(const std::string &side, const std::string &childPath, bool isFloor, const FileInfo &file,
                  int repetition)
    {
        RunResult result;
        result.side = side;
        result.repetition = repetition;
        const std::string base = dir + "/run-" + std::to_string(++runCount);
        const std::string simLog = base + ".sim.log";
        const std::string tracePath = base + ".trace";
        const std::string outPath = base + ".out";
        const std::string errPath = base + ".err";

        // A server of its own for each run. In a cycle the server runs its
        // clients in an order set by their client numbers, which on a server
        // shared by all runs would be those the run before freed; and the
        // order decides whether a reply and the next message can travel in
        // one cycle. On a fresh server every run of every side starts alike.
        // Over ALSA the sequencer is the kernel's: nothing to start.
        PrivateJackServer server;
        if (!opt.alsa && !server.start(opt.rate, opt.period, dir + "/jackd.log")) {
            result.problem = "no private JACK server: " + server.error();
            return result;
        }
        // The children find it by this name; the uploader's MIDI objects are
        // made before its main() runs.
        if (!opt.alsa)
            setenv("JACK_DEFAULT_SERVER", server.name().c_str(), 1);
        const std::string instrumentName = "Tsu Bench " + std::to_string(runCount);
        std::vector<std::string> simArgs{"--name", instrumentName, "--timestamps"};
        if (!opt.usbProduct.empty())
            simArgs.insert(simArgs.end(), {"--connect", "f_midi:f_midi"});
        if (opt.wireSpeed > 0)
            simArgs.insert(simArgs.end(), {"--wire-speed", std::to_string(opt.wireSpeed)});
        SimulatedInstrument instrument(simArgs, simLog);
        if (!instrument.ready()) {
            result.problem = "the simulated instrument did not start";
            return result;
        }
        // A USB MIDI instrument's port is one, both ways.
        const std::string usbPort = opt.usbProduct.empty() ? std::string() : usbMidiPort(opt.usbProduct);
        if (!opt.usbProduct.empty() && usbPort.empty()) {
            result.problem = "no USB MIDI device \"" + opt.usbProduct + "\" on the sequencer";
            return result;
        }
        std::vector<std::string> args{childPath, file.path, usbPort.empty() ? instrument.portName() : usbPort};
        // Both services name the instrument's ports after its clients "NAME >"
        // and "NAME <"; ALSA adds their numbers, which the floor does without.
        if (isFloor)
            args.push_back(usbPort.empty() ? instrumentName + " <:MIDI" : usbPort);
        args.insert(args.end(), {"--messages", std::to_string(file.messages), "--trace", tracePath});

        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const auto started = std::chrono::steady_clock::now();
        const pid_t pid = spawnProcess(args, out, err);
        close(out);
        close(err);
        // Far beyond any plausible run: a message every 25 ms, plus start-up.
        const auto timeout = std::chrono::seconds(60) + std::chrono::milliseconds(25 * file.messages);
        const ChildEnd end = waitForChild(pid, std::chrono::duration_cast<std::chrono::milliseconds>(timeout));
        result.processSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        instrument.stop();
        if (!opt.alsa)
            server.stop();
        result.xruns = xruns();

        const auto seconds = [](const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
        result.cpuSeconds = seconds(end.usage.ru_utime) + seconds(end.usage.ru_stime);
        result.peakMiB = double(end.usage.ru_maxrss) / 1024.0; // ru_maxrss is in KiB on Linux

        if (!end.exited || end.exitCode != 0) {
            result.problem = end.timedOut ? "timed out"
                             : end.signal ? "killed by signal " + std::to_string(end.signal)
                                          : "exit code " + std::to_string(end.exitCode);
            result.problem += ": " + tail(errPath);
            return result;
        }
        std::istringstream childOut(readWholeFile(outPath));
        for (std::string line; std::getline(childOut, line);) {
            std::istringstream words(line);
            std::string key, type;
            long long count = 0, micros = 0;
            if (!(words >> key))
                continue;
            if (key == "event" && words >> type >> count >> micros)
                result.events[type] = {double(count), double(micros) / 1000.0};
            else if (key == "wall_us" && words >> micros)
                result.wallSeconds = double(micros) / 1e6;
            else if (key == "update_cpu_us" && words >> micros)
                result.updateCpuSeconds = double(micros) / 1e6;
        }
        if (result.wallSeconds <= 0) {
            result.problem = "no wall_us in the child's output";
            return result;
        }

        std::ifstream logStream(simLog);
        const SimLog log = parseSimLog(logStream);
        if (!log.error.empty()) {
            result.problem = "instrument log " + simLog + ": " + log.error;
            return result;
        }
        if (log.received.size() != file.messages || log.totalBytes != file.bytes) {
            result.problem = "the instrument received " + std::to_string(log.received.size()) + " messages, "
                             + std::to_string(log.totalBytes) + " bytes; the file has "
                             + std::to_string(file.messages) + ", " + std::to_string(file.bytes);
            return result;
        }
        result.gaps = replyToNextMessage(log);
        std::ifstream traceStream(tracePath);
        result.parts = splitReplyToNextMessage(log, parseClientTrace(traceStream));
        result.ok = true;
        if (!opt.keep) {
            for (const std::string &path : {simLog, tracePath, outPath, errPath})
                std::remove(path.c_str());
        }
        return result;
    }

private:
    const Options &opt;
    std::string dir;
    int runCount = 0;
};

std::string fixed(double value, int decimals, int width)
{
    char text[64];
    std::snprintf(text, sizeof text, "%*.*f", width, decimals, value);
    return text;
}

std::string padded(const std::string &text, size_t width)
{
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

// The figures of one run, or the medians of several, as one table row.
struct Row
{
    double wall, messagesPerSecond, kibPerSecond, gapMedian, gapP99, gapMax, cpu, cpuShare, updateCpuShare, peak,
        process;
    double deliveryIn, reaction, reactionP99, deliveryOut, withinOneCycle, xruns;
};

Row rowOf(const RunResult &r, const FileInfo &file, double cycleMs)
{
    Row row{};
    row.wall = r.wallSeconds;
    row.messagesPerSecond = double(file.messages) / r.wallSeconds;
    row.kibPerSecond = double(file.bytes) / 1024.0 / r.wallSeconds;
    row.gapMedian = median(r.gaps);
    row.gapP99 = percentile(r.gaps, 99);
    row.gapMax = r.gaps.empty() ? 0 : *std::max_element(r.gaps.begin(), r.gaps.end());
    row.cpu = r.cpuSeconds;
    row.cpuShare = 100.0 * r.cpuSeconds / r.wallSeconds;
    row.updateCpuShare = 100.0 * r.updateCpuSeconds / r.wallSeconds;
    row.peak = r.peakMiB;
    row.process = r.processSeconds;
    row.deliveryIn = median(r.parts.replyDelivery);
    row.reaction = median(r.parts.clientReaction);
    row.reactionP99 = percentile(r.parts.clientReaction, 99);
    row.deliveryOut = median(r.parts.messageDelivery);
    const auto within = std::count_if(r.gaps.begin(), r.gaps.end(), [&](double gap) { return gap < cycleMs; });
    row.withinOneCycle = r.gaps.empty() ? 0 : 100.0 * double(within) / double(r.gaps.size());
    row.xruns = r.xruns;
    return row;
}

Row medianRow(const std::vector<Row> &rows)
{
    auto of = [&](double Row::*field) {
        std::vector<double> values;
        for (const Row &row : rows)
            values.push_back(row.*field);
        return median(values);
    };
    Row m{};
    for (double Row::*field : {&Row::wall, &Row::messagesPerSecond, &Row::kibPerSecond, &Row::gapMedian,
                               &Row::gapP99, &Row::gapMax, &Row::cpu, &Row::cpuShare, &Row::updateCpuShare, &Row::peak,
                               &Row::process,
                               &Row::deliveryIn, &Row::reaction, &Row::reactionP99, &Row::deliveryOut,
                               &Row::withinOneCycle, &Row::xruns})
        m.*field = of(field);
    return m;
}

// Wide enough for the longest side label; set once the labels are known.
size_t sideWidth = 18;

void printHeader()
{
    std::printf("%s %s%s\n", padded("run", 6).c_str(), padded("side", sideWidth).c_str(),
                "  update s    msg/s     KiB/s | reply->next ms: median   p99     max |  CPU s  CPU %  upd CPU %"
                "  peak MiB  process s");
}

void printRow(const std::string &run, const std::string &side, const Row &row)
{
    std::printf("%s %s%s%s%s |                %s%s%s | %s%s%s%s%s\n", padded(run, 6).c_str(),
                padded(side, sideWidth).c_str(), fixed(row.wall, 3, 10).c_str(),
                fixed(row.messagesPerSecond, 0, 9).c_str(), fixed(row.kibPerSecond, 1, 10).c_str(),
                fixed(row.gapMedian, 3, 8).c_str(), fixed(row.gapP99, 3, 7).c_str(), fixed(row.gapMax, 3, 8).c_str(),
                fixed(row.cpu, 2, 6).c_str(), fixed(row.cpuShare, 1, 7).c_str(),
                fixed(row.updateCpuShare, 1, 11).c_str(), fixed(row.peak, 1, 10).c_str(),
                fixed(row.process, 2, 11).c_str());
}

void printPartsHeader()
{
    std::printf("%s %s%s\n", padded("run", 6).c_str(), padded("side", sideWidth).c_str(),
                "  reply delivered  client reacts (median  p99)  message delivered | gaps < 1 cycle  late cycles");
}

void printParts(const std::string &run, const std::string &side, const Row &row)
{
    std::printf("%s %s%s%s%s%s |%s %%%s\n", padded(run, 6).c_str(), padded(side, sideWidth).c_str(),
                fixed(row.deliveryIn, 3, 17).c_str(), fixed(row.reaction, 3, 22).c_str(),
                fixed(row.reactionP99, 3, 7).c_str(), fixed(row.deliveryOut, 3, 19).c_str(),
                fixed(row.withinOneCycle, 1, 14).c_str(), fixed(row.xruns, 0, 12).c_str());
}

// One message's road, each part over every message of every run of a side:
// median / p90 / p99 in milliseconds.
void printRoad(const std::vector<std::string> &labels, const std::vector<RunResult> &results)
{
    struct Part
    {
        const char *name;
        std::vector<double> GapParts::*values;
    };
    const Part road[] = {
        {"reply: instrument sends -> client's callback has it", &GapParts::replyDelivery},
        {"callback returns (the wake-up sent)", &GapParts::callback},
        {"GUI thread comes out of poll()", &GapParts::wake},
        {"its events dispatched: awake()", &GapParts::dispatch},
        {"next message handed to RtMidi", &GapParts::toSend},
        {"RtMidi's send returns", &GapParts::sendCall},
        {"message: -> the instrument has it", &GapParts::arrival},
    };
    const Part besides[] = {
        {"GUI thread wake-ups per message", &GapParts::wakeUps},
        {"after the send, busy until asleep", &GapParts::busyAfterSend},
    };
    std::map<std::string, GapParts> pooled;
    std::map<std::string, std::vector<double>> gaps;
    for (const RunResult &r : results) {
        if (!r.ok)
            continue;
        GapParts &into = pooled[r.side];
        for (const Part &part : road)
            (into.*part.values).insert((into.*part.values).end(), (r.parts.*part.values).begin(),
                                       (r.parts.*part.values).end());
        for (const Part &part : besides)
            (into.*part.values).insert((into.*part.values).end(), (r.parts.*part.values).begin(),
                                       (r.parts.*part.values).end());
        gaps[r.side].insert(gaps[r.side].end(), r.gaps.begin(), r.gaps.end());
    }
    const size_t nameWidth = 52, columnWidth = 34;
    std::printf("\none message's road (ms; every message of a side's runs: median / p90 / p99 / mean; the means\n"
                "add up to the mean reply-to-next-message time)\n%s",
                padded("", nameWidth).c_str());
    for (const std::string &label : labels)
        std::printf("%s", padded(label, columnWidth).c_str());
    std::printf("\n");
    const auto line = [&](const char *name, auto valuesOf) {
        std::printf("%s", padded(name, nameWidth).c_str());
        for (const std::string &label : labels) {
            const std::vector<double> &values = valuesOf(label);
            char cell[64];
            if (values.empty())
                std::snprintf(cell, sizeof cell, "-");
            else
                std::snprintf(cell, sizeof cell, "%.3f / %.3f / %.3f / %.3f", median(values),
                              percentile(values, 90), percentile(values, 99), mean(values));
            std::printf("%s", padded(cell, columnWidth).c_str());
        }
        std::printf("\n");
    };
    for (const Part &part : road)
        line(part.name, [&](const std::string &label) -> const std::vector<double> & {
            return pooled[label].*part.values;
        });
    line("= reply -> next message", [&](const std::string &label) -> const std::vector<double> & {
        return gaps[label];
    });
    for (const Part &part : besides)
        line(part.name, [&](const std::string &label) -> const std::vector<double> & {
            return pooled[label].*part.values;
        });

    // What the GUI thread's events cost, per message, all runs of a side.
    std::map<std::string, std::map<std::string, std::pair<double, double>>> events;
    std::map<std::string, double> messages;
    for (const RunResult &r : results) {
        if (!r.ok || r.events.empty())
            continue;
        messages[r.side] += double(r.gaps.size() + 1);
        for (const auto &[type, cost] : r.events) {
            events[r.side][type].first += cost.first;
            events[r.side][type].second += cost.second;
        }
    }
    if (events.empty())
        return;
    std::printf("\nQt events the GUI thread handled during the update, per message: count, ms (the 6 costliest)\n");
    for (const std::string &label : labels) {
        if (!events.count(label))
            continue;
        std::vector<std::pair<std::string, std::pair<double, double>>> byCost(events[label].begin(),
                                                                              events[label].end());
        std::sort(byCost.begin(), byCost.end(),
                  [](const auto &a, const auto &b) { return a.second.second > b.second.second; });
        double total = 0;
        for (const auto &entry : byCost)
            total += entry.second.second;
        std::printf("%s all %.3f ms:", padded(label, sideWidth).c_str(), total / messages[label]);
        for (size_t i = 0; i < byCost.size() && i < 6; ++i)
            std::printf("  %s %.2f, %.3f", byCost[i].first.c_str(), byCost[i].second.first / messages[label],
                        byCost[i].second.second / messages[label]);
        std::printf("\n");
    }
}

// The medians of one size as a Markdown table, appended to path.
void appendMarkdown(const Options &opt, const std::string &sizeLabel, uint64_t messages, int repetitions,
                    const std::vector<std::string> &labels, std::map<std::string, Row> &medians)
{
    std::FILE *file = std::fopen(opt.markdownPath.c_str(), "a");
    if (!file) {
        std::perror(("tsu_bench: " + opt.markdownPath).c_str());
        return;
    }
    std::fprintf(file, "#### %s: %s, %llu messages; medians of %d runs a side\n\n",
                 opt.title.empty() ? "updates" : opt.title.c_str(), sizeLabel.c_str(),
                 static_cast<unsigned long long>(messages), repetitions);
    std::fprintf(file, "| side | update | reply→next message: median / p99 | CPU | CPU share of the update "
                       "(update alone) | peak memory |\n|---|---|---|---|---|---|\n");
    for (const std::string &label : labels) {
        if (!medians.count(label))
            continue;
        const Row &row = medians[label];
        std::fprintf(file, "| %s | %.2f s | %.3f / %.3f ms | %.2f s | %.1f %% (%.1f %%) | %.1f MiB |\n",
                     label.c_str(), row.wall, row.gapMedian, row.gapP99, row.cpu, row.cpuShare, row.updateCpuShare,
                     row.peak);
    }
    std::fprintf(file, "\n");
    std::fclose(file);
}

void printMachine(const Options &opt)
{
    const std::string wire = opt.wireSpeed > 0 ? "; each message takes as long to reach the instrument, and its "
                                                 "reply to come back, as on a cable of "
                                                 + std::to_string(opt.wireSpeed) + " bytes/s"
                                               : std::string();
    utsname host{};
    uname(&host);
    std::printf("machine: %ld CPUs, %s, memory %s, Linux %s, load average %s\n", sysconf(_SC_NPROCESSORS_ONLN),
                firstLineOf("/proc/cpuinfo", "model name").c_str(), firstLineOf("/proc/meminfo", "MemTotal").c_str(),
                host.release, loadAverage().c_str());
    if (!opt.usbProduct.empty())
        std::printf("transport: ALSA sequencer to the USB MIDI device \"%s\" through snd-usb-audio, on dummy_hcd's "
                    "emulated bus (the cycle column below only compares with a %.3f ms JACK cycle)%s\n",
                    opt.usbProduct.c_str(), 1000.0 * opt.period / opt.rate, wire.c_str());
    else if (opt.alsa)
        std::printf("transport: ALSA sequencer (the kernel's; the cycle column below only compares with a %.3f ms "
                    "JACK cycle)%s\n",
                    1000.0 * opt.period / opt.rate, wire.c_str());
    else
        std::printf("transport: JACK dummy backend, synchronous, a fresh server for each run, %d Hz, period %d "
                    "frames (%.3f ms cycle)%s\n",
                    opt.rate, opt.period, 1000.0 * opt.period / opt.rate, wire.c_str());
}
} // namespace

int main(int argc, char **argv)
{
    const Options opt = parseOptions(argc, argv);
    char dirTemplate[] = "/tmp/tsu-bench-XXXXXX";
    if (!mkdtemp(dirTemplate)) {
        std::perror("tsu_bench: mkdtemp");
        return 1;
    }
    const std::string dir = dirTemplate;

    // Its servers and clients meet no test's (or another benchmark's) in
    // JACK's files, where that is allowed.
    isolateJackFiles();
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // Read by the children, which make their connections on it.
    setenv("TSU_BENCH_TRANSPORT", opt.alsa ? "alsa" : "jack", 1);
    printMachine(opt);

    auto bench = std::make_unique<Bench>(opt, dir);
    bool allOk = true;
    for (const SizeRun &size : opt.sizes) {
        FileInfo file;
        if (!bench->makeFile(size.bytes, file)) {
            allOk = false;
            break;
        }
        const int repetitions = size.repetitions > 0 ? size.repetitions : opt.repetitions;
        std::printf("\n== file %s: %llu bytes, %llu messages (a header, then %llu of %llu bytes); "
                    "%d repetition%s, sides alternating\n",
                    sizeText(size.bytes).c_str(), static_cast<unsigned long long>(file.bytes),
                    static_cast<unsigned long long>(file.messages), static_cast<unsigned long long>(file.messages - 1),
                    static_cast<unsigned long long>(opt.messageLength), repetitions, repetitions == 1 ? "" : "s");
        std::fflush(stdout);

        // The sides take turns: a slow drift of the machine's load then
        // touches them all alike.
        std::vector<std::pair<std::string, std::string>> sides = opt.uploaders;
        sides.emplace_back("floor", TSU_BENCH_FLOOR_PATH);
        for (const auto &side : sides)
            sideWidth = std::max(sideWidth, side.first.size() + 2);
        std::vector<RunResult> results;
        for (int rep = 1; rep <= repetitions; ++rep) {
            for (const auto &[label, path] : sides) {
                std::fprintf(stderr, "  %s, run %d of %d ...", label.c_str(), rep, repetitions);
                std::fflush(stderr);
                results.push_back(bench->run(label, path, label == "floor", file, rep));
                const RunResult &r = results.back();
                if (r.ok) {
                    std::fprintf(stderr, " %.3f s\n", r.wallSeconds);
                } else {
                    std::fprintf(stderr, " FAILED\n");
                    std::printf("run %d %s FAILED: %s\n", rep, label.c_str(), r.problem.c_str());
                    allOk = false;
                }
            }
        }

        const double cycleMs = 1000.0 * opt.period / opt.rate;
        std::printf("\n");
        printHeader();
        std::vector<std::pair<const RunResult *, Row>> rows;
        std::map<std::string, std::vector<Row>> rowsOf;
        for (const RunResult &r : results) {
            if (!r.ok)
                continue;
            rows.emplace_back(&r, rowOf(r, file, cycleMs));
            rowsOf[r.side].push_back(rows.back().second);
            printRow(std::to_string(r.repetition), r.side, rows.back().second);
        }
        std::map<std::string, Row> medians;
        for (const auto &[label, path] : sides) {
            if (!rowsOf[label].empty()) {
                medians[label] = medianRow(rowsOf[label]);
                printRow("median", label, medians[label]);
            }
        }
        std::printf("\nwhere the reply-to-next-message time goes (medians, ms): the instrument's reply reaches the "
                    "client's\nMIDI callback, the client sends the next message, the message reaches the instrument; "
                    "the share of\nreply-to-next-message times under one JACK cycle; cycles the server reported late\n");
        printPartsHeader();
        for (const auto &[r, row] : rows)
            printParts(std::to_string(r->repetition), r->side, row);
        for (const auto &[label, path] : sides) {
            if (medians.count(label))
                printParts("median", label, medians[label]);
        }
        std::vector<std::string> labels;
        for (const auto &side : sides)
            labels.push_back(side.first);
        printRoad(labels, results);
        if (!opt.markdownPath.empty())
            appendMarkdown(opt, sizeText(size.bytes), file.messages, repetitions, labels, medians);

        if (medians.count("floor")) {
            const Row &floor = medians["floor"];
            std::printf("\n");
            for (const auto &[label, path] : opt.uploaders) {
                if (!medians.count(label))
                    continue;
                const Row &up = medians[label];
                std::printf("ratio %s/floor: wall time %.2fx, median reply->next message %.2fx; "
                            "added per message %.3f ms (wall), %.3f ms (median gap); CPU %.2fx "
                            "(%.1f %% of its update time against %.1f %%)\n",
                            label.c_str(), up.wall / floor.wall, up.gapMedian / floor.gapMedian,
                            1000.0 * (up.wall - floor.wall) / double(file.messages), up.gapMedian - floor.gapMedian,
                            up.cpu / floor.cpu, up.cpuShare, floor.cpuShare);
            }
        }
        std::fflush(stdout);
    }
    std::printf("\nload average at the end: %s\n", loadAverage().c_str());

    bench.reset();
    if (opt.keep || !allOk) {
        std::printf("work folder kept: %s\n", dir.c_str());
    } else {
        for (const SizeRun &size : opt.sizes)
            std::remove((dir + "/update-" + std::to_string(size.bytes) + ".tsu").c_str());
        for (const char *name : {"/jackd.log", "/make-tsu.out"})
            std::remove((dir + name).c_str());
        rmdir(dir.c_str());
    }
    if (!allOk) {
        std::printf("tsu_bench: FAILED\n");
        return 1;
    }
    return 0;
}
