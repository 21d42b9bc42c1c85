#include "benchprocess.h"

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

std::string readWholeFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace bench
