#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "Poller/EventPollerPool.h"
#include "Poller/WorkThreadPool.h"
#include "Thread/TaskExecutorGetter.h"
#include "poller_test_support.h"

using namespace toolkit;
using namespace poller_test;

namespace {

// The toolkit tests run with this many pollers whatever the core count; the
// size must be fixed before the pool's first use.
constexpr size_t kPoolSize = 4;
const bool kPoolSized = (EventPollerPool::setPoolSize(kPoolSize), true);

constexpr uint64_t kMs = 1000;

// A load counter on a clock the test moves by hand, starting at 0.
class ManualClockCounter : public ThreadLoadCounter {
public:
    ManualClockCounter(uint64_t max_size, uint64_t max_usec) : ThreadLoadCounter(max_size, max_usec, 0) {}
    uint64_t _now = 0;

protected:
    uint64_t nowMicrosecond() override { return _now; }
};

// Steps of a load scenario: wake up, go to sleep, or move the clock on (ms).
enum : int { W = -1, S = -2 };
std::vector<int> times(int n, const std::vector<int>& part) {
    std::vector<int> out;
    for (int i = 0; i < n; ++i) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}
std::vector<int> operator+(std::vector<int> a, const std::vector<int>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// An executor whose load the test sets: it runs on its own clock, and each
// setLoad leaves exactly one busy and one idle stretch in a 1 s window.
class FakeExecutor : public TaskExecutor {
public:
    FakeExecutor() : TaskExecutor(32, 1000 * kMs) {}
    Task::Ptr async(TaskIn task, bool) override {
        task();
        return nullptr;
    }
    void setLoad(int percent) {
        _now += 10 * 1000 * kMs;  // far beyond the window, so older stretches leave it
        sleepWakeUp();
        _now += percent * 10 * kMs;
        startSleep();
        _now += (100 - percent) * 10 * kMs;
    }

protected:
    uint64_t nowMicrosecond() override { return _now; }

private:
    uint64_t _now = getCurrentMicrosecond() + 10 * 1000 * kMs;
};

class FakeGetter : public TaskExecutorGetterImp {
public:
    explicit FakeGetter(size_t count) {
        for (size_t i = 0; i < count; ++i) {
            _threads.push_back(std::make_shared<FakeExecutor>());
        }
    }
    void setLoads(const std::vector<int>& loads) {
        for (size_t i = 0; i < loads.size(); ++i) {
            std::static_pointer_cast<FakeExecutor>(_threads[i])->setLoad(loads[i]);
        }
    }
    int indexOf(const TaskExecutor::Ptr& executor) const {
        auto it = std::find(_threads.begin(), _threads.end(), executor);
        return it == _threads.end() ? -1 : static_cast<int>(it - _threads.begin());
    }
};

} // namespace

TEST(ThreadLoadCounter, BusyShareOfTheWindow) {
    struct Case {
        const char* name;
        uint64_t max_size, window_ms;
        std::vector<int> steps;
        int load;
    };
    const Case cases[] = {
        {"fresh counter is idle", 32, 2000, {1000}, 0},
        {"quarter busy", 32, 2000, {1500, W, 500, S}, 25},
        {"stretch in progress counts", 32, 2000, {500, W, 500}, 50},
        {"busy longer than the window", 32, 2000, {100, W, 3000}, 100},
        {"asleep longer than the window", 32, 2000, {W, 800, S, 3000}, 0},
        {"old records leave the time window", 32, 2000, std::vector<int>{W, 1000, S} + times(10, {100, W, 100, S}),
         50},
        {"record count bounds the window", 4, 100000, std::vector<int>{W, 10000, S} + times(2, {300, W, 100, S}),
         25},
    };
    for (auto& c : cases) {
        ManualClockCounter counter(c.max_size, c.window_ms * kMs);
        for (int step : c.steps) {
            step == W ? counter.sleepWakeUp() : step == S ? counter.startSleep() : (void)(counter._now += step * kMs);
        }
        EXPECT_EQ(counter.load(), c.load) << c.name;
    }
}

// The search starts where the previous one stopped, takes an idle executor at
// once, and otherwise goes round and takes the first of the least loaded.
TEST(TaskExecutorGetter, LeastLoadedChoice) {
    FakeGetter getter(3);
    const std::pair<std::vector<int>, int> rounds[] = {
        {{30, 0, 0}, 1},
        {{0, 0, 0}, 1},  // stopped at the idle one: starts there again
        {{40, 10, 10}, 1},
        {{20, 20, 20}, 1},  // none idle last time: the search went round to where it began
        {{50, 50, 5}, 2},
    };
    for (auto& r : rounds) {
        getter.setLoads(r.first);
        EXPECT_EQ(getter.getExecutorLoad(), r.first);
        EXPECT_EQ(getter.indexOf(getter.getExecutor()), r.second) << ::testing::PrintToString(r.first);
    }
    EXPECT_FALSE(FakeGetter(0).getExecutor());
}

// Event pollers are named by index and registered as their thread's current
// poller; work pollers are named apart and are not.
TEST(EventPollerPool, PollersAreNamedByIndexAndOnlyEventPollersAreCurrent) {
    ASSERT_TRUE(kPoolSized);
    auto& pool = EventPollerPool::Instance();
    ASSERT_EQ(pool.getExecutorSize(), kPoolSize);
    EXPECT_EQ(&EventPoller::Instance(), pool.getFirstPoller().get());
    WorkThreadPool::setPoolSize(2);
    auto& work = WorkThreadPool::Instance();
    ASSERT_EQ(work.getExecutorSize(), 2u);
    std::vector<std::string> seen;
    for (auto* executors : {static_cast<TaskExecutorGetterImp*>(&pool), static_cast<TaskExecutorGetterImp*>(&work)}) {
        executors->for_each([&](const TaskExecutor::Ptr& executor) {
            auto poller = std::dynamic_pointer_cast<EventPoller>(executor);
            ASSERT_TRUE(runOn(poller, [&]() {
                seen.push_back(threadName() + (EventPoller::getCurrentPoller() ? " current" : ""));
            }));
        });
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"event poller 0 current", "event poller 1 current",
                                              "event poller 2 current", "event poller 3 current", "work poller 0",
                                              "work poller 1"}));
}

TEST(EventPollerPool, GetPollerPrefersTheCallersPollerAndIsSafeFromManyThreads) {
    auto& pool = EventPollerPool::Instance();
    std::vector<EventPoller::Ptr> pollers;
    pool.for_each([&](const TaskExecutor::Ptr& executor) {
        pollers.push_back(std::dynamic_pointer_cast<EventPoller>(executor));
    });
    ASSERT_GE(pollers.size(), 3u);
    EventPoller::Ptr chosen;
    ASSERT_TRUE(runOn(pollers[2], [&]() { chosen = pool.getPoller(true); }));
    EXPECT_EQ(chosen, pollers[2]);

    // Threads that run no poller get one of the pool's (the shared search
    // position is checked under TSan).
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&]() {
            for (int i = 0; i < 2000; ++i) {
                bad += std::find(pollers.begin(), pollers.end(), pool.getPoller(i % 2 == 0)) == pollers.end();
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(bad, 0);
}
