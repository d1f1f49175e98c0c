#pragma once
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testing_support {

// A second process of this test program, as a copy of the service started
// beside it would be: it waits until it is killed with the object.
class RunningCopy {
public:
    RunningCopy() : _pid(::fork()) {
        if (_pid == 0) {
            for (;;) {
                ::pause();
            }
        }
    }
    ~RunningCopy() {
        if (_pid > 0) {
            ::kill(_pid, SIGKILL);
            ::waitpid(_pid, nullptr, 0);
        }
    }
    RunningCopy(const RunningCopy&) = delete;
    RunningCopy& operator=(const RunningCopy&) = delete;

    pid_t pid() const { return _pid; }

private:
    pid_t _pid;
};

// The id of a process that has ended and been reaped: no process holds it.
inline pid_t endedPid() {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::_exit(0);
    }
    ::waitpid(pid, nullptr, 0);
    return pid;
}

} // namespace testing_support
