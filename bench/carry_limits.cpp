// tsu_carry_limits: what each MIDI service carries of one SysEx message,
// found by sending it. The uploader must refuse a file holding a message that
// the open service cannot carry whole and unchanged, before it sends anything;
// the figures it refuses by are measured here (docs/midi-services.md).
//
//   tsu_carry_limits jack [--periods 16,64,256,1024] [--rate HZ] [OPTIONS]
//       on private JACK servers (dummy backend, synchronous), one per period
//   tsu_carry_limits alsa [--winmm EXE | --winmm-only EXE | --usb-only] [OPTIONS]
//       on the machine's ALSA sequencer with snd-virmidi (the guest of
//       tests/alsa-vm); --winmm adds the Windows build of the sender, under Wine;
//       where a USB MIDI gadget is plugged in (alsa-vm run --usb-midi), through
//       snd-usb-audio to it too (--usb-only: to it alone)
//   OPTIONS: --repeat N, --patience MS, --settle MS, --keep (see usage())
//
// Each probe sends one message through a freshly opened output, then a small
// marker message through the same output. The receiver's bytes up to the
// marker are what arrived of the probe; the marker arriving also says that
// the output still works after it. Senders and receivers are child processes,
// this same program in another role (the sender's Windows build under Wine):
//
//   send rtmidi-jack|rtmidi-alsa|jack-bare|alsa-bare|winmm
//       commands on stdin: "open TEXT" (a fresh output on the first port whose
//       name holds TEXT), "send HEX"; answers on stdout, see runSender
//   receive jack|alsa     an RtMidiIn virtual port, as the simulated instrument has
//   raw-read DEVICE       the bytes a raw MIDI device gives, as a cable would carry them
#include "sysexbytes.h"

#include <rtmidi/RtMidi.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#ifndef _WIN32
#include "children.h"
#include "jackserver.h"
#include "midi/rtmidiclient.h"

#include <alsa/asoundlib.h>
#include <jack/jack.h>
#include <jack/midiport.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>
#endif

namespace {
using namespace std::chrono_literals;

Bytes fromHex(const std::string &text)
{
    Bytes bytes;
    std::istringstream in(text);
    for (std::string byte; in >> byte;)
        bytes.push_back(static_cast<unsigned char>(std::stoul(byte, nullptr, 16)));
    return bytes;
}

// ---------------------------------------------------------------- senders

// An output that opens a new connection for each probe, so that no probe
// inherits what an earlier one left in a buffer or an encoder. Lines answered
// to the driver: "w TEXT" for what the MIDI library told its user (an error
// callback), "i TEXT" for what a bare sender learnt from the service itself.
class Output
{
public:
    virtual ~Output() = default;
    // The full name of the port opened; throws when there is none.
    virtual std::string open(const std::string &match) = 0;
    virtual std::vector<std::string> send(const Bytes &message) = 0;
};

std::string uniqueName(const char *role)
{
    // JACK renames a client whose name is still taken; a name of its own
    // each time keeps the port's name known.
    static unsigned opened = 0;
#ifdef _WIN32
    return std::string(role) + "-" + std::to_string(++opened);
#else
    return std::string(role) + "-" + std::to_string(getpid()) + "-" + std::to_string(++opened);
#endif
}

class RtMidiOutput : public Output
{
public:
    explicit RtMidiOutput(RtMidi::Api api) : api(api) {}

    std::string open(const std::string &match) override
    {
        out.reset();
        said.clear();
        const std::string name = uniqueName("tsu-carry-sender");
        out = std::make_unique<RtMidiOut>(api, name);
#ifndef _WIN32
        if (!waitForMidiService(*out, 10s))
            throw std::runtime_error("the MIDI service took no client");
#endif
        // From here on nothing throws: every warning and error comes here, as
        // it would to an uploader that listens.
        out->setErrorCallback(&RtMidiOutput::collect, this);
        for (unsigned i = 0, count = out->getPortCount(); i < count; ++i) {
            const std::string port = out->getPortName(i);
            if (port.find(match) == std::string::npos)
                continue;
            out->openPort(i, "out");
            if (!said.empty())
                throw std::runtime_error(said.front());
#ifndef _WIN32
            // A message sent before the connection is in the server's cycles goes nowhere.
            if (api == RtMidi::UNIX_JACK && !waitUntilConnected(name + ":out"))
                throw std::runtime_error("no connection from " + name + ":out");
#endif
            return port;
        }
        throw std::runtime_error("no output port with \"" + match + "\" in its name");
    }

    std::vector<std::string> send(const Bytes &message) override
    {
        if (!out)
            throw std::runtime_error("no output is open");
        said.clear();
        out->sendMessage(message.data(), message.size());
        return said;
    }

private:
    static void collect(RtMidiError::Type type, const std::string &text, void *self)
    {
        static const char *const names[] = {"WARNING",          "DEBUG_WARNING", "UNSPECIFIED",  "NO_DEVICES_FOUND",
                                            "INVALID_DEVICE",   "MEMORY_ERROR",  "INVALID_PARAMETER",
                                            "INVALID_USE",      "DRIVER_ERROR",  "SYSTEM_ERROR", "THREAD_ERROR"};
        const std::string kind = unsigned(type) < std::size(names) ? names[type] : std::to_string(int(type));
        static_cast<RtMidiOutput *>(self)->said.push_back("w " + kind + ": " + text);
    }

    const RtMidi::Api api;
    std::unique_ptr<RtMidiOut> out;
    std::vector<std::string> said;
};

#ifndef _WIN32
// JACK without RtMidi's ring buffer: one event reserved straight in the
// port's buffer, to tell JACK's own limit from RtMidi's.
class BareJackOutput : public Output
{
public:
    ~BareJackOutput() override { close(); }

    std::string open(const std::string &match) override
    {
        close();
        client = jack_client_open(uniqueName("tsu-carry-bare").c_str(), JackNoStartServer, nullptr);
        if (!client)
            throw std::runtime_error("jack_client_open failed");
        port = jack_port_register(client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
        if (!port || jack_set_process_callback(client, &BareJackOutput::process, this) != 0 || jack_activate(client) != 0)
            throw std::runtime_error("cannot set up a JACK MIDI output");
        std::string target;
        const char **ports = jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput);
        for (const char **p = ports; p && *p && target.empty(); ++p) {
            if (std::string(*p).find(match) != std::string::npos)
                target = *p;
        }
        jack_free(ports);
        if (target.empty())
            throw std::runtime_error("no JACK MIDI input with \"" + match + "\" in its name");
        if (jack_connect(client, jack_port_name(port), target.c_str()) != 0 || !waitUntilConnected(jack_port_name(port)))
            throw std::runtime_error("cannot connect to " + target);
        return target;
    }

    std::vector<std::string> send(const Bytes &message) override
    {
        pending = &message;
        stage.store(1, std::memory_order_release);
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (stage.load(std::memory_order_acquire) != 2) {
            if (std::chrono::steady_clock::now() > deadline)
                throw std::runtime_error("no JACK cycle ran for 5 s");
            std::this_thread::sleep_for(100us);
        }
        stage.store(0, std::memory_order_relaxed);
        const std::string room = "jack_midi_max_event_size " + std::to_string(maxEventSize);
        if (!reserved)
            return {"i jack_midi_event_reserve refused " + std::to_string(message.size()) + " bytes; " + room};
        return {"i " + room};
    }

private:
    static int process(jack_nframes_t frames, void *arg)
    {
        auto *self = static_cast<BareJackOutput *>(arg);
        void *buffer = jack_port_get_buffer(self->port, frames);
        jack_midi_clear_buffer(buffer);
        if (self->stage.load(std::memory_order_acquire) == 1) {
            self->maxEventSize = jack_midi_max_event_size(buffer);
            jack_midi_data_t *data = jack_midi_event_reserve(buffer, 0, self->pending->size());
            if (data)
                std::memcpy(data, self->pending->data(), self->pending->size());
            self->reserved = data != nullptr;
            self->stage.store(2, std::memory_order_release);
        }
        return 0;
    }

    void close()
    {
        if (client)
            jack_client_close(client);
        client = nullptr;
    }

    jack_client_t *client = nullptr;
    jack_port_t *port = nullptr;
    const Bytes *pending = nullptr;
    std::atomic<int> stage{0}; // 0 idle, 1 for the next cycle, 2 done by it
    bool reserved = false;
    size_t maxEventSize = 0;
};

std::string alsaResult(long result)
{
    return result < 0 ? std::to_string(result) + " (" + snd_strerror(int(result)) + ")" : std::to_string(result);
}

// The ALSA calls RtMidi's output makes, in its order, with what each returns:
// RtMidi turns some failures into warnings and ignores the drain's.
class BareAlsaOutput : public Output
{
public:
    ~BareAlsaOutput() override { close(); }

    std::string open(const std::string &match) override
    {
        close();
        if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_OUTPUT, SND_SEQ_NONBLOCK) < 0)
            throw std::runtime_error("snd_seq_open failed");
        snd_seq_set_client_name(seq, uniqueName("tsu-carry-bare").c_str());
        port = snd_seq_create_simple_port(seq, "out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                          SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
        snd_seq_client_info_t *client;
        snd_seq_port_info_t *info;
        snd_seq_client_info_alloca(&client);
        snd_seq_port_info_alloca(&info);
        snd_seq_client_info_set_client(client, -1);
        const unsigned writable = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
        while (snd_seq_query_next_client(seq, client) >= 0) {
            snd_seq_port_info_set_client(info, snd_seq_client_info_get_client(client));
            snd_seq_port_info_set_port(info, -1);
            while (snd_seq_query_next_port(seq, info) >= 0) {
                const std::string name = std::string(snd_seq_client_info_get_name(client)) + ":"
                                         + snd_seq_port_info_get_name(info);
                if ((snd_seq_port_info_get_capability(info) & writable) != writable
                    || name.find(match) == std::string::npos)
                    continue;
                if (snd_seq_connect_to(seq, port, snd_seq_port_info_get_client(info), snd_seq_port_info_get_port(info)) < 0)
                    throw std::runtime_error("cannot connect to " + name);
                return name;
            }
        }
        throw std::runtime_error("no ALSA port with \"" + match + "\" in its name");
    }

    std::vector<std::string> send(const Bytes &message) override
    {
        std::vector<std::string> said;
        snd_midi_event_t *coder = nullptr;
        snd_midi_event_new(message.size(), &coder);
        for (size_t offset = 0; offset < message.size();) {
            snd_seq_event_t event;
            snd_seq_ev_clear(&event);
            snd_seq_ev_set_source(&event, port);
            snd_seq_ev_set_subs(&event);
            snd_seq_ev_set_direct(&event);
            const long used = snd_midi_event_encode(coder, message.data() + offset, long(message.size() - offset), &event);
            if (used < 0 || event.type == SND_SEQ_EVENT_NONE) {
                said.push_back("i snd_midi_event_encode: " + (used < 0 ? alsaResult(used) : "no event from the last "
                               + std::to_string(message.size() - offset) + " bytes"));
                break;
            }
            offset += size_t(used);
            std::string what = "event type " + std::to_string(event.type);
            if (event.type == SND_SEQ_EVENT_SYSEX)
                what = "SYSEX event of " + std::to_string(event.data.ext.len) + " bytes";
            said.push_back("i " + what + ": snd_seq_event_output " + alsaResult(snd_seq_event_output(seq, &event)));
        }
        snd_midi_event_free(coder);
        const int drained = snd_seq_drain_output(seq);
        said.push_back("i snd_seq_drain_output " + alsaResult(drained) + ", "
                       + std::to_string(snd_seq_event_output_pending(seq)) + " bytes left in the output buffer");
        return said;
    }

private:
    void close()
    {
        if (seq)
            snd_seq_close(seq);
        seq = nullptr;
    }

    snd_seq_t *seq = nullptr;
    int port = -1;
};
#endif

std::unique_ptr<Output> makeOutput(const std::string &kind)
{
#ifdef _WIN32
    if (kind == "winmm")
        return std::make_unique<RtMidiOutput>(RtMidi::WINDOWS_MM);
#else
    if (kind == "rtmidi-jack")
        return std::make_unique<RtMidiOutput>(RtMidi::UNIX_JACK);
    if (kind == "rtmidi-alsa")
        return std::make_unique<RtMidiOutput>(RtMidi::LINUX_ALSA);
    if (kind == "jack-bare")
        return std::make_unique<BareJackOutput>();
    if (kind == "alsa-bare")
        return std::make_unique<BareAlsaOutput>();
#endif
    return nullptr;
}

// Answers "open NAME" or "fail TEXT" to "open", and the lines of what the
// sender was told, then "sent" (or "fail TEXT"), to "send". Ends with its input.
int runSender(Output &output)
{
    for (std::string line; std::getline(std::cin, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        try {
            if (line.rfind("open ", 0) == 0) {
                const std::string port = output.open(line.substr(5));
                std::cout << "open " << port << std::endl;
            } else if (line.rfind("send ", 0) == 0) {
                for (const std::string &said : output.send(fromHex(line.substr(5))))
                    std::cout << said << '\n';
                std::cout << "sent" << std::endl;
            }
        } catch (const std::exception &error) {
            std::cout << "fail " << error.what() << std::endl;
        }
    }
    return 0;
}

#ifndef _WIN32
// ---------------------------------------------------------------- receivers

void printLine(const std::string &line)
{
    const std::string text = line + '\n';
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

// "m HEX" for each message RtMidi delivers, "e TEXT" for its errors; its
// handler thread's own complaints go to the standard error, which the driver
// reads as well.
int runReceiver(RtMidi::Api api, const std::string &name)
{
    // Ended by SIGTERM, taken here rather than by default, so that the client
    // leaves the service cleanly. Blocked before RtMidi starts its threads,
    // which inherit the mask.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    RtMidiIn in(api, name, 1000);
    if (!waitForMidiService(in, 10s))
        return 1;
    in.setErrorCallback([](RtMidiError::Type, const std::string &text, void *) { printLine("e " + text); });
    in.ignoreTypes(false, false, false);
    in.setCallback([](double, std::vector<unsigned char> *message, void *) { printLine("m " + hexLine(*message)); });
    in.openVirtualPort(name);
    printLine("ready");
    int signal = 0;
    sigwait(&stop, &signal);
    return 0;
}

// "m HEX" for each read; the pieces are of a byte stream, not messages.
int runRawReader(const char *device)
{
    const int fd = open(device, O_RDONLY);
    if (fd < 0) {
        std::perror(device);
        return 1;
    }
    // The first poll starts the device's input: from then on, what comes is
    // kept for reading.
    pollfd wait{fd, POLLIN, 0};
    poll(&wait, 1, 0);
    printLine("ready");
    std::vector<unsigned char> buffer(65536);
    for (;;) {
        const ssize_t got = read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            std::perror(device);
            return 1;
        }
        printLine("m " + hexLine(Bytes(buffer.begin(), buffer.begin() + got)));
    }
}

// ---------------------------------------------------------------- the driver

void say(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

// A child with its standard output read line by line, its standard input
// written when it has one, and its standard error kept in a file. It is ended
// with the object, and by the kernel with this process.
class Child
{
public:
    Child() = default;
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    ~Child() { stop(); }

    bool start(const std::vector<std::string> &command, const std::string &errorPath, bool withInput)
    {
        stop();
        int out[2], in[2] = {-1, -1};
        if (pipe2(out, O_CLOEXEC) != 0 || (withInput && pipe2(in, O_CLOEXEC) != 0))
            return false;
        const int errors = open(errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        pid = spawnProcess(command, out[1], errors, SIGTERM, in[0]);
        close(out[1]);
        close(errors);
        if (in[0] >= 0)
            close(in[0]);
        outFd = out[0];
        inFd = in[1];
        pending.clear();
        return pid > 0;
    }

    // A sender ends when its input does, leaving its MIDI service in order;
    // anything else is asked to end, then made to.
    void stop()
    {
        if (inFd >= 0)
            close(inFd);
        inFd = -1;
        int status = 0;
        if (pid > 0 && !waitForExit(pid, 3s, &status))
            endProcess(pid, 5s);
        pid = -1;
        if (outFd >= 0)
            close(outFd);
        outFd = -1;
    }

    bool running() const { return pid > 0; }

    bool readLine(std::string &line, std::chrono::milliseconds timeout)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            const size_t end = pending.find('\n');
            if (end != std::string::npos) {
                line = pending.substr(0, end);
                pending.erase(0, end + 1);
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd wait{outFd, POLLIN, 0};
            if (outFd < 0 || left.count() <= 0 || poll(&wait, 1, int(left.count())) <= 0)
                return false;
            char chunk[65536];
            const ssize_t got = read(outFd, chunk, sizeof chunk);
            if (got <= 0)
                return false;
            pending.append(chunk, size_t(got));
        }
    }

    bool writeLine(const std::string &line)
    {
        const std::string text = line + '\n';
        for (size_t done = 0; done < text.size();) {
            const ssize_t wrote = write(inFd, text.data() + done, text.size() - done);
            if (wrote <= 0)
                return false;
            done += size_t(wrote);
        }
        return true;
    }

private:
    pid_t pid = -1;
    int outFd = -1;
    int inFd = -1;
    std::string pending;
};

struct Route
{
    std::string title;
    std::vector<std::string> sender;   // the sender's command
    std::vector<std::string> receiver; // the receiver's command
    std::string port;                  // part of the receiver's port name, as the sender lists it
    bool byteStream = false;           // the receiver reads bytes, not messages
};

struct Outcome
{
    std::string failure;               // the sender could not open or send
    std::vector<std::string> told;     // what the sender's MIDI library told it (error callback)
    std::vector<std::string> toldNext; // ... when the marker went out after it
    std::vector<std::string> service;  // a bare sender's view of the service's own calls
    std::vector<std::string> serviceNext;
    std::vector<Bytes> arrived;        // the messages received before the marker (a byte stream: one)
    bool nextArrived = false;          // the marker arrived
    bool joined = false;               // the last of them came in one message with the marker
    std::string afterwards;            // whether the receiver can still be reached, when the marker did not arrive
    std::vector<std::string> receiverSaid;
};

bool whole(const Outcome &outcome, const Bytes &message)
{
    return outcome.nextArrived && !outcome.joined && outcome.arrived.size() == 1 && outcome.arrived[0] == message;
}

bool endsWith(const Bytes &bytes, const Bytes &tail)
{
    return bytes.size() >= tail.size() && std::equal(tail.begin(), tail.end(), bytes.end() - long(tail.size()));
}

// Runs probes along one route, keeping its sender and receiver while they
// work and starting both afresh after a probe whose marker did not arrive (a
// receiver may be left stuck; Wine lists the ports it finds at its start).
class Prober
{
public:
    Prober(Route route, std::string work, std::chrono::milliseconds patience, std::chrono::milliseconds settle)
        : route(std::move(route)), work(std::move(work)), patience(patience), settle(settle)
    {
    }
    ~Prober() { restart(); }
    const Route &path() const { return route; }

    // With recovery, a message that keeps the next one from arriving is
    // followed by one through the same sender's output opened anew, and, if
    // that does not arrive either, by one from a new sender process.
    Outcome probe(const Bytes &message, bool recovery = false)
    {
        Outcome outcome;
        if (!started(outcome.failure))
            return outcome;
        // A sender under emulated Wine takes most of a minute to start.
        if (!open(sender, std::exchange(senderFresh, false), outcome.failure)) {
            restart();
            return outcome;
        }
        const Bytes marker = nextMarker();
        if (!send(sender, message, outcome.told, outcome.service, outcome.failure)) {
            restart();
            return outcome;
        }
        // The marker goes out once the message has arrived, or once nothing
        // more has come for a while, as the uploader sends nothing more until
        // the instrument replies: a message still unread leaves the next one
        // less room in an ALSA client's input pool.
        Bytes stream;
        const auto never = std::chrono::steady_clock::time_point::max();
        readUntil(message, settle, never, outcome, stream);
        if (!send(sender, marker, outcome.toldNext, outcome.serviceNext, outcome.failure)) {
            restart();
            return outcome;
        }
        outcome.nextArrived = readUntil(marker, patience, std::chrono::steady_clock::now() + patience, outcome, stream);
        if (route.byteStream && !stream.empty())
            outcome.arrived.push_back(stream);
        if (outcome.nextArrived) {
            Bytes &last = outcome.arrived.back();
            last.resize(last.size() - marker.size());
            outcome.joined = !route.byteStream && !last.empty();
            if (last.empty())
                outcome.arrived.pop_back();
        }
        if (!outcome.nextArrived && recovery) {
            outcome.afterwards = "a message through the sender's output opened anew ";
            if (markerArrives(sender, false)) {
                outcome.afterwards += "arrived";
            } else {
                Child other;
                const bool started = other.start(route.sender, work + "/sender-new.err", true);
                outcome.afterwards += std::string("did not arrive; one from a new sender process ")
                                      + (started && markerArrives(other, true) ? "arrived" : "did not arrive");
            }
        }
        readReceiverErrors(outcome.receiverSaid);
        if (!outcome.nextArrived)
            restart();
        return outcome;
    }

private:
    // Reads what the receiver delivers until it ends with tail (true), or
    // nothing has come for quiet, or deadline has passed.
    bool readUntil(const Bytes &tail, std::chrono::milliseconds quiet, std::chrono::steady_clock::time_point deadline,
                   Outcome &outcome, Bytes &stream)
    {
        for (std::string line;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !receiver.readLine(line, std::min(quiet, left)))
                return false;
            if (line.rfind("e ", 0) == 0) {
                outcome.receiverSaid.push_back("error callback: " + line.substr(2));
            } else if (line.rfind("m ", 0) == 0) {
                const Bytes bytes = fromHex(line.substr(2));
                if (route.byteStream)
                    stream.insert(stream.end(), bytes.begin(), bytes.end());
                else
                    outcome.arrived.push_back(bytes);
                if (endsWith(route.byteStream ? stream : bytes, tail))
                    return true;
            }
        }
    }

    bool started(std::string &problem)
    {
        std::string line;
        if (!receiver.running()) {
            errorsPath = work + "/receiver-" + std::to_string(++receiversStarted) + ".err";
            errorsRead = 0;
            if (!receiver.start(route.receiver, errorsPath, false) || !receiver.readLine(line, patience * 4) || line != "ready") {
                problem = "the receiver did not start (" + errorsPath + ")";
                restart();
                return false;
            }
        }
        if (!sender.running()) {
            if (!sender.start(route.sender, work + "/sender.err", true)) {
                problem = "the sender did not start";
                return false;
            }
            senderFresh = true;
        }
        return true;
    }

    void restart()
    {
        sender.stop();
        receiver.stop();
    }

    Bytes nextMarker()
    {
        ++markers;
        return {0xF0, 0x7D, 0x7F, static_cast<unsigned char>((markers >> 7) & 0x7F),
                static_cast<unsigned char>(markers & 0x7F), 0xF7};
    }

    // A fresh output on the receiver's port.
    bool open(Child &via, bool justStarted, std::string &failure)
    {
        std::string line;
        if (via.writeLine("open " + route.port) && via.readLine(line, justStarted ? patience * 30 : patience * 4)
            && line.rfind("open ", 0) == 0)
            return true;
        failure = line.empty() ? "the sender did not answer \"open\"" : line;
        return false;
    }

    bool send(Child &via, const Bytes &message, std::vector<std::string> &told, std::vector<std::string> &service,
              std::string &failure)
    {
        if (!via.writeLine("send " + hexLine(message))) {
            failure = "the sender has ended";
            return false;
        }
        for (std::string line; via.readLine(line, patience * 4);) {
            if (line == "sent")
                return true;
            if (line.rfind("w ", 0) == 0)
                told.push_back(line.substr(2));
            else if (line.rfind("i ", 0) == 0)
                service.push_back(line.substr(2));
            else if (line.rfind("fail ", 0) == 0) {
                failure = line.substr(5);
                return false;
            }
        }
        failure = "the sender did not answer \"send\" within " + std::to_string((patience * 4).count()) + " ms";
        return false;
    }

    bool markerArrives(Child &via, bool justStarted)
    {
        Outcome scratch;
        Bytes stream;
        std::vector<std::string> told, service;
        const Bytes marker = nextMarker();
        return open(via, justStarted, scratch.failure) && send(via, marker, told, service, scratch.failure)
               && readUntil(marker, patience, std::chrono::steady_clock::now() + patience, scratch, stream);
    }

    // What the receiver wrote on its standard error since the last probe, a
    // line repeated at once given once with its count.
    void readReceiverErrors(std::vector<std::string> &said)
    {
        std::ifstream file(errorsPath, std::ios::binary);
        file.seekg(errorsRead);
        const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        errorsRead += std::streamoff(text.size());
        std::istringstream lines(text);
        std::string last;
        int repeats = 0;
        auto flush = [&] {
            if (repeats > 0)
                said.push_back(last + (repeats > 1 ? " (" + std::to_string(repeats) + " times)" : ""));
        };
        for (std::string line; std::getline(lines, line);) {
            if (line.empty())
                continue;
            if (line == last) {
                ++repeats;
                continue;
            }
            flush();
            last = line;
            repeats = 1;
        }
        flush();
    }

    const Route route;
    const std::string work;
    const std::chrono::milliseconds patience;
    const std::chrono::milliseconds settle;
    // Ended before the receiver, which may still be its port's peer.
    Child receiver, sender;
    std::string errorsPath;
    std::streamoff errorsRead = 0;
    unsigned receiversStarted = 0;
    unsigned markers = 0;
    bool senderFresh = false;
};

// ---------------------------------------------------------------- what is found

Bytes sysexOfLength(size_t length)
{
    Bytes message(length);
    message.front() = 0xF0;
    for (size_t i = 1; i + 1 < length; ++i)
        message[i] = static_cast<unsigned char>((i * 7 + length) & 0x7F);
    message.back() = 0xF7;
    return message;
}

// A short message in full; a long one by its length, its ends and how much
// of its start and of its end is as sent.
std::string describeBytes(const Bytes &got, const Bytes &sent)
{
    if (got == sent && got.size() > 24)
        return "[the message whole]";
    if (got.size() <= 24)
        return "[" + hexLine(got) + "]";
    const size_t head = size_t(std::mismatch(got.begin(), got.end(), sent.begin(), sent.end()).first - got.begin());
    const size_t tail = size_t(std::mismatch(got.rbegin(), got.rend(), sent.rbegin(), sent.rend()).first - got.rbegin());
    return "[" + std::to_string(got.size()) + " bytes: " + hexLine(Bytes(got.begin(), got.begin() + 3)) + " .. "
           + hexLine(Bytes(got.end() - 2, got.end())) + "; the first " + std::to_string(head) + " and the last "
           + std::to_string(tail) + " as sent]";
}

std::string quoted(const std::vector<std::string> &lines)
{
    if (lines.empty())
        return "nothing";
    std::string text;
    for (const std::string &line : lines)
        text += (text.empty() ? "\"" : "; \"") + line + "\"";
    return text;
}

std::string describe(const Outcome &outcome, const Bytes &sent)
{
    if (!outcome.failure.empty())
        return "FAILED: " + outcome.failure;
    std::string text = "arrived: ";
    if (outcome.arrived.empty())
        text += "nothing";
    for (size_t i = 0; i < outcome.arrived.size(); ++i)
        text += (i ? " " : "") + describeBytes(outcome.arrived[i], sent);
    if (outcome.joined)
        text += " (the last one in one message with the next message sent)";
    text += "; the sender was told: " + quoted(outcome.told);
    if (!outcome.toldNext.empty())
        text += "; and at the next message: " + quoted(outcome.toldNext);
    if (!outcome.service.empty())
        text += "; the service: " + quoted(outcome.service);
    text += "; the receiver said: " + quoted(outcome.receiverSaid);
    if (!outcome.nextArrived) {
        text += "; THE NEXT MESSAGE DID NOT ARRIVE either";
        if (!outcome.serviceNext.empty())
            text += "; the service at the next message: " + quoted(outcome.serviceNext);
        if (!outcome.afterwards.empty())
            text += "; then " + outcome.afterwards;
    }
    return text;
}

std::string readFirstLine(const std::string &path)
{
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The longest message that arrives whole every time, by bisection between a
// 6-byte one and ceiling (a length counts as carried when it arrives whole
// repeat times in a row); then N and N+1 sent repeat times each, and some
// larger messages once. 0 when even 6 bytes fail.
size_t measureLength(Prober &prober, int repeat, size_t ceiling = 131072)
{
    const auto start = std::chrono::steady_clock::now();
    say("%s\n", prober.path().title.c_str());
    int probes = 0;
    auto arrives = [&](size_t length) {
        const Bytes message = sysexOfLength(length);
        for (int i = 0; i < repeat; ++i) {
            ++probes;
            if (!whole(prober.probe(message), message))
                return false;
        }
        return true;
    };
    size_t low = 6, high = ceiling;
    if (!arrives(low)) {
        const Bytes message = sysexOfLength(low);
        say("  not even a %zu-byte message arrived whole: %s\n", low, describe(prober.probe(message), message).c_str());
        return 0;
    }
    if (arrives(high)) {
        say("  a %zu-byte message arrived whole: the limit, if any, is above\n", high);
        return high;
    }
    while (high - low > 1) {
        const size_t middle = low + (high - low) / 2;
        (arrives(middle) ? low : high) = middle;
    }
    say("  longest message arriving whole: %zu bytes, F0 and F7 included (%d probes)\n", low, probes);
    for (const size_t length : {low, low + 1}) {
        const Bytes message = sysexOfLength(length);
        int wholeCount = 0;
        Outcome shown;
        for (int i = 0; i < repeat; ++i) {
            Outcome outcome = prober.probe(message, i == 0);
            const bool isWhole = whole(outcome, message);
            wholeCount += isWhole;
            // The first outcome, or the first that differs from a whole arrival.
            if (i == 0 || (whole(shown, message) && !isWhole))
                shown = outcome;
        }
        say("  %zu bytes: whole %d of %d times; %s\n", length, wholeCount, repeat, describe(shown, message).c_str());
    }
    for (const size_t length : {size_t(8192), size_t(17000), size_t(65536)}) {
        if (length > low + 1) {
            const Bytes message = sysexOfLength(length);
            say("  %zu bytes: %s\n", length, describe(prober.probe(message, true), message).c_str());
        }
    }
    // Where the sender starts being told: up to there a message is lost
    // without a word to it.
    auto told = [&](size_t length) { return !prober.probe(sysexOfLength(length)).told.empty(); };
    if (told(ceiling)) {
        size_t quiet = low + 1, warned = ceiling;
        if (told(quiet))
            warned = quiet;
        while (warned - quiet > 1) {
            const size_t middle = quiet + (warned - quiet) / 2;
            (told(middle) ? warned : quiet) = middle;
        }
        say("  the shortest message the sender is told about: %zu bytes\n", warned);
        for (const size_t length : {warned - 1, warned}) {
            if (length > low) {
                const Bytes message = sysexOfLength(length);
                say("  %zu bytes: %s\n", length, describe(prober.probe(message), message).c_str());
            }
        }
    } else {
        say("  the sender is told nothing up to %zu bytes\n", ceiling);
    }
    say("  (%.1f s)\n", secondsSince(start));
    return low;
}

// The byte b, in text that shows bytes as hex pairs, written <b>.
std::string naming(std::string text, int b)
{
    const std::string pair = hexLine(Bytes{static_cast<unsigned char>(b)});
    for (size_t at = 0; (at = text.find(pair, at)) != std::string::npos;) {
        const bool alone = (at == 0 || !std::isalnum(static_cast<unsigned char>(text[at - 1])))
                           && (at + 2 == text.size() || !std::isalnum(static_cast<unsigned char>(text[at + 2])));
        if (alone)
            text.replace(at, 2, "<b>");
        at += alone ? 3 : 2;
    }
    return text;
}

void measureBytes(Prober &prober)
{
    const auto start = std::chrono::steady_clock::now();
    say("  each byte b of 80-f6 and f8-ff inside f0 7d 01 <b> 02 f7:\n");
    std::vector<std::pair<int, std::string>> rows;
    for (int b = 0x80; b <= 0xFF; ++b) {
        if (b == 0xF7)
            continue;
        const Bytes message{0xF0, 0x7D, 0x01, static_cast<unsigned char>(b), 0x02, 0xF7};
        const Outcome outcome = prober.probe(message);
        const bool unchanged = whole(outcome, message) && outcome.told.empty() && outcome.receiverSaid.empty();
        const std::string text = unchanged ? "arrived unchanged, as one message, nothing said" : describe(outcome, message);
        rows.emplace_back(b, b == 0xF0 ? text : naming(text, b));
    }
    // Neighbours with the same outcome, <b> aside, in one line.
    auto hex = [](int b) { return hexLine(Bytes{static_cast<unsigned char>(b)}); };
    for (size_t i = 0; i < rows.size();) {
        size_t j = i;
        while (j + 1 < rows.size() && rows[j + 1].second == rows[i].second)
            ++j;
        const int first = rows[i].first, last = rows[j].first;
        std::string range = hex(first);
        if (first < 0xF7 && last > 0xF7)
            range += (first < 0xF6 ? "-f6" : "") + std::string(", f8") + (last > 0xF8 ? "-" + hex(last) : "");
        else if (last > first)
            range += "-" + hex(last);
        say("    %s: %s\n", range.c_str(), rows[i].second.c_str());
        i = j + 1;
    }
    say("  messages that do not start with f0:\n");
    for (const Bytes &message : {Bytes{0x01, 0x02, 0xF7}, Bytes{0x90, 0x40, 0x7F, 0xF7}, Bytes{0xF7}})
        say("    %s: %s\n", hexLine(message).c_str(), describe(prober.probe(message), message).c_str());
    say("  (%.1f s)\n", secondsSince(start));
}

struct Figure
{
    std::string where;
    size_t longest;
};

void sayFigures(const std::vector<Figure> &figures)
{
    say("\n== longest message arriving whole (bytes, F0 and F7 included)\n");
    for (const Figure &figure : figures)
        say("  %-72s %zu\n", figure.where.c_str(), figure.longest);
}

struct Settings
{
    std::string self;                         // this program, which its children run too
    std::string work;                         // the children's standard error
    int repeat = 3;                           // sends of a length before it counts as carried
    std::chrono::milliseconds patience{3000}; // for the marker, and 4 times that for a child's answer
    std::chrono::milliseconds settle{300};    // with nothing more arriving, before the marker goes out
    std::string windowsSender;                // the sender's Windows build, for Wine
    bool windowsOnly = false;
    bool usbOnly = false;
    std::vector<int> periods{16, 64, 256, 1024};
    int rate = 48000;

    Prober prober(const std::string &title, const std::vector<std::string> &sender,
                  const std::vector<std::string> &receiver, const std::string &port, bool byteStream = false) const
    {
        return Prober({title, sender, receiver, port, byteStream}, work, patience, settle);
    }
};

// A receiver's name of its own, so that no sender finds one of an earlier probe.
std::string receiverName()
{
    static int made = 0;
    return "tsu-carry-receiver-" + std::string(1, char('a' + made++ % 26));
}

int runJack(const Settings &settings)
{
    if (!isolateJackFiles())
        say("note: no /dev/shm of its own (%s): JACK's files are shared with other servers\n", std::strerror(errno));
    setenv("JACK_NO_START_SERVER", "1", 1);
    const std::vector<int> &periods = settings.periods;
    const int bytesAt = std::find(periods.begin(), periods.end(), 64) != periods.end() ? 64 : periods.front();
    const std::string &self = settings.self;
    std::vector<Figure> figures;
    for (const int period : periods) {
        const auto start = std::chrono::steady_clock::now();
        PrivateJackServer server;
        if (!server.start(settings.rate, period, settings.work + "/jackd-" + std::to_string(period) + ".log")) {
            say("cannot start a JACK server: %s\n", server.error().c_str());
            return 1;
        }
        setenv("JACK_DEFAULT_SERVER", server.name().c_str(), 1);
        say("\n== JACK: jackd -S -n %s -d dummy -r %d -p %d (a cycle of %.3f ms)\n", server.name().c_str(),
            settings.rate, period, 1000.0 * period / settings.rate);
        const std::string where = "JACK, period " + std::to_string(period) + ": ";
        {
            const std::string name = receiverName();
            Prober prober = settings.prober("RtMidiOut (JACK API, openPort on the receiver's port) to an RtMidiIn virtual port",
                                            {self, "send", "rtmidi-jack"}, {self, "receive", "jack", name}, name);
            figures.push_back({where + "RtMidiOut to RtMidiIn", measureLength(prober, settings.repeat)});
            if (period == bytesAt)
                measureBytes(prober);
        }
        {
            const std::string name = receiverName();
            Prober prober = settings.prober(
                "a bare JACK client (one jack_midi_event_reserve per message, no ring buffer) to an RtMidiIn virtual port",
                {self, "send", "jack-bare"}, {self, "receive", "jack", name}, name);
            figures.push_back({where + "JACK's port buffer (bare client) to RtMidiIn", measureLength(prober, settings.repeat)});
        }
        say("(period %d: %.1f s)\n", period, secondsSince(start));
    }
    sayFigures(figures);
    return 0;
}

// The raw MIDI device of a USB MIDI gadget's own card ("MIDI Gadget",
// usb_f_midi), and the product name of the device the computer sees of it
// (snd-usb-audio's card at a dummy_hcd port), where both are there.
std::pair<std::string, std::string> usbGadget()
{
    std::ifstream cards("/proc/asound/cards");
    std::string gadget, product;
    for (std::string line, number; std::getline(cards, line);) {
        const size_t bracket = line.find(" [");
        if (bracket != std::string::npos && line.find("]: ") != std::string::npos) {
            number = line.substr(0, bracket);
            number.erase(0, number.find_first_not_of(' '));
            if (line.find("]: MIDI Gadget") != std::string::npos)
                gadget = "/dev/snd/midiC" + number + "D0";
            const size_t dash = line.find(" - ", line.find("]: "));
            if (line.find("]: USB-Audio") != std::string::npos && dash != std::string::npos)
                product = line.substr(dash + 3);
        }
    }
    if (gadget.empty() || product.empty())
        return {};
    return {gadget, product};
}

int runAlsa(const Settings &settings)
{
    say("\n== ALSA sequencer (%s)\n", readFirstLine("/proc/asound/version").c_str());
    const std::string &self = settings.self;
    struct Receiver
    {
        std::string what;
        std::vector<std::string> command;
        bool byteStream;
        std::string port;  // the kernel's port sent to; empty: the receiver's own, by its name
        std::string named;
    };
    std::vector<Receiver> receivers;
    if (!settings.usbOnly) {
        receivers.push_back({"an RtMidiIn virtual port (a program's port, as tessarine-sim has)",
                             {self, "receive", "alsa"}, false, "", "an RtMidiIn virtual port"});
        receivers.push_back({"VirMIDI 0-0 (16:0), its bytes read raw from /dev/snd/midiC0D0 (a hardware-like port)",
                             {self, "raw-read", "/dev/snd/midiC0D0"}, true, "VirMIDI 0-0", "VirMIDI 0-0, raw"});
    }
    // A USB MIDI instrument: sent to the port snd-usb-audio gives it, and
    // read raw at the gadget's end of the cable, as the instrument gets it.
    const auto [gadget, product] = usbGadget();
    if (!gadget.empty())
        receivers.push_back({"the USB MIDI device \"" + product + "\" (snd-usb-audio), its bytes read raw at the "
                                 "gadget's end, " + gadget,
                             {self, "raw-read", gadget}, true, product, "a USB MIDI device (snd-usb-audio), raw"});
    else if (settings.usbOnly)
        say("no USB MIDI gadget is plugged in (alsa-vm run --usb-midi NAME)\n");
    // A receiver of ours is found by its name, given last on its command
    // line; the kernel's ports by theirs.
    auto place = [](const Receiver &receiver, std::vector<std::string> &command) {
        if (!receiver.port.empty())
            return receiver.port;
        command.push_back(receiverName());
        return command.back();
    };
    auto named = [](const Receiver &receiver) { return receiver.named; };
    std::vector<Figure> figures;
    for (const Receiver &receiver : receivers) {
        if (settings.windowsOnly)
            break;
        std::vector<std::string> command = receiver.command;
        const std::string port = place(receiver, command);
        size_t longest = 0;
        {
            Prober prober = settings.prober("RtMidiOut (ALSA API, openPort on the receiver's port) to " + receiver.what,
                                            {self, "send", "rtmidi-alsa"}, command, port, receiver.byteStream);
            longest = measureLength(prober, settings.repeat);
            figures.push_back({"ALSA: RtMidiOut to " + named(receiver), longest});
            measureBytes(prober);
        }
        if (longest > 0) {
            Prober bare = settings.prober("", {self, "send", "alsa-bare"}, command, port, receiver.byteStream);
            for (const size_t length : {longest, longest + 1}) {
                const Bytes message = sysexOfLength(length);
                const Outcome outcome = bare.probe(message);
                say("  ALSA's own calls for %zu bytes, made as RtMidi makes them: %s; %s\n", length,
                    quoted(outcome.service).c_str(), whole(outcome, message) ? "arrived whole" : "did NOT arrive whole");
            }
        }
    }
    if (!settings.windowsSender.empty()) {
        say("\n== Windows Multimedia (the sender's Windows build under Wine, whose MIDI ports are the ALSA "
            "sequencer's)\n");
        for (const Receiver &receiver : receivers) {
            std::vector<std::string> command = receiver.command;
            const std::string port = place(receiver, command);
            Prober prober = settings.prober("RtMidiOut (Windows Multimedia API, openPort) to " + receiver.what,
                                            {"/usr/lib/wine/wine64", settings.windowsSender, "send", "winmm"}, command,
                                            port, receiver.byteStream);
            figures.push_back({"Windows Multimedia under Wine: RtMidiOut to " + named(receiver),
                               measureLength(prober, settings.repeat)});
            measureBytes(prober);
        }
    }
    sayFigures(figures);
    return 0;
}

int usage()
{
    std::fprintf(stderr,
                 "usage: tsu_carry_limits jack [--periods 16,64,256,1024] [--rate HZ] [OPTIONS]\n"
                 "       tsu_carry_limits alsa [--winmm EXE | --winmm-only EXE | --usb-only] [OPTIONS]\n"
                 "OPTIONS: --repeat N (3), --patience MS (3000), --settle MS (300), --keep\n");
    return 2;
}
#endif
} // namespace

int main(int argc, char **argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 2 && args[0] == "send") {
        const std::unique_ptr<Output> output = makeOutput(args[1]);
        if (!output) {
            std::cerr << "no sender \"" << args[1] << "\" in this build\n";
            return 2;
        }
        return runSender(*output);
    }
#ifdef _WIN32
    std::cerr << "usage: tsu_carry_limits send winmm (commands on the standard input)\n";
    return 2;
#else
    if (args.size() == 3 && args[0] == "receive")
        return runReceiver(args[1] == "jack" ? RtMidi::UNIX_JACK : RtMidi::LINUX_ALSA, args[2]);
    if (args.size() == 2 && args[0] == "raw-read")
        return runRawReader(args[1].c_str());
    if (args.empty() || (args[0] != "jack" && args[0] != "alsa"))
        return usage();

    Settings settings;
    bool keep = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const bool valued = i + 1 < args.size();
        if (args[i] == "--periods" && valued) {
            settings.periods.clear();
            std::istringstream list(args[++i]);
            for (std::string period; std::getline(list, period, ',');)
                settings.periods.push_back(std::stoi(period));
        } else if (args[i] == "--rate" && valued) {
            settings.rate = std::stoi(args[++i]);
        } else if (args[i] == "--repeat" && valued) {
            settings.repeat = std::stoi(args[++i]);
        } else if (args[i] == "--patience" && valued) {
            settings.patience = std::chrono::milliseconds(std::stoi(args[++i]));
        } else if (args[i] == "--settle" && valued) {
            settings.settle = std::chrono::milliseconds(std::stoi(args[++i]));
        } else if (args[i] == "--winmm" && valued) {
            settings.windowsSender = args[++i];
        } else if (args[i] == "--winmm-only" && valued) {
            settings.windowsSender = args[++i];
            settings.windowsOnly = true;
        } else if (args[i] == "--usb-only") {
            settings.usbOnly = true;
        } else if (args[i] == "--keep") {
            keep = true;
        } else {
            return usage();
        }
    }
    if (settings.periods.empty() || settings.repeat < 1)
        return usage();
    // A sender that has died is seen by its answers missing, not by a signal.
    std::signal(SIGPIPE, SIG_IGN);
    char work[] = "/tmp/tsu-carry-XXXXXX";
    if (!mkdtemp(work)) {
        std::perror("mkdtemp");
        return 1;
    }
    settings.work = work;
    // Its children run this same file, under a name that says what they are.
    settings.self = std::filesystem::read_symlink("/proc/self/exe");
    const int result = args[0] == "jack" ? runJack(settings) : runAlsa(settings);
    if (keep)
        say("the children's standard error is kept in %s\n", work);
    else
        std::filesystem::remove_all(work);
    return result;
#endif
}
