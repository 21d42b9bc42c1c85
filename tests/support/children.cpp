#include "children.h"

#include <cerrno>
#include <thread>

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

bool waitForExit(pid_t pid, std::chrono::milliseconds timeout, int *status)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(pid, status, WNOHANG) == pid)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

pid_t spawnProcess(const std::vector<std::string> &args, int stdoutFd, int stderrFd, int deathSignal, int stdinFd)
{
    std::vector<char *> argv;
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // The parent may have ended before the death signal was asked for.
        if (prctl(PR_SET_PDEATHSIG, deathSignal) != 0 || getppid() != parent)
            _exit(127);
        if (stdoutFd >= 0)
            dup2(stdoutFd, STDOUT_FILENO);
        if (stderrFd >= 0)
            dup2(stderrFd, STDERR_FILENO);
        if (stdinFd >= 0)
            dup2(stdinFd, STDIN_FILENO);
        execvp(argv[0], argv.data());
        std::perror(argv[0]);
        _exit(127);
    }
    return pid;
}

int endProcess(pid_t pid, std::chrono::milliseconds patience)
{
    int status = 0;
    kill(pid, SIGTERM);
    if (!waitForExit(pid, patience, &status)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    return status;
}
