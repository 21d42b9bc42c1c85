// The benchmark's own process handling: the clients whose cost is measured,
// each a child of the driver. The server and the simulated instrument are
// those of the tests (jackserver.h).
#pragma once

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

// Everything in the file at path.
std::string readWholeFile(const std::string &path);

} // namespace bench
