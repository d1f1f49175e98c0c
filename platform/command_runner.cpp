#include "command_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <mutex>
#include <thread>

extern char** environ;

namespace platform {

namespace {

constexpr size_t kHistoryMax = 64;

std::mutex g_mtx;
CommandRunner g_runner;
std::deque<std::vector<std::string>> g_history;

using Clock = std::chrono::steady_clock;

// The child's status once it ended, waiting until `deadline` (none when
// `limited` is false); -2 when the deadline passed first.
int reap(pid_t pid, bool limited, Clock::time_point deadline) {
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid, &status, limited ? WNOHANG : 0);
        if (done == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (done < 0 && errno != EINTR) {
            return -1;
        }
        if (limited && done == 0) {
            if (Clock::now() >= deadline) {
                return -2;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
}

// Reads the pipe until end of file or the deadline; keeps up to `limit` bytes.
// False when the deadline passed.
bool drain(int fd, size_t limit, bool limited, Clock::time_point deadline, std::string& out) {
    char buf[4096];
    for (;;) {
        int wait = -1;
        if (limited) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) {
                return false;
            }
            wait = static_cast<int>(left);
        }
        pollfd p{fd, POLLIN, 0};
        int ready = poll(&p, 1, wait);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready == 0) {
            return false;
        }
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return true;
        }
        size_t keep = out.size() < limit ? std::min(limit - out.size(), static_cast<size_t>(n)) : 0;
        out.append(buf, keep);
    }
}

} // namespace

pid_t spawnProcess(const std::vector<std::string>& argv, int stdoutFd) {
    if (argv.empty()) {
        return -1;
    }
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdoutFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    // A group of its own, so that a time-out also ends what the program started.
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, args[0], &actions, &attr, args.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

CommandResult spawnCommand(const CommandRequest& request) {
    CommandResult result;
    int fds[2] = {-1, -1};
    if (request.outputLimit > 0 && pipe2(fds, O_CLOEXEC) != 0) {
        return result;
    }
    pid_t pid = spawnProcess(request.argv, fds[1]);
    if (fds[1] >= 0) {
        close(fds[1]);
    }
    if (pid < 0) {
        if (fds[0] >= 0) {
            close(fds[0]);
        }
        return result;
    }
    result.started = true;
    const bool limited = request.timeout.count() > 0;
    const Clock::time_point deadline = Clock::now() + request.timeout;
    bool inTime = true;
    if (fds[0] >= 0) {
        inTime = drain(fds[0], request.outputLimit, limited, deadline, result.output);
        close(fds[0]);
    }
    int status = inTime ? reap(pid, limited, deadline) : -2;
    if (status == -2) {
        kill(-pid, SIGKILL);
        reap(pid, false, deadline);
        result.timedOut = true;
        status = -1;
    }
    result.status = status;
    return result;
}

CommandResult runCommand(const CommandRequest& request) {
    CommandRunner runner;
    {
        std::lock_guard<std::mutex> lock(g_mtx);
        g_history.push_back(request.argv);
        if (g_history.size() > kHistoryMax) {
            g_history.pop_front();
        }
        runner = g_runner;
    }
    return runner ? runner(request) : spawnCommand(request);
}

void setCommandRunner(CommandRunner runner) {
    std::lock_guard<std::mutex> lock(g_mtx);
    g_runner = std::move(runner);
}

std::vector<std::vector<std::string>> commandHistory() {
    std::lock_guard<std::mutex> lock(g_mtx);
    return {g_history.begin(), g_history.end()};
}

void clearCommandHistory() {
    std::lock_guard<std::mutex> lock(g_mtx);
    g_history.clear();
}

} // namespace platform
