#include "jackserver.h"

#include <jack/jack.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
const char childMarker[] = "TSU_TEST_UNDER_PRIVATE_JACK";
constexpr int poolSize = 6;

// What a server of this name and its clients may have left in /dev/shm when
// they were killed: the server's socket ("jack_NAME_UID_N") and the
// semaphores of the server and of each client ("jack_sem.UID_NAME_CLIENT").
// Called only while the name's lock is held, so no process uses them.
void removeLeftovers(const std::string &name)
{
    const std::string uid = std::to_string(getuid());
    const std::string socketPrefix = "jack_" + name + "_" + uid + "_";
    const std::string semaphorePrefix = "jack_sem." + uid + "_" + name + "_";
    DIR *shm = opendir("/dev/shm");
    if (!shm)
        return;
    while (const dirent *entry = readdir(shm)) {
        const std::string file = entry->d_name;
        if (file.rfind(socketPrefix, 0) == 0 || file.rfind(semaphorePrefix, 0) == 0)
            unlink(("/dev/shm/" + file).c_str());
    }
    closedir(shm);
}
} // namespace

PrivateJackServer::~PrivateJackServer()
{
    stop();
}

bool PrivateJackServer::start(int sampleRate, int periodFrames, const std::string &logPath)
{
    // Quiet the client library's messages when probing for the server.
    jack_set_error_function([](const char *) {});
    jack_set_info_function([](const char *) {});
    for (int slot = 0; slot < poolSize; ++slot) {
        const std::string lockPath = "/tmp/tsu-test-jack-" + std::to_string(slot) + ".lock";
        // Not closed on exec: every child holds the lock too (see the class).
        const int lock = open(lockPath.c_str(), O_CREAT | O_RDWR, 0666);
        if (lock < 0)
            continue;
        if (flock(lock, LOCK_EX | LOCK_NB) == 0) {
            const std::string name = "tsu-test-" + std::to_string(slot);
            removeLeftovers(name);
            if (startAs(name, sampleRate, periodFrames, logPath)) {
                lockFd = lock; // held until stop(), or until this process and its children end
                return true;
            }
        }
        close(lock);
    }
    if (problem.empty())
        problem = "every server name of the pool (tsu-test-0 .. tsu-test-" + std::to_string(poolSize - 1)
                  + ") is in use";
    return false;
}

bool PrivateJackServer::startAs(const std::string &name, int sampleRate, int periodFrames,
                                const std::string &logPath)
{
    serverName = name;
    const int logFd = open(logPath.empty() ? "/dev/null" : logPath.c_str(),
                           O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    // SIGTERM when this process ends: the server then leaves JACK's registry
    // cleanly.
    pid = spawnProcess({"jackd", "-S", "-n", name, "-d", "dummy", "-r", std::to_string(sampleRate), "-p",
                        std::to_string(periodFrames)},
                       logFd, logFd, SIGTERM);
    if (logFd >= 0)
        close(logFd);
    if (pid < 0) {
        problem = "cannot start jackd";
        return false;
    }
    // Handed out only once a client can connect to it, and it is still ours:
    // a server of the same name that is somehow still registered makes this
    // one exit at once.
    const std::string exitedAtStart = "jackd -n " + name + " exited at start";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            problem = exitedAtStart;
            return false;
        }
        jack_status_t jackStatus;
        jack_client_t *probe = jack_client_open(
            "tsu-probe", jack_options_t(JackNoStartServer | JackServerName), &jackStatus, name.c_str());
        if (probe) {
            jack_client_close(probe);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                problem = exitedAtStart;
                return false;
            }
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    problem = "jackd -n " + name + " did not accept clients within 20 s";
    stop();
    return false;
}

bool PrivateJackServer::running()
{
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, WNOHANG) == pid)
        pid = -1;
    return pid > 0;
}

void PrivateJackServer::stop()
{
    // A server that is killed outright leaves its entry in JACK's registry of
    // servers, which has room for only a few; give it time to end cleanly.
    if (pid > 0)
        endProcess(pid, std::chrono::seconds(30));
    pid = -1;
    if (lockFd >= 0)
        close(lockFd);
    lockFd = -1;
}

bool isolateJackFiles()
{
    // A mount namespace of its own, whose mounts stay in it, and in it a
    // fresh /dev/shm.
    return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0
           && mount("tsu-shm", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") == 0;
}

int runUnderPrivateJackServer(const std::vector<std::string> &command)
{
    if (!isolateJackFiles())
        std::fprintf(stderr, "note: no /dev/shm of its own (%s): JACK's files are shared with other tests\n",
                     std::strerror(errno));
    // The server's messages, shown when the command fails.
    char logPath[] = "/tmp/tsu-jackd-XXXXXX";
    const int logFd = mkstemp(logPath);
    if (logFd >= 0)
        close(logFd);
    struct RemoveLog
    {
        const char *path;
        ~RemoveLog() { std::remove(path); }
    } removeLog{logPath};

    PrivateJackServer server;
    if (!server.start(48000, 64, logPath)) {
        std::fprintf(stderr, "could not start a private JACK server (jackd -S -n tsu-test-N -d dummy): %s\n",
                     server.error().c_str());
        return 1;
    }
    setenv("JACK_DEFAULT_SERVER", server.name().c_str(), 1);
    // Only the private server: no client may start a server of its own.
    setenv("JACK_NO_START_SERVER", "1", 1);
    setenv("TSU_JACK_LOCK_FD", std::to_string(server.lockDescriptor()).c_str(), 1);
    const pid_t child = spawnProcess(command);

    // A time limit of its own (TSU_TIME_LIMIT seconds), set a little below
    // ctest's: a command that hangs is ended here and reported with the
    // server's messages, rather than killed by ctest without a word.
    const char *limitText = std::getenv("TSU_TIME_LIMIT");
    const auto limit = std::chrono::seconds(limitText ? std::atoi(limitText) : 3600);
    int status = 0;
    bool timedOut = false;
    if (!waitForExit(child, limit, &status)) {
        timedOut = true;
        std::fprintf(stderr, "%s still running after %lld s: ending it\n", command.front().c_str(),
                     static_cast<long long>(limit.count()));
        status = endProcess(child);
    }
    const bool serverAlive = server.running();
    server.stop();
    const bool passed = !timedOut && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!passed) {
        if (WIFSIGNALED(status))
            std::fprintf(stderr, "%s ended by signal %d\n", command.front().c_str(), WTERMSIG(status));
        std::fprintf(stderr, "JACK server %s %s; its last messages:\n", server.name().c_str(),
                     serverAlive ? "ran to the end" : "had ENDED before the command did");
        std::ifstream log(logPath);
        std::vector<std::string> lines;
        for (std::string line; std::getline(log, line);)
            lines.push_back(line);
        for (size_t i = lines.size() > 15 ? lines.size() - 15 : 0; i < lines.size(); ++i)
            std::fprintf(stderr, "  %s\n", lines[i].c_str());
    }
    if (passed)
        return 0;
    return WIFEXITED(status) && WEXITSTATUS(status) != 0 ? WEXITSTATUS(status) : 1;
}

int runWithPrivateJackServer(int argc, char **argv, int (*body)(int, char **))
{
    if (std::getenv(childMarker))
        return body(argc, argv);
    // Listing the tests needs no server.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--gtest_list_tests") == 0)
            return body(argc, argv);
    }
    setenv(childMarker, "1", 1);
    std::vector<std::string> command{"/proc/self/exe"};
    command.insert(command.end(), argv + 1, argv + argc);
    return runUnderPrivateJackServer(command);
}

bool waitUntilConnected(const std::string &portName, std::chrono::milliseconds timeout)
{
    // Never activated: it takes no part in the cycles it looks at.
    jack_client_t *client = jack_client_open("tsu-connection-watch", JackNoStartServer, nullptr);
    if (!client)
        return false;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool connected = false;
    while (!connected && std::chrono::steady_clock::now() < deadline) {
        // Connections read here are those of the graph the cycles use.
        if (jack_port_t *port = jack_port_by_name(client, portName.c_str())) {
            const char **peers = jack_port_get_all_connections(client, port);
            connected = peers && peers[0];
            jack_free(peers);
        }
        if (!connected)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // And one more cycle, for the one under way as the graph changed.
    if (connected)
        std::this_thread::sleep_for(std::chrono::microseconds(
            2 * 1000000LL * jack_get_buffer_size(client) / std::max(1u, jack_get_sample_rate(client))));
    jack_client_close(client);
    return connected;
}
