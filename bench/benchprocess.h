// The benchmark's own process handling: the clients whose cost is measured,
// each a child of the driver, and a look at the private server's ports. The
// server and the simulated instrument are those of the tests (jackserver.h).
#pragma once

#include <jack/jack.h>

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

// How a child ended, with its own resource use (wait4).
struct ChildEnd
{
    bool exited = false;   // false: timed out and killed, or killed by a signal
    int exitCode = -1;
    int signal = 0;
    bool timedOut = false;
    rusage usage{};
};

// Waits for pid, killing it (SIGKILL) once timeout has passed.
ChildEnd waitForChild(pid_t pid, std::chrono::milliseconds timeout);

// A JACK client that is never activated, so it takes no part in any cycle:
// only for looking at the server's ports.
class PortWatcher
{
public:
    explicit PortWatcher(const std::string &serverName);
    ~PortWatcher();
    PortWatcher(const PortWatcher &) = delete;
    PortWatcher &operator=(const PortWatcher &) = delete;

    // Waits until no MIDI port is left on the server: the clients of the run
    // before are gone, so each run starts from the same server state. False
    // when some are still there after timeout.
    bool waitUntilNoMidiPorts(std::chrono::milliseconds timeout);

private:
    jack_client_t *client = nullptr;
};

// Everything in the file at path.
std::string readWholeFile(const std::string &path);

} // namespace bench
