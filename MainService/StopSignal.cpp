#include "StopSignal.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

#include "ServiceLog.h"
#include "Util/logger.h"
#include "Util/util.h"

namespace StopSignal {

namespace {

sigset_t stopSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

// The watcher's hand-over to wait(), under g_mtx.
std::mutex g_mtx;
std::condition_variable g_taken;
bool g_watching = false;
bool g_waiting = false;  // main has reached wait(): start-up is over
int g_signal = 0;

int takeSignal() {
    sigset_t set = stopSet();
    int sig = 0;
    while (sigwait(&set, &sig) != 0) {
    }
    return sig;
}

} // namespace

void watchStartUp() {
    {
        std::lock_guard<std::mutex> lock(g_mtx);
        g_watching = true;
    }
    std::thread([] {
        toolkit::setThreadName("stop signal");
        const int sig = takeSignal();
        std::lock_guard<std::mutex> lock(g_mtx);
        if (!g_waiting) {
            PrintI("%s received during start-up, stopping", strsignal(sig));
            endProcess(0);
        }
        g_signal = sig;
        g_taken.notify_all();
    }).detach();
}

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
    std::unique_lock<std::mutex> lock(g_mtx);
    if (!g_watching) {
        lock.unlock();
        return takeSignal();
    }
    g_waiting = true;
    g_taken.wait(lock, [] { return g_signal != 0; });
    return g_signal;
}

int waitFor(int seconds) {
    {
        // The watcher takes the signals (and ends a start-up by itself).
        std::unique_lock<std::mutex> lock(g_mtx);
        if (g_watching) {
            g_taken.wait_for(lock, std::chrono::seconds(seconds), [] { return g_signal != 0; });
            return g_signal;
        }
    }
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
    // One ending at a time (the watcher and start-up may both try); the
    // second waits here for the process to end.
    static std::mutex ending;
    ending.lock();
    PrintI("MainService exits with status %d", status);
    // Every queued line is written (and each line flushes its file).
    ServiceLog::stop();
    std::fflush(nullptr);
    _exit(status);
}

} // namespace StopSignal
