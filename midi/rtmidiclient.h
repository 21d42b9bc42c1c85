// Creating the RtMidi input and output objects of a program.
//
// RtMidi, asked for no particular API, walks its compiled backends and keeps
// the first whose service has a port, but it throws as soon as one of them
// has no service behind it: on a machine without an ALSA sequencer (a
// sound-card-less machine running JACK) constructing RtMidiIn throws before
// JACK is ever tried. The uploader's objects are built before main() runs, so
// that would end the program before it shows anything. createMidiClients
// makes the same choice for the input without stopping at a failing backend,
// then opens the output on the input's backend and on no other: an input and
// an output on two different MIDI services could not reach one instrument. A backend that has
// failed is not tried again, and each failure or warning is one line on the
// standard error stream; where the input's backend has no port at all, the
// output's warning that it has none either (Windows Multimedia warns for each)
// would only say the same again, and is left out.
#pragma once

#include <rtmidi/RtMidi.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace midiclient {
// Puts std::cerr back on its own buffer however the scope is left.
class CerrCapture
{
public:
    explicit CerrCapture(std::streambuf *into) : saved(std::cerr.rdbuf(into)) {}
    ~CerrCapture() { std::cerr.rdbuf(saved); }
    CerrCapture(const CerrCapture &) = delete;
    CerrCapture &operator=(const CerrCapture &) = delete;

private:
    std::streambuf *const saved;
};

// Runs work, which calls into RtMidi on api. RtMidi writes its messages to
// std::cerr framed by blank lines, and throws on errors; here each message
// becomes one line that names the backend; with warnings false, only what
// work threw is said. False when work threw an RtMidiError, whatever its
// message (an empty one too); any other exception passes on, with std::cerr
// restored.
template <class Work>
bool sayingOneLineEach(RtMidi::Api api, Work work, bool warnings = true)
{
    std::ostringstream said;
    bool failed = false;
    std::string problem;
    {
        const CerrCapture capture(said.rdbuf());
        try {
            work();
        } catch (const RtMidiError &error) {
            failed = true;
            problem = error.getMessage();
        }
    }
    std::istringstream lines(said.str());
    for (std::string line; std::getline(lines, line);) {
        if (warnings && !line.empty() && line != problem)
            std::cerr << "MIDI: " << RtMidi::getApiDisplayName(api) << ": " << line << '\n';
    }
    if (failed)
        std::cerr << "MIDI: " << RtMidi::getApiDisplayName(api) << ": "
                  << (problem.empty() ? std::string("failed without a message") : problem) << '\n';
    return !failed;
}

// A Client on api, or null when api has failed before or fails now.
template <class Client, class... Args>
Client *tryApi(RtMidi::Api api, std::vector<RtMidi::Api> &failed, bool warnings, const Args &...args)
{
    if (std::find(failed.begin(), failed.end(), api) != failed.end())
        return nullptr;
    Client *client = nullptr;
    if (!sayingOneLineEach(api, [&] { client = new Client(api, args...); }, warnings))
        failed.push_back(api);
    return client;
}
} // namespace midiclient

template <class In, class Out>
struct MidiClientPair
{
    In *in = nullptr;   // null when no backend could be opened
    Out *out = nullptr; // null when the input's backend has no output for us
};
using MidiClients = MidiClientPair<RtMidiIn, RtMidiOut>;

// The choice itself, over the given backends in their order, for any client
// types built as RtMidiIn and RtMidiOut are.
template <class In, class Out>
MidiClientPair<In, Out> createMidiClientsOn(const std::vector<RtMidi::Api> &apis, const std::string &inputName,
                                            unsigned int inputQueueLimit, const std::string &outputName)
{
    std::vector<RtMidi::Api> failed;
    MidiClientPair<In, Out> clients;

    // RtMidi's own choice: the first backend with an input port, or else the
    // last one that could be opened.
    RtMidi::Api inputApi = RtMidi::UNSPECIFIED;
    unsigned int inputPorts = 0;
    for (RtMidi::Api api : apis) {
        In *input = midiclient::tryApi<In>(api, failed, true, inputName, inputQueueLimit);
        if (!input)
            continue;
        delete clients.in;
        clients.in = input;
        inputApi = api;
        inputPorts = 0;
        midiclient::sayingOneLineEach(api, [&] { inputPorts = input->getPortCount(); });
        if (inputPorts > 0)
            break;
    }

    // Only on the input's backend: an output on another MIDI service cannot
    // reach the instrument whose input port the user picks.
    if (clients.in)
        clients.out = midiclient::tryApi<Out>(inputApi, failed, inputPorts > 0, outputName);

    if (!clients.in)
        std::cerr << "MIDI: no MIDI service could be opened; no MIDI port will be listed.\n";
    else if (!clients.out)
        std::cerr << "MIDI: " << RtMidi::getApiDisplayName(inputApi)
                  << ": no MIDI output could be opened; no MIDI port can be opened.\n";
    return clients;
}

inline MidiClients createMidiClients(const std::string &inputName, unsigned int inputQueueLimit,
                                     const std::string &outputName)
{
    std::vector<RtMidi::Api> apis;
    RtMidi::getCompiledApi(apis);
    return createMidiClientsOn<RtMidiIn, RtMidiOut>(apis, inputName, inputQueueLimit, outputName);
}

// A MIDI service that has only just started, or is too busy to answer in
// time (a JACK server started by a test an instant before, on a loaded
// machine), may not take a client yet; RtMidi then only warns, and tries
// again at the client's next call. Waits, within patience, until client is
// connected; false if it never was. For the simulated instrument and the
// tests, which join a server the moment it starts.
inline bool waitForMidiService(RtMidi &client, std::chrono::milliseconds patience)
{
    bool refused = false;
    client.setErrorCallback(
        [](RtMidiError::Type type, const std::string &, void *refused) {
            if (type == RtMidiError::WARNING)
                *static_cast<bool *>(refused) = true;
        },
        &refused);
    const auto deadline = std::chrono::steady_clock::now() + patience;
    for (;;) {
        refused = false;
        client.getPortCount();
        if (!refused || std::chrono::steady_clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // Errors throw again from here on.
    client.setErrorCallback(nullptr, nullptr);
    return !refused;
}
