// MIDI over a private JACK server, for the tests and the benchmarks: the
// server itself, a test main that runs the whole test binary against it, and
// the simulated instrument as a child process.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

// Starts args[0] (searched on PATH) with args. stdoutFd and stderrFd, when
// not negative, become the child's standard output and error.
pid_t spawnProcess(const std::vector<std::string> &args, int stdoutFd = -1, int stderrFd = -1);

// SIGTERM, then SIGKILL once patience has passed; the status as waitpid gives it.
int endProcess(pid_t pid, std::chrono::milliseconds patience = std::chrono::seconds(5));

// A JACK server with the dummy backend, under a name of its own, stopped by
// its PID. Synchronous mode, so that no MIDI event is dropped when a cycle
// runs late.
//
// JACK keeps a registry of at most 8 server names, cleaned only when a server
// of the same name starts again or a server exits cleanly. So the server
// takes its name from a small pool (tsu-test-0 .. 5), each name held by a lock
// file for as long as the server runs, and is stopped with SIGTERM, waiting
// for a clean exit.
class PrivateJackServer
{
public:
    ~PrivateJackServer();
    // Starts the server on the first free name of the pool; false, with a
    // reason in error(), when none could be started. The server's output goes
    // to logPath, or nowhere when it is empty.
    bool start(int sampleRate = 48000, int periodFrames = 64, const std::string &logPath = {});
    void stop();
    const std::string &name() const { return serverName; }
    const std::string &error() const { return problem; }

private:
    bool startAs(const std::string &name, int sampleRate, int periodFrames, const std::string &logPath);

    pid_t pid = -1;
    int lockFd = -1;
    std::string serverName;
    std::string problem;
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
    // args are tessarine-sim's options; --log is added. The log is written to
    // logPath and kept, or, when logPath is empty, to a file of its own that
    // goes with the instrument.
    explicit SimulatedInstrument(std::vector<std::string> args = {}, const std::string &logPath = {});
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
    bool ownLog = false;
    std::string outputPort;
};

// The bytes as the instrument logs them: lowercase hex pairs split by spaces.
std::string hexLine(const unsigned char *bytes, size_t count);
std::string hexLine(const std::vector<unsigned char> &bytes);
