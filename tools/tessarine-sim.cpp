// tessarine-sim: a simulated Tessarine instrument for testing the uploader
// against a real MIDI connection. It opens a virtual output and input port
// pair, answers each complete SysEx message it receives with one reply
// (acknowledgement or version reply), can announce its version before the
// first message or all along, delay or stop its replies, answer a message
// with the MIDI standard's NAK, WAIT or CANCEL or with a reply cut by a Note
// On, take as long to receive each message as a MIDI cable of a given speed
// would, and logs the traffic to a file.
// Runs until SIGINT or SIGTERM.

#include "midi/rtmidiclient.h"
#include "sysexbytes.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

using Clock = std::chrono::steady_clock;

// The output client, left open until the process ends (see Simulator::stop).
// External linkage, so the compiler keeps the store that makes it reachable.
RtMidiOut *outputKeptOpen = nullptr;

namespace {

// Log times are microseconds of the steady clock itself, not of this process:
// on Linux it is the system's monotonic clock, so the times of several
// processes (the uploader's tests, benchmarks) compare with each other.
long long steadyMicroseconds()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
}

const char usageText[] =
    "Usage: tessarine-sim [options]\n"
    "A simulated Tessarine instrument: answers each SysEx message with one reply.\n"
    "  --name NAME             port name base (default \"Tessarine Sim\"); ports are\n"
    "                          \"NAME >:MIDI\" (output) and \"NAME <:MIDI\" (input)\n"
    "  --version TEXT          answer the first message with a version reply carrying TEXT\n"
    "  --announce TEXT         send a version reply carrying TEXT until the first message\n"
    "  --announce-interval MS  time between announcements (default 100)\n"
    "  --announce-from K       announce from the K-th message received on, to the end,\n"
    "                          instead of until the first\n"
    "  --delay MS              wait this long before each reply (default 0)\n"
    "  --wire-speed B          bytes per second on the cable (e.g. 3125 for MIDI 1.0's\n"
    "                          31,250 baud): a message counts as arrived only once all its\n"
    "                          bytes would have, after the one before it, and its reply\n"
    "                          leaves once its own bytes would have crossed the return\n"
    "                          cable (default 0: at once)\n"
    "  --stop-after K          reply only to the first K messages\n"
    "  --nak K                 answer the K-th message received (resent ones count)\n"
    "                          with a NAK; repeatable\n"
    "  --wait K                answer the K-th message received with a WAIT, then with\n"
    "                          the acknowledgement after --wait-time\n"
    "  --wait-time MS          time between the WAIT and the acknowledgement (default 1000)\n"
    "  --cancel K              answer the K-th message received with a CANCEL\n"
    "  --cut-reply K           answer the K-th message received with an acknowledgement\n"
    "                          cut by a Note On (F0 7E 10, 90 7F 00, F7), which is none\n"
    "  --no-receive-port       offer no port to send to (\"NAME <:MIDI\" is not made)\n"
    "  --connect PORT          open the listed port PORT (or the one whose name starts\n"
    "                          with PORT and a space) both ways instead of making ports\n"
    "                          of its own: the instrument's end of a cable that is already\n"
    "                          there, such as a USB MIDI gadget's port over ALSA\n"
    "  --log FILE              write each received message to FILE as a hex line\n"
    "  --timestamps            with --log: \"rx|tx <microseconds> <hex>\" lines, replies too;\n"
    "                          microseconds of the system's monotonic clock\n"
    "  --help                  show this text\n"
    "Prints \"ready <output port name>\" once the ports are open (with --connect,\n"
    "the name of the port connected to).\n";

struct Options
{
    std::string name = "Tessarine Sim";
    std::optional<std::string> version;
    std::optional<std::string> announce;
    unsigned announceMs = 100;
    unsigned delayMs = 0;
    unsigned long wireSpeed = 0;
    std::optional<unsigned long> stopAfter;
    std::optional<unsigned long> announceFrom;
    std::set<unsigned long> nakAt;
    std::optional<unsigned long> waitAt;
    unsigned waitMs = 1000;
    std::optional<unsigned long> cancelAt;
    std::optional<unsigned long> cutReplyAt;
    bool receivePort = true;
    std::string logPath;
    bool timestamps = false;
    std::optional<std::string> connect;
};

// The MIDI standard's handshake messages for device 0x10 and packet 0.
Bytes handshake(unsigned char subId)
{
    return {0xF0, 0x7E, 0x10, subId, 0x00, 0xF7};
}

[[noreturn]] void usageError(const std::string &problem)
{
    std::cerr << "tessarine-sim: " << problem << "\n" << usageText;
    std::exit(2);
}

template <class Number>
Number parseNumber(const std::string &option, const std::string &text)
{
    Number value{};
    const char *end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end)
        usageError(option + " needs a non-negative whole number, not \"" + text + "\"");
    return value;
}

Options parseOptions(int argc, char **argv)
{
    Options opt;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help") {
            std::cout << usageText;
            std::exit(0);
        }
        if (arg == "--timestamps") {
            opt.timestamps = true;
            continue;
        }
        if (arg == "--no-receive-port") {
            opt.receivePort = false;
            continue;
        }
        static const std::set<std::string> valued{
            "--name",     "--version", "--announce", "--announce-interval", "--announce-from", "--delay",
            "--wire-speed", "--stop-after", "--nak",   "--wait",              "--wait-time",     "--cancel",
            "--cut-reply",  "--log",       "--connect"};
        if (!valued.count(arg))
            usageError("unknown option " + arg);
        if (i + 1 >= argc)
            usageError("missing value for " + arg);
        const std::string value = argv[++i];
        if (arg == "--name")
            opt.name = value;
        else if (arg == "--version")
            opt.version = value;
        else if (arg == "--announce")
            opt.announce = value;
        else if (arg == "--announce-interval")
            opt.announceMs = parseNumber<unsigned>(arg, value);
        else if (arg == "--delay")
            opt.delayMs = parseNumber<unsigned>(arg, value);
        else if (arg == "--wire-speed")
            opt.wireSpeed = parseNumber<unsigned long>(arg, value);
        else if (arg == "--stop-after")
            opt.stopAfter = parseNumber<unsigned long>(arg, value);
        else if (arg == "--announce-from")
            opt.announceFrom = parseNumber<unsigned long>(arg, value);
        else if (arg == "--nak")
            opt.nakAt.insert(parseNumber<unsigned long>(arg, value));
        else if (arg == "--wait")
            opt.waitAt = parseNumber<unsigned long>(arg, value);
        else if (arg == "--wait-time")
            opt.waitMs = parseNumber<unsigned>(arg, value);
        else if (arg == "--cancel")
            opt.cancelAt = parseNumber<unsigned long>(arg, value);
        else if (arg == "--cut-reply")
            opt.cutReplyAt = parseNumber<unsigned long>(arg, value);
        else if (arg == "--connect")
            opt.connect = value;
        else
            opt.logPath = value;
    }
    if (opt.announceMs == 0)
        usageError("--announce-interval must be at least 1");
    if (opt.announceFrom && !opt.announce)
        usageError("--announce-from needs --announce");
    return opt;
}

// Writes log lines on its own thread, so the MIDI callback only queues them.
// Lines come out in the order they were queued, each with a single write()
// straight to the file, so a reader polling the file sees whole lines.
class LogWriter
{
public:
    bool open(const std::string &path, bool timestamps)
    {
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd_ < 0)
            return false;
        timestamps_ = timestamps;
        thread_ = std::thread([this] { run(); });
        return true;
    }

    // A received message and the time its last byte arrived.
    void received(const Bytes &message, long long micros) { push('r', micros, message); }

    // A message sent at micros, taken just before sending, so that no
    // receiver can have it before its logged time: logged only with timestamps.
    void sent(const Bytes &message, long long micros)
    {
        if (timestamps_)
            push('t', micros, message);
    }

    // Writes every queued line, then closes the file.
    void close()
    {
        if (fd_ < 0)
            return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_one();
        thread_.join();
        ::close(fd_);
        fd_ = -1;
    }

private:
    struct Entry
    {
        char kind;
        long long micros;
        Bytes bytes;
    };

    void push(char kind, long long micros, const Bytes &message)
    {
        if (fd_ < 0)
            return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.push_back({kind, micros, message});
        }
        wake_.notify_one();
    }

    void run()
    {
        std::deque<Entry> batch;
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [this] { return done_ || !queue_.empty(); });
                if (queue_.empty())
                    return;  // done_ and nothing left
                batch.swap(queue_);
            }
            for (const Entry &entry : batch) {
                std::string line;
                if (timestamps_)
                    line = (entry.kind == 'r' ? "rx " : "tx ") + std::to_string(entry.micros) + ' ';
                line += hexLine(entry.bytes);
                line += '\n';
                if (!writeAll(line) && !writeFailed_) {
                    writeFailed_ = true;
                    std::cerr << "tessarine-sim: writing the log failed\n";
                }
            }
            batch.clear();
        }
    }

    bool writeAll(const std::string &text)
    {
        for (size_t done = 0; done < text.size();) {
            const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
            if (n < 0 && errno != EINTR)
                return false;
            if (n > 0)
                done += static_cast<size_t>(n);
        }
        return true;
    }

    int fd_ = -1;
    bool timestamps_ = false;
    bool writeFailed_ = false;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Entry> queue_;
    bool done_ = false;
    std::thread thread_;
};

// The index of the listed port called name, or whose name starts with name
// and a space, if there is one.
std::optional<unsigned> findPortIndex(RtMidi &client, const std::string &name)
{
    for (unsigned i = 0, count = client.getPortCount(); i < count; ++i) {
        const std::string port = client.getPortName(i);
        if (port == name || port.rfind(name + ' ', 0) == 0)
            return i;
    }
    return std::nullopt;
}

// The listed port called name, or whose name starts with name and a space;
// an empty string if there is none.
std::string findPort(RtMidi &client, const std::string &name)
{
    const std::optional<unsigned> index = findPortIndex(client, name);
    return index ? client.getPortName(*index) : std::string();
}

class Simulator
{
public:
    explicit Simulator(const Options &options) : opt_(options)
    {
        if (opt_.version)
            versionReply_ = versionReply(*opt_.version);
    }

    bool openLog()
    {
        return opt_.logPath.empty() || log_.open(opt_.logPath, opt_.timestamps);
    }

    // Opens both virtual ports; returns the full output port name, or an
    // empty string after reporting the failure. Refuses a name another
    // client already uses: JACK would quietly rename this one, and the
    // uploader would pair the wrong ports.
    std::string openPorts()
    {
        const std::string outClient = opt_.name + " >";
        const std::string inClient = opt_.name + " <";
        try {
            const MidiClients clients = createMidiClients(inClient, 100u, outClient);
            in_.reset(clients.in);
            out_.reset(clients.out);
            if (!out_ || !in_)
                return {};
            const auto patience = std::chrono::seconds(10);
            if (!waitForMidiService(*out_, patience) || !waitForMidiService(*in_, patience)) {
                std::cerr << "tessarine-sim: the MIDI service took no client within " << patience.count()
                          << " s\n";
                return {};
            }
            if (opt_.connect)
                return connectPorts(*opt_.connect);
            const std::string names[] = {findPort(*in_, outClient + ":MIDI"), findPort(*out_, inClient + ":MIDI")};
            for (const std::string &taken : names) {
                if (!taken.empty()) {
                    std::cerr << "tessarine-sim: port \"" << taken
                              << "\" already exists; give each simulator its own --name\n";
                    return {};
                }
            }
            out_->openVirtualPort("MIDI");
            in_->ignoreTypes(false, true, true);
            in_->setCallback(&Simulator::onMidiInput, this);
            if (opt_.receivePort)
                in_->openVirtualPort("MIDI");
            // ALSA adds client and port numbers to the name; JACK does not.
            const std::string name = findPort(*in_, outClient + ":MIDI");
            return name.empty() ? outClient + ":MIDI" : name;
        } catch (const RtMidiError &error) {
            std::cerr << "tessarine-sim: " << error.getMessage() << '\n';
            return {};
        }
    }

    // --connect: opens the existing port called name both ways, as the
    // instrument's end of a cable; returns its name as listed, or an empty
    // string after saying that it is not there.
    std::string connectPorts(const std::string &name)
    {
        const std::optional<unsigned> from = findPortIndex(*in_, name), to = findPortIndex(*out_, name);
        if (!from || !to) {
            std::cerr << "tessarine-sim: no port \"" << name << "\" to " << (from ? "send to" : "receive from")
                      << '\n';
            return {};
        }
        out_->openPort(*to, "MIDI");
        in_->ignoreTypes(false, true, true);
        in_->setCallback(&Simulator::onMidiInput, this);
        in_->openPort(*from, "MIDI");
        return in_->getPortName(*from);
    }

    // Starts the announcement and delayed-reply threads as needed.
    void start()
    {
        if (opt_.announce)
            announcer_ = std::thread([this] { announce(); });
        if (repliesWait())
            replier_ = std::thread([this] { replyLater(); });
    }

    // Stops input first: deleting the input closes its client, which waits
    // for a running callback to return, so none runs during the rest of the
    // teardown. Replies still waiting for their delay are dropped.
    void stop()
    {
        in_.reset();
        {
            std::lock_guard<std::mutex> lock(sendMutex_);
            stopAnnouncing_ = true;
        }
        announceWake_.notify_all();
        {
            std::lock_guard<std::mutex> lock(pendingMutex_);
            stopReplying_ = true;
        }
        pendingWake_.notify_all();
        if (announcer_.joinable())
            announcer_.join();
        if (replier_.joinable())
            replier_.join();
        log_.close();
        // Deliberately not deleted: RtMidi 5.0's JACK output frees its send
        // buffer before closing its client, so the JACK thread can still read
        // the freed buffer and crash the process now and then. Process exit
        // closes the client instead; the global keeps the object reachable,
        // so leak checkers do not report it.
        outputKeptOpen = out_.release();
    }

    unsigned long received() const { return received_; }
    unsigned long replies() const { return replies_; }
    unsigned long announcements() const { return announcements_; }

private:
    static void onMidiInput(double, std::vector<unsigned char> *bytes, void *self)
    {
        auto *sim = static_cast<Simulator *>(self);
        sim->assembler_.feed(bytes->data(), bytes->size(), [sim](const Bytes &m) { sim->onMessage(m); });
    }

    // One complete message: reply now, later or not at all, and log it.
    // Every event is timed and logged under sendMutex_, so the log order is
    // the order in which things happened. An immediate reply goes out before
    // the message is queued for the log, to keep the reply latency low.
    void onMessage(const Bytes &message)
    {
        std::unique_lock<std::mutex> lock(sendMutex_);
        const long long arrival = steadyMicroseconds();
        const unsigned long index = received_++;
        firstArrived_ = true;
        const bool answer = !opt_.stopAfter || index < *opt_.stopAfter;
        const unsigned long number = index + 1;
        const bool waits = opt_.waitAt == number;
        const Bytes &reply = replyTo(number);
        Clock::time_point due = Clock::now() + std::chrono::milliseconds(opt_.delayMs);
        if (opt_.wireSpeed > 0) {
            // The message's bytes reach the instrument one after another at
            // the cable's speed, behind those of the message before; then the
            // reply's bytes take their time on the way back.
            const auto now = Clock::now();
            wireFree_ = std::max(wireFree_, now) + wireTime(message.size());
            due = wireFree_ + wireTime(reply.size()) + std::chrono::milliseconds(opt_.delayMs);
        }
        if (answer && waits) {
            // Busy at once; the answer itself comes later.
            log_.received(message, arrival);
            sendLocked(waitMessage_);
            due += std::chrono::milliseconds(opt_.waitMs);
        } else if (answer && !repliesWait()) {
            const long long sentAt = steadyMicroseconds();
            send(reply);
            log_.received(message, arrival);
            log_.sent(reply, sentAt);
            ++replies_;
        } else {
            log_.received(message, arrival);
        }
        announceWake_.notify_all();
        if (!answer || !repliesWait())
            return;
        lock.unlock();
        {
            std::lock_guard<std::mutex> pendingLock(pendingMutex_);
            pending_.push_back({due, reply});
        }
        pendingWake_.notify_one();
    }

    bool repliesWait() const { return opt_.delayMs > 0 || opt_.wireSpeed > 0 || opt_.waitAt; }

    // The answer to the message received as the number-th.
    const Bytes &replyTo(unsigned long number) const
    {
        if (opt_.nakAt.count(number))
            return nak_;
        if (opt_.cancelAt == number)
            return cancel_;
        if (opt_.cutReplyAt == number)
            return cutReply_;
        return (number == 1 && opt_.version) ? versionReply_ : acknowledgement();
    }

    std::chrono::nanoseconds wireTime(size_t bytes) const
    {
        return std::chrono::nanoseconds(static_cast<long long>(bytes * 1000000000ull / opt_.wireSpeed));
    }

    // Sends message; the caller holds sendMutex_. A message the library
    // refuses is reported and dropped.
    void send(const Bytes &message)
    {
        try {
            out_->sendMessage(&message);
        } catch (const RtMidiError &error) {
            std::cerr << "tessarine-sim: " << error.getMessage() << '\n';
        }
    }

    void sendLocked(const Bytes &message)
    {
        const long long sentAt = steadyMicroseconds();
        send(message);
        log_.sent(message, sentAt);
    }

    // Sends the announcement until the first message arrives, or, with
    // --announce-from, from the K-th message on until the end.
    void announce()
    {
        const Bytes message = versionReply(*opt_.announce);
        std::unique_lock<std::mutex> lock(sendMutex_);
        if (opt_.announceFrom) {
            announceWake_.wait(lock, [this] { return stopAnnouncing_ || received_ >= *opt_.announceFrom; });
            while (!stopAnnouncing_) {
                sendLocked(message);
                ++announcements_;
                announceWake_.wait_for(lock, std::chrono::milliseconds(opt_.announceMs),
                                       [this] { return stopAnnouncing_; });
            }
            return;
        }
        while (!firstArrived_ && !stopAnnouncing_) {
            sendLocked(message);
            ++announcements_;
            announceWake_.wait_for(lock, std::chrono::milliseconds(opt_.announceMs),
                                   [this] { return firstArrived_ || stopAnnouncing_; });
        }
    }

    // Sends queued replies in arrival order, each when its delay is over.
    void replyLater()
    {
        std::unique_lock<std::mutex> lock(pendingMutex_);
        for (;;) {
            pendingWake_.wait(lock, [this] { return stopReplying_ || !pending_.empty(); });
            if (stopReplying_)
                return;
            const Clock::time_point due = pending_.front().due;
            if (pendingWake_.wait_until(lock, due, [this] { return stopReplying_; }))
                return;
            Bytes reply = std::move(pending_.front().reply);
            pending_.pop_front();
            lock.unlock();
            {
                std::lock_guard<std::mutex> sendLock(sendMutex_);
                sendLocked(reply);
                ++replies_;
            }
            lock.lock();
        }
    }

    struct Pending
    {
        Clock::time_point due;
        Bytes reply;
    };

    const Options opt_;
    Bytes versionReply_;
    const Bytes nak_ = handshake(0x7E);
    const Bytes waitMessage_ = handshake(0x7C);
    const Bytes cancel_ = handshake(0x7D);
    // An acknowledgement into which a Note On came: MIDI 1.0 ends the SysEx
    // message at the Note On's status byte, so no acknowledgement arrives.
    // Its data bytes, appended to the message, would make one.
    const Bytes cutReply_ = {0xF0, 0x7E, 0x10, 0x90, 0x7F, 0x00, 0xF7};
    std::unique_ptr<RtMidiOut> out_;
    std::unique_ptr<RtMidiIn> in_;
    SysexAssembler assembler_;  // MIDI input thread only
    LogWriter log_;

    std::mutex sendMutex_;  // guards sends, log pushes, firstArrived_, stopAnnouncing_
    std::condition_variable announceWake_;
    bool firstArrived_ = false;
    Clock::time_point wireFree_{};  // when the cable to the instrument is free again
    bool stopAnnouncing_ = false;
    std::atomic<unsigned long> received_{0}, replies_{0}, announcements_{0};
    std::thread announcer_;

    std::mutex pendingMutex_;
    std::condition_variable pendingWake_;
    std::deque<Pending> pending_;
    bool stopReplying_ = false;
    std::thread replier_;
};

}  // namespace

int main(int argc, char **argv)
{
    const Options opt = parseOptions(argc, argv);

    // Every thread, MIDI library threads included, inherits this mask, so the
    // signals reach only the sigwait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    Simulator sim(opt);
    if (!sim.openLog()) {
        std::cerr << "tessarine-sim: cannot write the log file " << opt.logPath << '\n';
        return 1;
    }
    const std::string portName = sim.openPorts();
    if (portName.empty()) {
        std::cerr << "tessarine-sim: could not open the MIDI ports\n";
        sim.stop();
        return 1;
    }
    sim.start();
    std::cout << "ready " << portName << std::endl;

    int signal = 0;
    sigwait(&stopSignals, &signal);
    sim.stop();
    std::cerr << "tessarine-sim: " << sim.received() << " messages received, " << sim.replies()
              << " replies sent, " << sim.announcements() << " announcements sent\n";
    return 0;
}
