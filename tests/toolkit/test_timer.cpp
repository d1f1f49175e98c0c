#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <vector>

#include "Poller/EventPollerPool.h"
#include "Poller/Timer.h"
#include "poller_test_support.h"

using namespace toolkit;
using namespace poller_test;
using namespace std::chrono_literals;

namespace {

// Schedules a check on the poller `ms` from now and waits for it; the timers
// under test run on the same poller, so whatever was due earlier has run.
bool waitOnPoller(const EventPoller::Ptr& poller, uint64_t ms) {
    Latch reached;
    poller->doDelayTask(ms, [reached]() -> uint64_t {
        reached.set();
        return 0;
    });
    return reached.wait();
}

} // namespace

TEST(Timer, StopsWhenTheCallbackReturnsFalse) {
    std::atomic<int> calls{0};
    Latch third;
    auto poller = startPoller();
    Timer timer(0.02f, [&, third]() {
        if (++calls == 3) {
            third.set();
            return false;
        }
        return true;
    }, poller);
    ASSERT_TRUE(third.wait());
    ASSERT_TRUE(waitOnPoller(poller, 150));
    EXPECT_EQ(calls, 3);
}

TEST(Timer, RunsOncePerPeriodMeasuredFromEachRun) {
    std::vector<std::chrono::steady_clock::time_point> runs;
    Latch done;
    auto poller = startPoller();
    Timer timer(0.1f, [&, done]() {
        runs.push_back(std::chrono::steady_clock::now());
        if (runs.size() == 3) {
            done.set();
            return false;
        }
        return true;
    }, poller);
    auto created = std::chrono::steady_clock::now();
    ASSERT_TRUE(done.wait());
    ASSERT_TRUE(runOn(poller, []() {}));
    // Lower bounds only (a loaded machine may be late, never early).
    EXPECT_GE(runs[0] - created, 90ms) << "the first call comes one period after construction";
    EXPECT_GE(runs[1] - runs[0], 90ms);
    EXPECT_GE(runs[2] - runs[1], 90ms);
}

TEST(Timer, DestroyedBeforeItsFirstPeriodNeverFires) {
    std::atomic<int> calls{0};
    auto poller = startPoller();
    {
        Timer timer(0.05f, [&]() {
            ++calls;
            return true;
        }, poller);
    }
    ASSERT_TRUE(waitOnPoller(poller, 200));
    EXPECT_EQ(calls, 0);
}

TEST(Timer, DestroyedTimerStopsCalling) {
    std::atomic<int> calls{0};
    Latch first;
    auto poller = startPoller();
    auto timer = std::make_shared<Timer>(0.02f, [&, first]() {
        ++calls;
        first.set();
        return true;
    }, poller);
    ASSERT_TRUE(first.wait());
    // Destroyed on the loop thread, between two runs.
    ASSERT_TRUE(runOn(poller, [&]() { timer.reset(); }));
    int seen = calls;
    ASSERT_TRUE(waitOnPoller(poller, 150));
    EXPECT_EQ(calls, seen);
}

TEST(Timer, ExceptionIsLoggedAndTheTimerGoesOn) {
    LogRecorder log("timer-exception");
    std::atomic<int> calls{0};
    Latch third;
    auto poller = startPoller();
    Timer timer(0.02f, [&, third]() -> bool {
        if (++calls < 3) {
            throw std::runtime_error("timer failure 2b7c");
        }
        third.set();
        return false;
    }, poller);
    ASSERT_TRUE(third.wait());
    EXPECT_TRUE(log.waitForText("Exception occurred when do timer task: timer failure 2b7c"));
    ASSERT_TRUE(waitOnPoller(poller, 100));
    EXPECT_EQ(calls, 3);
}

TEST(Timer, PeriodBelowOneMillisecondRunsOnce) {
    std::atomic<int> calls{0};
    Latch ran;
    auto poller = startPoller();
    Timer timer(0.0005f, [&, ran]() {
        ++calls;
        ran.set();
        return true;
    }, poller);
    ASSERT_TRUE(ran.wait());
    ASSERT_TRUE(waitOnPoller(poller, 100));
    EXPECT_EQ(calls, 1);
}

TEST(Timer, WithoutPollerRunsOnTheCallersPoller) {
    auto& pool = EventPollerPool::Instance();
    ASSERT_GE(pool.getExecutorSize(), 2u);
    EventPoller::Ptr second;
    pool.for_each([&](const TaskExecutor::Ptr& executor) {
        if (!second && executor != pool.getFirstPoller()) {
            second = std::dynamic_pointer_cast<EventPoller>(executor);
        }
    });
    ASSERT_TRUE(second);

    std::atomic<bool> on_second{false};
    Latch fired;
    std::shared_ptr<Timer> timer;
    ASSERT_TRUE(runOn(second, [&, fired]() {
        timer = std::make_shared<Timer>(0.01f, [&, fired]() {
            on_second = second->isCurrentThread();
            fired.set();
            return false;
        }, nullptr);
    }));
    ASSERT_TRUE(fired.wait());
    EXPECT_TRUE(on_second);
    ASSERT_TRUE(runOn(second, [&]() { timer.reset(); }));
}
