// MIDI over a private JACK server, for the tests and the benchmarks: the
// pool of server names, the server itself in files of its own, a way to run
// a whole program (a test binary, a script) against it, and the wait for a
// connection to be in its cycles.
#pragma once

#include "children.h"

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

// A JACK server with the dummy backend, under a name of its own, stopped by
// its PID. Synchronous mode, so that no MIDI event is dropped when a cycle
// runs late.
//
// The name comes from a small pool (tsu-test-0 .. 5) shared by every test and
// benchmark on the machine, each name held by a lock file. The lock's file
// descriptor is inherited by every child of this process (the server, the
// instruments, the program under test), so a name is free again only once
// every process that could still be attached to its server has ended: a new
// server never meets an old client holding JACK's semaphores of that name.
// JACK's registry has room for 8 server names and frees an entry only when a
// server ends cleanly or one of the same name starts, so a fixed pool keeps
// crashed runs from filling it.
class PrivateJackServer
{
public:
    ~PrivateJackServer();
    // Starts the server on the first free name of the pool and returns once it
    // takes clients; false, with a reason in error(), when none could be
    // started. The server's output goes to logPath, or nowhere when it is empty.
    bool start(int sampleRate = 48000, int periodFrames = 64, const std::string &logPath = {});
    void stop();
    // False once the server has ended, for whatever reason.
    bool running();
    const std::string &name() const { return serverName; }
    const std::string &error() const { return problem; }
    // The descriptor of the name's lock, for children that pass descriptors on
    // only by name (TSU_JACK_LOCK_FD in their environment).
    int lockDescriptor() const { return lockFd; }

private:
    bool startAs(const std::string &name, int sampleRate, int periodFrames, const std::string &logPath);

    pid_t pid = -1;
    int lockFd = -1;
    std::string serverName;
    std::string problem;
};

// Gives this process, and every process it starts from now on, a /dev/shm of
// its own, where JACK keeps all its files: the servers' sockets and
// semaphores, the registry of server names (room for 8) and a metadata
// database that all the servers and clients of a user share, and that a
// server removes as it ends, under the feet of another server's clients that
// are opening it at that moment (they then fail to connect). In a /dev/shm of
// its own, a test's servers and clients meet no other test's, and what they
// leave goes with the last of them. Needs the right to make a mount namespace
// (root, as in CI); false, changing nothing, where it is not given: the
// shared /dev/shm is then used as it is.
bool isolateJackFiles();

// Runs command (args[0] searched on PATH) under a private JACK server, in
// files of its own where that is allowed (isolateJackFiles): the server is
// started first, the command finds it through JACK_DEFAULT_SERVER
// (and the name's lock through TSU_JACK_LOCK_FD), and the server is stopped
// when the command has ended. Returns the command's exit code, or 1 when the
// server could not be started or the command was killed.
int runUnderPrivateJackServer(const std::vector<std::string> &command);

// Runs body under a private JACK server. The program's MIDI objects are built
// before main() runs, so the server must exist before the process starts: the
// first call runs this same binary again as a child under the server; in that
// child, body runs.
int runWithPrivateJackServer(int argc, char **argv, int (*body)(int, char **));

// Waits until the port named portName, on the server JACK_DEFAULT_SERVER
// names, has a connection in the graph that the server's cycles use. JACK
// takes a new connection into its cycles only at the start of one, so a
// message sent into a connection just made can still go nowhere; a test that
// sends at once waits for this first. False when timeout passed first.
bool waitUntilConnected(const std::string &portName, std::chrono::milliseconds timeout = std::chrono::seconds(10));
