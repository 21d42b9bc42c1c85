#include "benchprocess.h"

#include <jack/jack.h>

#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>

#include <sys/wait.h>

namespace bench {

ChildEnd waitForChild(pid_t pid, std::chrono::milliseconds timeout)
{
    ChildEnd end;
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const pid_t done = wait4(pid, &status, WNOHANG, &end.usage);
        if (done == pid)
            break;
        if (done < 0)
            return end;
        if (std::chrono::steady_clock::now() >= deadline) {
            end.timedOut = true;
            kill(pid, SIGKILL);
            wait4(pid, &status, 0, &end.usage);
            break;
        }
        // Polling costs nothing measurable at this rate, and the driver's own
        // CPU time is not part of any figure.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (WIFEXITED(status)) {
        end.exited = !end.timedOut;
        end.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        end.signal = WTERMSIG(status);
    }
    return end;
}

PortWatcher::PortWatcher(const std::string &serverName)
{
    jack_status_t status;
    client = jack_client_open("tsu-bench-watcher", jack_options_t(JackNoStartServer | JackServerName), &status,
                              serverName.c_str());
}

PortWatcher::~PortWatcher()
{
    if (client)
        jack_client_close(client);
}

bool PortWatcher::waitUntilNoMidiPorts(std::chrono::milliseconds timeout)
{
    if (!client)
        return false;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const char **ports = jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, 0);
        const bool none = !ports || !ports[0];
        jack_free(ports);
        if (none)
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string readWholeFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace bench
