// Test support for MIDI over a private JACK server: the server itself, a test
// main that runs the whole test binary against it, and the simulated
// instrument as a child process.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

// A JACK server with the dummy backend, under a name of its own, stopped by
// its PID. Synchronous mode, so that no MIDI event is dropped when a cycle
// runs late.
class PrivateJackServer
{
public:
    ~PrivateJackServer();
    bool start(const std::string &name);
    void stop();
    const std::string &name() const { return serverName; }

private:
    pid_t pid = -1;
    std::string serverName;
};

// Runs body under a private JACK server. The program's MIDI objects are built
// before main() runs, so the server must exist before the process starts: the
// first call starts the server and runs this same binary again as a child with
// JACK_DEFAULT_SERVER naming it; in that child, body runs.
int runWithPrivateJackServer(int argc, char **argv, int (*body)(int, char **));

// One tessarine-sim process: a simulated instrument on the private server.
class SimulatedInstrument
{
public:
    // args are tessarine-sim's options; --log is added.
    explicit SimulatedInstrument(std::vector<std::string> args = {});
    ~SimulatedInstrument();
    SimulatedInstrument(const SimulatedInstrument &) = delete;
    SimulatedInstrument &operator=(const SimulatedInstrument &) = delete;

    // The port the uploader picks as its input, as the instrument announced it.
    const std::string &portName() const { return outputPort; }
    bool ready() const { return !outputPort.empty(); }
    // The log: one line per message received (with --timestamps, rx and tx lines).
    std::vector<std::string> logLines() const;
    // Waits until the log holds at least count lines.
    bool waitForLogLines(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    // Ends the instrument (SIGTERM) and waits for it; its log is then complete.
    int stop();

private:
    pid_t pid = -1;
    // Kept open while the instrument runs, so that it never writes into a closed pipe.
    int output = -1;
    std::string logPath;
    std::string outputPort;
};

// The bytes as the instrument logs them: lowercase hex pairs split by spaces.
std::string hexLine(const unsigned char *bytes, size_t count);
std::string hexLine(const std::vector<unsigned char> &bytes);
