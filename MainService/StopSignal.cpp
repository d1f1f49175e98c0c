#include "StopSignal.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "ServiceLog.h"
#include "Util/logger.h"

namespace StopSignal {

namespace {

sigset_t stopSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

} // namespace

void block() {
    // A shell starts background jobs with SIGINT ignored; an ignored signal
    // might be dropped instead of waiting for sigwait.
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t set = stopSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int wait() {
    sigset_t set = stopSet();
    int sig = 0;
    while (sigwait(&set, &sig) != 0) {
    }
    return sig;
}

int waitFor(int seconds) {
    sigset_t set = stopSet();
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += seconds;
    for (;;) {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        timespec left{deadline.tv_sec - now.tv_sec, deadline.tv_nsec - now.tv_nsec};
        if (left.tv_nsec < 0) {
            left.tv_sec -= 1;
            left.tv_nsec += 1000000000L;
        }
        if (left.tv_sec < 0) {
            return 0;
        }
        int sig = sigtimedwait(&set, nullptr, &left);
        if (sig > 0) {
            return sig;
        }
        if (errno == EAGAIN) {
            return 0;
        }
        // EINTR (another signal's handler ran): wait out the rest.
    }
}

void pauseOrStop(int seconds) {
    if (int sig = waitFor(seconds)) {
        PrintI("%s received, stopping", strsignal(sig));
        endProcess(0);
    }
}

void endProcess(int status) {
    PrintI("MainService exits with status %d", status);
    // Every queued line is written (and each line flushes its file).
    ServiceLog::stop();
    std::fflush(nullptr);
    _exit(status);
}

} // namespace StopSignal
