// The one command runner: argument vectors without a shell, exit status,
// bounded output, time-out, and the recorded history.
#include "command_runner.h"

#include <gtest/gtest.h>

#include <chrono>

#include "system_clock.h"
#include "temp_root.h"
#include "slow.h"

using platform::CommandRequest;
using std::chrono::milliseconds;

TEST(CommandRunner, RunsArgumentVectorsWithStatusOutputAndTimeOut) {
    const struct {
        std::vector<std::string> argv;
        milliseconds timeout;
        size_t limit;
        bool started;
        int status;
        bool timedOut;
        std::string output;
    } cases[] = {
        {{"/bin/echo", "$(id)", "a b"}, milliseconds(0), 100, true, 0, false, "$(id) a b\n"},
        {{"/bin/sh", "-c", "printf 0123456789; exit 3"}, milliseconds(0), 4, true, 3, false, "0123"},
        {{"/bin/sleep", "30"}, milliseconds(200), 0, true, -1, true, ""},
        {{"/bin/sh", "-c", "sleep 30 & echo x; wait"}, milliseconds(200), 10, true, -1, true, "x\n"},
        {{"/no/such/tool"}, milliseconds(0), 0, false, -1, false, ""},
        {{}, milliseconds(0), 0, false, -1, false, ""},
    };
    platform::clearCommandHistory();
    for (const auto& c : cases) {
        const auto start = std::chrono::steady_clock::now();
        const platform::CommandResult r = platform::runCommand(CommandRequest{c.argv, c.timeout, c.limit});
        const std::string name = c.argv.empty() ? "(empty)" : c.argv.back();
        EXPECT_EQ(r.started, c.started) << name;
        EXPECT_EQ(r.status, c.status) << name;
        EXPECT_EQ(r.timedOut, c.timedOut) << name;
        EXPECT_EQ(r.output, c.output) << name;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5) * testing_support::kSlow) << name;
    }
    const auto history = platform::commandHistory();
    ASSERT_EQ(history.size(), sizeof(cases) / sizeof(cases[0]));
    EXPECT_EQ(history[0], cases[0].argv);
}

TEST(SystemClock, KeepsAnOffsetUnderTheDataRoot) {
    testing_support::TempRoot root;
    const time_t host = std::time(nullptr);
    EXPECT_LE(std::abs(platform::clockNow() - host), 2);
    const time_t wanted = host - 400 * 86400;
    ASSERT_TRUE(platform::clockSet(wanted));
    EXPECT_LE(std::abs(platform::clockNow() - wanted), 2);
    EXPECT_LE(std::abs(std::time(nullptr) - host), 2);
    EXPECT_FALSE(testing_support::readFile(root.host("/sim/clock_offset")).empty());
}
