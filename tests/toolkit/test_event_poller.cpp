#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Poller/EventPoller.h"
#include "Poller/EventPollerPool.h"
#include "Poller/Timer.h"
#include "poller_test_support.h"

using namespace toolkit;
using namespace poller_test;
using namespace std::chrono_literals;
using testing_support::LogCapture;

// In these tests the poller is declared after everything its tasks and
// callbacks touch, so it is destroyed (and its loop joined) first.

namespace {

struct SocketPair {
    SocketPair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fd), 0); }
    ~SocketPair() {
        close(fd[0]);
        close(fd[1]);
    }
    void drain() {
        char buf[64];
        while (read(fd[0], buf, sizeof(buf)) > 0) {
        }
    }
    int fd[2] = {-1, -1};
};

// A delayed task that sets the latch and ends.
std::function<uint64_t()> setter(Latch latch) {
    return [latch]() -> uint64_t {
        latch.set();
        return 0;
    };
}

} // namespace

// Callers may attach values of their own to a poller under a name; a value is
// handed back only as the type it was stored as.
TEST(EventPollerStorage, AttachedValuesComeBackByNameAndType) {
    EventPoller poller("storage");
    AnyStorage& storage = poller;
    storage.set("count", std::make_shared<int>(7));
    ASSERT_TRUE(storage.get<int>("count"));
    EXPECT_EQ(*storage.get<int>("count"), 7);
    EXPECT_FALSE(storage.get<std::string>("count"));
    EXPECT_FALSE(storage.get<int>("other"));
    storage.set("count", std::make_shared<std::string>("seven"));
    EXPECT_EQ(*storage.get<std::string>("count"), "seven");
    EXPECT_TRUE(storage.erase("count"));
    EXPECT_FALSE(storage.get<std::string>("count"));
    EXPECT_FALSE(storage.erase("count"));
}

// ---------------------------------------------------------------- tasks

TEST(EventPollerTasks, MaySyncRunsInlineOnlyOnTheLoopThread) {
    Latch ran;
    std::atomic<bool> ran_on_loop{false};
    auto poller = startPoller();
    EXPECT_FALSE(EventPoller::getCurrentPoller());
    EXPECT_TRUE(poller->async([&, ran]() {
        ran_on_loop = poller->isCurrentThread() && EventPoller::getCurrentPoller() == poller;
        ran.set();
    }, true)) << "a task posted from another thread is queued";
    ASSERT_TRUE(ran.wait());
    EXPECT_TRUE(ran_on_loop);

    ASSERT_TRUE(runOn(poller, [&]() {
        bool inline_ran = false;
        EXPECT_FALSE(poller->async([&]() { inline_ran = true; }, true));
        EXPECT_TRUE(inline_ran);
        bool queued_ran = false;
        auto queued = poller->async([&queued_ran]() { queued_ran = true; }, false);
        EXPECT_FALSE(queued_ran) << "may_sync false queues even on the loop thread";
        ASSERT_TRUE(queued);
        queued->cancel();
    }));
}

// async_first goes ahead of the queued tasks; what a task posts, even to the
// front, waits for the next batch; a cancelled task never runs.
TEST(EventPollerTasks, OrderingRules) {
    Trace trace;
    Latch done;
    auto poller = startPoller();
    {
        LoopGate gate(poller);
        poller->async([&]() {
            trace.add("a");
            poller->async_first([&, done]() {
                trace.add("posted by a");
                done.set();
            }, false);
        });
        poller->async([&]() { trace.add("cancelled"); })->cancel();
        poller->async([&]() { trace.add("b"); });
        poller->async_first([&]() { trace.add("first"); });
    }
    ASSERT_TRUE(done.wait());
    EXPECT_EQ(trace.labels(), (std::vector<std::string>{"first", "a", "b", "posted by a"}));
}

TEST(EventPollerTasks, ExceptionsAreLoggedAndTheLoopGoesOn) {
    LogCapture log;
    SocketPair sp;
    std::atomic<int> delay_calls{0};
    Latch later;
    auto poller = startPoller();
    poller->async([]() { throw std::runtime_error("task failure 7f3a"); });
    poller->doDelayTask(0, [&]() -> uint64_t {
        ++delay_calls;
        throw std::runtime_error("delay failure 91c2");
    });
    EXPECT_EQ(poller->addEvent(sp.fd[0], EventPoller::Event_Read,
                               [](int) { throw std::runtime_error("event failure 5d0e"); }), 0);
    ASSERT_EQ(write(sp.fd[1], "x", 1), 1);
    EXPECT_TRUE(log.waitFor("Exception occurred when do async task: task failure 7f3a"));
    EXPECT_TRUE(log.waitFor("Exception occurred when do delay task: delay failure 91c2"));
    EXPECT_TRUE(log.waitFor("Exception occurred when do event task: event failure 5d0e"));
    // The throwing delayed task is dropped, not run again.
    poller->doDelayTask(150, setter(later));
    ASSERT_TRUE(later.wait());
    EXPECT_EQ(delay_calls, 1);
}

// Only tasks posted as clearable are dropped: the toolkit's own queued work
// (here a cross-thread event registration) survives. A dropped task is
// destroyed outside the task lock, so its destructor may post.
TEST(EventPollerTasks, ClearTasksDropsOnlyClearableTasks) {
    struct PostOnDestroy {
        PostOnDestroy(EventPoller* p, Latch l) : poller(p), posted_ran(l) {}
        EventPoller* poller;
        Latch posted_ran;
        ~PostOnDestroy() {
            auto latch = posted_ran;
            poller->async([latch]() { latch.set(); }, false);
        }
    };
    SocketPair sp;
    std::atomic<int> clearable_runs{0};
    std::atomic<bool> plain_ran{false};
    Latch readable, posted_ran;
    auto poller = startPoller();
    {
        LoopGate gate(poller);
        poller->async_clearable([&]() { ++clearable_runs; });
        poller->async([&]() { plain_ran = true; });
        EXPECT_EQ(poller->addEvent(sp.fd[0], EventPoller::Event_Read, [&, readable](int) {
            sp.drain();
            readable.set();
        }), 0);
        auto guard = std::make_shared<PostOnDestroy>(poller.get(), posted_ran);
        poller->async_clearable([guard]() {});
        guard.reset();
        poller->clearTasks();
    }
    EXPECT_TRUE(posted_ran.wait());
    ASSERT_EQ(write(sp.fd[1], "x", 1), 1);
    EXPECT_TRUE(readable.wait()) << "the registration queued before clearTasks must survive";
    ASSERT_TRUE(runOn(poller));
    EXPECT_TRUE(plain_ran);
    EXPECT_EQ(clearable_runs, 0);
    // On the loop thread a clearable task may still run at once.
    ASSERT_TRUE(runOn(poller, [&]() {
        poller->async_clearable([&]() { ++clearable_runs; }, true);
        EXPECT_EQ(clearable_runs, 1);
    }));
}

// ---------------------------------------------------------------- delayed tasks

// A cancelled task never runs; a task due at once, scheduled from inside the
// loop, runs in the next pass, not inline, and the loop does not wait for an
// event first.
TEST(EventPollerDelay, CancelledNeverRunsAndDueAtOnceRunsInTheNextPass) {
    Latch chained;
    std::atomic<bool> cancelled_ran{false};
    auto poller = startPoller();
    {
        LoopGate gate(poller);
        poller->doDelayTask(0, [&]() -> uint64_t {
            cancelled_ran = true;
            return 0;
        })->cancel();
    }
    // Nothing else pending then: only the loop's own timing can run the chain.
    ASSERT_TRUE(runOn(poller, [&]() {
        poller->doDelayTask(0, [&, chained]() -> uint64_t {
            poller->doDelayTask(0, setter(chained));
            return 0;
        });
        EXPECT_FALSE(chained.isSet());
    }));
    EXPECT_TRUE(chained.wait());
    EXPECT_FALSE(cancelled_ran);
}

// ---------------------------------------------------------------- descriptors

TEST(EventPollerEvents, DelEventStopsCallbacksAndReportsUnknownDescriptors) {
    SocketPair sp;
    std::atomic<int> calls{0};
    std::atomic<int> later_result{-1};
    std::atomic<bool> later_on_loop{false};
    Latch later;
    auto poller = startPoller();
    ASSERT_TRUE(runOn(poller, [&]() {
        ASSERT_EQ(poller->addEvent(sp.fd[0], EventPoller::Event_Read | EventPoller::Event_LT,
                                   [&](int) { ++calls; }), 0);
        bool result = false;
        EXPECT_EQ(poller->delEvent(sp.fd[0], [&](bool success) { result = success; }), 0);
        EXPECT_TRUE(result);
        EXPECT_EQ(poller->delEvent(sp.fd[0], [&](bool success) { result = success; }), -1);
        EXPECT_FALSE(result);
    }));
    ASSERT_EQ(write(sp.fd[1], "x", 1), 1);
    // From another thread the removal is posted; its callback runs on the loop.
    EXPECT_EQ(poller->delEvent(sp.fd[0], [&, later](bool success) {
        later_result = success;
        later_on_loop = poller->isCurrentThread();
        later.set();
    }), 0);
    ASSERT_TRUE(later.wait());
    EXPECT_EQ(later_result, 0);
    EXPECT_TRUE(later_on_loop);
    ASSERT_TRUE(runOn(poller));
    EXPECT_EQ(calls, 0);
}

TEST(EventPollerEvents, StaleEntryOfAClosedDescriptorIsReplaced) {
    SocketPair first, second;
    const int fd = first.fd[0];
    std::atomic<int> stale_calls{0};
    Latch fresh_called;
    auto poller = startPoller();
    ASSERT_TRUE(runOn(poller, [&]() {
        ASSERT_EQ(poller->addEvent(fd, EventPoller::Event_Read, [&](int) { ++stale_calls; }), 0);
        // Closed without delEvent: the number now names another socket.
        ASSERT_EQ(dup2(second.fd[0], fd), fd);
        ASSERT_EQ(poller->addEvent(fd, EventPoller::Event_Read, [&, fresh_called](int) {
            first.drain();
            fresh_called.set();
        }), 0);
    }));
    ASSERT_EQ(write(second.fd[1], "x", 1), 1);
    EXPECT_TRUE(fresh_called.wait());
    ASSERT_TRUE(runOn(poller));
    EXPECT_EQ(stale_calls, 0);
}

// ---------------------------------------------------------------- lifecycle

TEST(EventPollerLifecycle, ShutdownFromTheLoopThreadAndTasksLeftAfterIt) {
    Trace trace;
    Latch done;
    auto poller = startPoller();
    EventPoller* raw = poller.get();
    poller->async([&, raw, done]() {
        raw->shutdown();  // no join of itself, no std::terminate
        // Queued behind the exit task: still runs in that batch.
        raw->async([&, done]() {
            trace.add("behind exit");
            done.set();
        }, false);
    });
    ASSERT_TRUE(done.wait());
    poller.reset();
    EXPECT_EQ(trace.labels(), (std::vector<std::string>{"behind exit"}));

    // Tasks posted after the loop ended run on the thread that destroys it.
    std::thread::id ran_on;
    auto stopped = startPoller();
    stopped->shutdown();
    stopped->async([&]() { ran_on = std::this_thread::get_id(); });
    stopped.reset();
    EXPECT_EQ(ran_on, std::this_thread::get_id());
}

// ---------------------------------------------------------------- timers

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

TEST(Timer, RunsOncePerPeriodFromEachRunAndStopsOnFalse) {
    std::vector<std::chrono::steady_clock::time_point> runs;
    Latch third;
    auto poller = startPoller();
    auto created = std::chrono::steady_clock::now();
    Timer timer(0.1f, [&, third]() {
        runs.push_back(std::chrono::steady_clock::now());
        if (runs.size() == 3) {
            third.set();
            return false;
        }
        return true;
    }, poller);
    ASSERT_TRUE(third.wait());
    ASSERT_TRUE(waitOnPoller(poller, 250));
    ASSERT_EQ(runs.size(), 3u);
    // Lower bounds only (a loaded machine may be late, never early).
    EXPECT_GE(runs[0] - created, 90ms) << "the first call comes one period after construction";
    EXPECT_GE(runs[1] - runs[0], 90ms);
    EXPECT_GE(runs[2] - runs[1], 90ms);
}

TEST(Timer, DestroyedTimerNeverCallsAgain) {
    std::atomic<int> early_calls{0}, calls{0};
    Latch first;
    auto poller = startPoller();
    {
        Timer early(0.05f, [&]() { return ++early_calls > 0; }, poller);
    }
    auto timer = std::make_shared<Timer>(0.02f, [&, first]() {
        ++calls;
        first.set();
        return true;
    }, poller);
    ASSERT_TRUE(first.wait());
    // Destroyed on the loop thread, between two runs.
    ASSERT_TRUE(runOn(poller, [&]() { timer.reset(); }));
    int seen = calls;
    ASSERT_TRUE(waitOnPoller(poller, 200));
    EXPECT_EQ(calls, seen);
    EXPECT_EQ(early_calls, 0) << "destroyed before its first period";
}

// A throwing timer is logged and goes on; a period below 1 ms runs once.
TEST(Timer, ExceptionIsLoggedAndTheTimerGoesOnAndTinyPeriodRunsOnce) {
    LogCapture log;
    std::atomic<int> calls{0}, tiny_calls{0};
    Latch third, tiny_ran;
    auto poller = startPoller();
    Timer timer(0.02f, [&, third]() -> bool {
        if (++calls < 3) {
            throw std::runtime_error("timer failure 2b7c");
        }
        third.set();
        return false;
    }, poller);
    Timer tiny(0.0005f, [&, tiny_ran]() {
        ++tiny_calls;
        tiny_ran.set();
        return true;
    }, poller);
    ASSERT_TRUE(third.wait());
    ASSERT_TRUE(tiny_ran.wait());
    EXPECT_TRUE(log.waitFor("Exception occurred when do timer task: timer failure 2b7c"));
    ASSERT_TRUE(waitOnPoller(poller, 100));
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(tiny_calls, 1);
}

TEST(Timer, WithoutPollerRunsOnTheCallersPoller) {
    auto& pool = EventPollerPool::Instance();
    ASSERT_GE(pool.getExecutorSize(), 2u);
    // The last poller: not the one a missing poller might default to.
    EventPoller::Ptr second;
    pool.for_each([&](const TaskExecutor::Ptr& e) { second = std::dynamic_pointer_cast<EventPoller>(e); });
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
