// The simulated instrument (tessarine-sim) as a child process of a test or
// benchmark, on whatever MIDI service the process uses.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

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
    // The instrument's own input, where the uploader's messages arrive.
    std::string inputPortName() const;
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
