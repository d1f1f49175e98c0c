// The stop signals are taken synchronously: a pending SIGINT or SIGTERM ends
// the wait, and a wait without one times out.
#include "StopSignal.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <chrono>
#include <string>

namespace {

// Blocks the stop signals in this thread for the test and restores the mask.
class BlockedStopSignals : public ::testing::Test {
protected:
    void SetUp() override {
        pthread_sigmask(SIG_SETMASK, nullptr, &_saved);
        StopSignal::block();
    }
    void TearDown() override {
        // Nothing may stay pending once the signals are unblocked again.
        ASSERT_EQ(StopSignal::waitFor(0), 0);
        pthread_sigmask(SIG_SETMASK, &_saved, nullptr);
    }

private:
    sigset_t _saved;
};

} // namespace

TEST_F(BlockedStopSignals, PendingSignalEndsTheWaitAndOnlyStopSignalsAreBlocked) {
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(StopSignal::waitFor(1), 0);  // none pending: the wait times out
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
    sigset_t mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    EXPECT_TRUE(sigismember(&mask, SIGINT) && sigismember(&mask, SIGTERM));
    EXPECT_FALSE(sigismember(&mask, SIGUSR1));
    // Blocked, so raising only marks it pending for this thread.
    ASSERT_EQ(pthread_kill(pthread_self(), SIGINT), 0);
    EXPECT_EQ(StopSignal::wait(), SIGINT);
    ASSERT_EQ(pthread_kill(pthread_self(), SIGTERM), 0);
    EXPECT_EQ(StopSignal::waitFor(5), SIGTERM);
}

// In a child with SIGPIPE at its default (the test program ignores it): after
// the service's signal set-up, a write to a socket whose peer is gone fails
// with EPIPE and the process lives on.
TEST(StopSignal, AWriteToAGonePeerFailsWithEpipeAfterStartUp) {
    pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        signal(SIGPIPE, SIG_DFL);
        StopSignal::block();
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
            _exit(2);
        }
        close(fds[1]);
        bool epipe = write(fds[0], "x", 1) == -1 && errno == EPIPE;
        _exit(epipe ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A stop signal while a start-up step is held (here opening a FIFO that no
// one writes, as a file planted under a start-up file's name once held it)
// still ends the process, with status 0. The alarm ends a child the signal
// did not end, so that the fault fails the test instead of hanging it.
TEST(StopSignal, ASignalDuringAHeldStartUpEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    char dir[] = "/tmp/stop_signal_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string fifo = std::string(dir) + "/held";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EXIT(
        {
            alarm(10);
            StopSignal::block();
            StopSignal::watchStartUp();
            kill(getpid(), SIGINT);
            open(fifo.c_str(), O_RDONLY);
            _exit(3);
        },
        ::testing::ExitedWithCode(0), "");
    unlink(fifo.c_str());
    rmdir(dir);
}
