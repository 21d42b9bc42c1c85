// Child processes of the tests and the benchmarks, and their end.
//
// No process started here outlives the one that started it: each child gets
// a signal from the kernel when its parent ends (PR_SET_PDEATHSIG), whether
// the parent returns, crashes or is killed by ctest's time limit.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

// Starts args[0] (searched on PATH) with args. stdoutFd, stderrFd and
// stdinFd, when not negative, become the child's standard output, error and
// input. The child is sent deathSignal when the thread that started it ends;
// start children from the main thread, which ends only with the process.
pid_t spawnProcess(const std::vector<std::string> &args, int stdoutFd = -1, int stderrFd = -1,
                   int deathSignal = SIGKILL, int stdinFd = -1);

// SIGTERM, then SIGKILL once patience has passed; the status as waitpid gives it.
int endProcess(pid_t pid, std::chrono::milliseconds patience = std::chrono::seconds(5));

// Waits up to timeout for pid to end; its status in *status. False when it
// is still running.
bool waitForExit(pid_t pid, std::chrono::milliseconds timeout, int *status);
