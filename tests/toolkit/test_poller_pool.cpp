#include <gtest/gtest.h>

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Poller/EventPollerPool.h"
#include "Poller/WorkThreadPool.h"
#include "Thread/TaskExecutorGetter.h"
#include "Util/NoticeCenter.h"
#include "poller_test_support.h"

using namespace toolkit;
using namespace poller_test;

namespace {

// The toolkit tests run with this many pollers whatever the core count; the
// size must be fixed before the pool's first use.
constexpr size_t kPoolSize = 4;
const bool kPoolSized = (EventPollerPool::setPoolSize(kPoolSize), true);

// An executor whose load is set by the test: it runs on its own clock, and
// each setLoad leaves exactly one busy and one idle stretch in a 1 s window.
class FakeExecutor : public TaskExecutor {
public:
    FakeExecutor() : TaskExecutor(32, 1000 * 1000) {}

    Task::Ptr async(TaskIn task, bool) override {
        task();
        return nullptr;
    }

    void setLoad(int percent) {
        // Far beyond the window, so older stretches leave it.
        _now += 10 * 1000 * 1000;
        sleepWakeUp();
        _now += percent * 10000;
        startSleep();
        _now += (100 - percent) * 10000;
    }

protected:
    uint64_t nowMicrosecond() override { return _now; }

private:
    uint64_t _now = getCurrentMicrosecond() + 10 * 1000 * 1000;
};

class FakeGetter : public TaskExecutorGetterImp {
public:
    explicit FakeGetter(size_t count) {
        for (size_t i = 0; i < count; ++i) {
            auto executor = std::make_shared<FakeExecutor>();
            _fakes.push_back(executor);
            _threads.push_back(executor);
        }
    }
    void setLoads(const std::vector<int>& loads) {
        for (size_t i = 0; i < loads.size(); ++i) {
            _fakes[i]->setLoad(loads[i]);
        }
    }
    TaskExecutor::Ptr at(size_t i) const { return _fakes[i]; }

private:
    std::vector<std::shared_ptr<FakeExecutor>> _fakes;
};

std::string threadName() {
    char name[32] = {0};
    pthread_getname_np(pthread_self(), name, sizeof(name));
    return name;
}

} // namespace

// ---------------------------------------------------------------- least loaded

TEST(TaskExecutorGetter, FakeLoadsAreExact) {
    FakeGetter getter(3);
    getter.setLoads({40, 10, 0});
    EXPECT_EQ(getter.getExecutorLoad(), (std::vector<int>{40, 10, 0}));
}

TEST(TaskExecutorGetter, IdleExecutorAtTheStoredPositionIsKept) {
    FakeGetter getter(3);
    getter.setLoads({30, 0, 0});
    EXPECT_EQ(getter.getExecutor(), getter.at(1));
    // The search stopped at the idle executor: it starts there again.
    getter.setLoads({0, 0, 0});
    EXPECT_EQ(getter.getExecutor(), getter.at(1));
    EXPECT_EQ(getter.getExecutor(), getter.at(1));
}

TEST(TaskExecutorGetter, LeastLoadedWinsAndTiesGoToTheFirstMet) {
    FakeGetter getter(3);
    getter.setLoads({40, 10, 10});
    EXPECT_EQ(getter.getExecutor(), getter.at(1));
    // No executor was idle: the search went round and starts at the first again.
    getter.setLoads({20, 20, 20});
    EXPECT_EQ(getter.getExecutor(), getter.at(0));
    getter.setLoads({50, 50, 5});
    EXPECT_EQ(getter.getExecutor(), getter.at(2));
}

TEST(TaskExecutorGetter, EmptyGetterGivesNull) {
    FakeGetter getter(0);
    EXPECT_FALSE(getter.getExecutor());
    EXPECT_EQ(getter.getExecutorSize(), 0u);
}

// ---------------------------------------------------------------- the pool

TEST(EventPollerPool, PollersAreNamedByIndexAndSized) {
    ASSERT_TRUE(kPoolSized);
    auto& pool = EventPollerPool::Instance();
    ASSERT_EQ(pool.getExecutorSize(), kPoolSize);
    std::vector<std::string> names;
    pool.for_each([&](const TaskExecutor::Ptr& executor) {
        auto poller = std::dynamic_pointer_cast<EventPoller>(executor);
        ASSERT_TRUE(poller);
        std::string name;
        ASSERT_TRUE(runOn(poller, [&]() { name = threadName(); }));
        names.push_back(name);
    });
    ASSERT_EQ(names.size(), kPoolSize);
    for (size_t i = 0; i < kPoolSize; ++i) {
        EXPECT_EQ(names[i], "event poller " + std::to_string(i));
    }
    EXPECT_EQ(&EventPoller::Instance(), pool.getFirstPoller().get());
}

TEST(EventPollerPool, GetPollerPrefersTheCallersPoller) {
    auto& pool = EventPollerPool::Instance();
    ASSERT_GE(pool.getExecutorSize(), 3u);
    std::vector<EventPoller::Ptr> pollers;
    pool.for_each([&](const TaskExecutor::Ptr& executor) {
        pollers.push_back(std::dynamic_pointer_cast<EventPoller>(executor));
    });

    EventPoller::Ptr chosen;
    ASSERT_TRUE(runOn(pollers[2], [&]() { chosen = pool.getPoller(true); }));
    EXPECT_EQ(chosen, pollers[2]);

    // A thread that runs no poller gets one of the pool's.
    auto other = pool.getPoller(true);
    ASSERT_TRUE(other);
    EXPECT_NE(std::find(pollers.begin(), pollers.end(), other), pollers.end());
}

TEST(EventPollerPool, ConcurrentChoicesStayInRange) {
    auto& pool = EventPollerPool::Instance();
    std::atomic<int> bad{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&]() {
            for (int i = 0; i < 2000; ++i) {
                if (!pool.getPoller(false)) {
                    ++bad;
                }
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(bad, 0);
}

TEST(WorkThreadPool, PollersAreNamedAndNotRegisteredAsCurrent) {
    WorkThreadPool::setPoolSize(2);
    auto& pool = WorkThreadPool::Instance();
    ASSERT_EQ(pool.getExecutorSize(), 2u);
    auto poller = pool.getFirstPoller();
    std::string name;
    bool registered = true;
    ASSERT_TRUE(runOn(poller, [&]() {
        name = threadName();
        registered = static_cast<bool>(EventPoller::getCurrentPoller());
    }));
    EXPECT_EQ(name, "work poller 0");
    EXPECT_FALSE(registered);
}

// ---------------------------------------------------------------- notices

TEST(NoticeCenter, EmitWithoutListenersCallsNothing) {
    size_t size = 3;
    EXPECT_EQ(NoticeCenter::Instance().emitEvent("test.nobody.listens", size), 0);
}

TEST(NoticeCenter, ListenersOfMatchingTypeAreCalledInTagOrder) {
    auto& center = NoticeCenter::Instance();
    const std::string event = "test.notice.order";
    int tags[3];
    std::vector<int> calls;
    center.addListener(&tags[1], event, std::function<void(int&)>([&](int& v) { calls.push_back(10 + v); }));
    center.addListener(&tags[0], event, std::function<void(int&)>([&](int& v) { calls.push_back(v); }));
    // A different parameter list is never called with these arguments.
    center.addListener(&tags[2], event, std::function<void(std::string&)>([&](std::string&) { calls.push_back(-1); }));

    int value = 1;
    EXPECT_EQ(center.emitEvent(event, value), 2);
    EXPECT_EQ(calls, (std::vector<int>{1, 11}));

    center.delListener(&tags[0], event);
    center.delListener(&tags[1], event);
    center.delListener(&tags[2], event);
    EXPECT_EQ(center.emitEvent(event, value), 0);
}

TEST(NoticeCenter, InterruptEndsTheDispatch) {
    EventDispatcher dispatcher;
    int tags[2];
    int later_calls = 0;
    dispatcher.addListener(&tags[0], std::function<void(int&)>([](int&) {
        throw EventDispatcher::InterruptException();
    }));
    dispatcher.addListener(&tags[1], std::function<void(int&)>([&](int&) { ++later_calls; }));
    int value = 0;
    EXPECT_EQ(dispatcher.emitEvent(value), 1) << "the interrupting listener counts";
    EXPECT_EQ(later_calls, 0);
}

TEST(NoticeCenter, ListenerMayRemoveListenersWhileCalled) {
    EventDispatcher dispatcher;
    int tags[2];
    int calls = 0;
    dispatcher.addListener(&tags[0], std::function<void(int&)>([&](int&) {
        ++calls;
        dispatcher.delListener(&tags[1]);
    }));
    dispatcher.addListener(&tags[1], std::function<void(int&)>([&](int&) { ++calls; }));
    int value = 0;
    // The dispatch works on a copy: the removed listener still gets this event.
    EXPECT_EQ(dispatcher.emitEvent(value), 2);
    EXPECT_EQ(dispatcher.emitEvent(value), 1);
    EXPECT_EQ(calls, 3);
}
