#include "instrument.h"

#include "children.h"

#include <cstdio>
#include <fstream>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

SimulatedInstrument::SimulatedInstrument(std::vector<std::string> args, const std::string &log)
    : logPath(log)
{
    static int counter = 0;
    if (logPath.empty()) {
        logPath = "/tmp/tsu-sim-" + std::to_string(getpid()) + "-" + std::to_string(++counter) + ".log";
        ownLog = true;
    }
    std::remove(logPath.c_str());
    args.insert(args.begin(), TSU_SIM_PATH);
    args.push_back("--log");
    args.push_back(logPath);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return;
    pid = spawnProcess(args, fds[1]);
    close(fds[1]);
    output = fds[0];
    // The instrument says "ready <port>" once its ports are open. A MIDI
    // service in trouble may keep it from ever saying so: never wait forever.
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd ready{output, POLLIN, 0};
        if (poll(&ready, 1, 100) <= 0)
            continue;
        char c;
        if (read(output, &c, 1) != 1 || c == '\n')
            break;
        text.push_back(c);
    }
    if (text.rfind("ready ", 0) == 0)
        outputPort = text.substr(6);
}

std::string SimulatedInstrument::inputPortName() const
{
    // "NAME >:MIDI" sends, "NAME <:MIDI" receives.
    std::string name = outputPort;
    const size_t at = name.rfind(" >:");
    if (at != std::string::npos)
        name[at + 1] = '<';
    return name;
}

SimulatedInstrument::~SimulatedInstrument()
{
    stop();
    if (ownLog)
        std::remove(logPath.c_str());
}

std::vector<std::string> SimulatedInstrument::logLines() const
{
    std::vector<std::string> lines;
    std::ifstream in(logPath);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

bool SimulatedInstrument::waitForLogLines(size_t count, std::chrono::milliseconds timeout) const
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (logLines().size() >= count)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return logLines().size() >= count;
}

int SimulatedInstrument::stop()
{
    if (pid <= 0)
        return -1;
    const int status = endProcess(pid);
    pid = -1;
    if (output >= 0)
        close(output);
    output = -1;
    return status;
}
