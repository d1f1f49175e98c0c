#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Thread/TaskQueue.h"
#include "Thread/ThreadPool.h"
#include "Thread/threadgroup.h"
#include "Util/logger.h"

using namespace toolkit;

namespace {

constexpr auto kLongWait = std::chrono::seconds(20);

// A one-shot gate: tasks block in wait() until the test opens it.
class Gate {
public:
    // Notifies under the lock: a waiter may destroy the gate once it wakes.
    void open() {
        std::lock_guard<std::mutex> lock(_mtx);
        _open = true;
        _cv.notify_all();
    }
    bool wait() {
        std::unique_lock<std::mutex> lock(_mtx);
        return _cv.wait_for(lock, kLongWait, [this] { return _open; });
    }

private:
    std::mutex _mtx;
    std::condition_variable _cv;
    bool _open = false;
};

// Collects values appended by tasks; the test waits for a given count.
template <typename T>
class Recorder {
public:
    void add(T value) {
        std::lock_guard<std::mutex> lock(_mtx);
        _values.push_back(std::move(value));
        _cv.notify_all();
    }
    bool waitFor(size_t count) {
        std::unique_lock<std::mutex> lock(_mtx);
        return _cv.wait_for(lock, kLongWait, [&] { return _values.size() >= count; });
    }
    std::vector<T> values() {
        std::lock_guard<std::mutex> lock(_mtx);
        return _values;
    }

private:
    std::mutex _mtx;
    std::condition_variable _cv;
    std::vector<T> _values;
};

std::string currentThreadName() {
    char name[64] = {0};
    pthread_getname_np(pthread_self(), name, sizeof(name));
    return name;
}

// Blocks the only worker of `pool` until `gate` opens; returns once the worker
// has taken the blocking task, so later tasks are certain to queue behind it.
void occupyWorker(ThreadPool& pool, Gate& gate) {
    auto started = std::make_shared<Gate>();
    pool.async([started, &gate] {
        started->open();
        gate.wait();
    });
    ASSERT_TRUE(started->wait());
}

// A log channel that keeps every record it receives.
class RecordingChannel : public LogChannel {
public:
    struct Entry {
        LogLevel level;
        std::string function;
        std::string text;
    };

    explicit RecordingChannel(const std::string& name) : LogChannel(name, LTrace) {}

    void write(const Logger&, const LogContextPtr& ctx) override {
        std::lock_guard<std::mutex> lock(_mtx);
        _entries.push_back(Entry{ctx->_level, ctx->_function, ctx->str()});
    }

    std::vector<Entry> entriesContaining(const std::string& needle) {
        std::lock_guard<std::mutex> lock(_mtx);
        std::vector<Entry> found;
        for (auto& e : _entries) {
            if (e.text.find(needle) != std::string::npos) {
                found.push_back(e);
            }
        }
        return found;
    }

private:
    std::mutex _mtx;
    std::vector<Entry> _entries;
};

} // namespace

TEST(ThreadPool, WorkersAreNamedAfterPoolAndIndex) {
    // Everything the tasks touch is declared before the pool, which joins its
    // workers first when the test ends.
    Recorder<std::string> names;
    std::atomic<int> arrived{0};
    Gate all_arrived;
    ThreadPool pool(5, ThreadPool::PRIORITY_HIGHEST, true, true, "thread pool");
    // Each task holds its worker until all five are held, so five different
    // workers report their names.
    for (int i = 0; i < 5; ++i) {
        pool.async([&] {
            names.add(currentThreadName());
            if (++arrived == 5) {
                all_arrived.open();
            }
            all_arrived.wait();
        });
    }
    ASSERT_TRUE(names.waitFor(5));
    auto got = names.values();
    std::set<std::string> unique(got.begin(), got.end());
    std::set<std::string> expected = {"thread pool 0", "thread pool 1", "thread pool 2", "thread pool 3",
                                      "thread pool 4"};
    EXPECT_EQ(unique, expected);
}

TEST(ThreadPool, LongWorkerNameIsShortened) {
    Recorder<std::string> names;
    ThreadPool pool(1, ThreadPool::PRIORITY_NORMAL, true, false, "a rather long pool");
    pool.async([&] { names.add(currentThreadName()); });
    ASSERT_TRUE(names.waitFor(1));
    // "a rather long pool 0": first 5 characters, "...", last 7.
    EXPECT_EQ(names.values()[0], "a rat... pool 0");
}

TEST(ThreadPool, AsyncFirstOvertakesTasksNotYetStarted) {
    Gate gate;
    Recorder<int> order;
    ThreadPool pool(1, ThreadPool::PRIORITY_NORMAL, true, false, "order");
    occupyWorker(pool, gate);
    pool.async([&] { order.add(1); });
    pool.async([&] { order.add(2); });
    pool.async([&] { order.add(3); });
    pool.async_first([&] { order.add(0); });
    gate.open();
    ASSERT_TRUE(order.waitFor(4));
    EXPECT_EQ(order.values(), (std::vector<int>{0, 1, 2, 3}));
}

TEST(ThreadPool, MaySyncRunsInlineOnlyOnOwnWorker) {
    struct Outcome {
        bool inline_handle_empty = false;
        bool inline_ran_before_return = false;
        bool queued_handle_set = false;
        bool queued_ran_before_return = true;
        bool foreign_handle_set = false;
    };
    Outcome outcome;
    std::atomic<bool> queued_ran{false};
    Gate foreign_done;
    Recorder<int> done;
    Recorder<int> outside;
    // One worker: a task queued from it cannot start before it returns.
    ThreadPool other(1, ThreadPool::PRIORITY_NORMAL, true, false, "other");
    ThreadPool pool(1, ThreadPool::PRIORITY_NORMAL, true, false, "sync");

    pool.async([&] {
        bool ran = false;
        auto handle = pool.async([&] { ran = true; }, true);
        outcome.inline_handle_empty = (handle == nullptr);
        outcome.inline_ran_before_return = ran;

        // may_sync false queues even on the pool's own worker.
        auto queued = pool.async([&] { queued_ran = true; done.add(2); }, false);
        outcome.queued_handle_set = (queued != nullptr);
        outcome.queued_ran_before_return = queued_ran;

        // A worker of this pool is not a worker of another pool.
        auto foreign = other.async([&] { foreign_done.open(); }, true);
        outcome.foreign_handle_set = (foreign != nullptr);
        foreign_done.wait();
        done.add(1);
    });
    ASSERT_TRUE(done.waitFor(2));
    EXPECT_EQ(done.values(), (std::vector<int>{1, 2}));
    EXPECT_TRUE(outcome.inline_handle_empty);
    EXPECT_TRUE(outcome.inline_ran_before_return);
    EXPECT_TRUE(outcome.queued_handle_set);
    EXPECT_FALSE(outcome.queued_ran_before_return);
    EXPECT_TRUE(outcome.foreign_handle_set);

    // From a thread outside the pool may_sync queues and hands back a handle.
    auto handle = pool.async([&] { outside.add(1); }, true);
    EXPECT_NE(handle, nullptr);
    EXPECT_TRUE(outside.waitFor(1));
}

TEST(ThreadPool, EmptyTaskOnSyncPathThrowsBadFunctionCall) {
    Recorder<bool> threw;
    ThreadPool pool(1, ThreadPool::PRIORITY_NORMAL, true, false, "empty");
    pool.async([&] {
        try {
            pool.async(TaskIn(), true);
            threw.add(false);
        } catch (const std::bad_function_call&) {
            threw.add(true);
        }
    });
    ASSERT_TRUE(threw.waitFor(1));
    EXPECT_TRUE(threw.values()[0]);
}

TEST(ThreadPool, TaskCancelledBeforeItIsTakenNeverRuns) {
    Gate gate;
    std::atomic<bool> cancelled_ran{false};
    Recorder<int> after;
    ThreadPool pool(1, ThreadPool::PRIORITY_NORMAL, true, false, "cancel");
    occupyWorker(pool, gate);
    auto handle = pool.async([&] { cancelled_ran = true; });
    ASSERT_NE(handle, nullptr);
    handle->cancel();
    pool.async([&] { after.add(1); });
    gate.open();
    ASSERT_TRUE(after.waitFor(1));
    EXPECT_FALSE(cancelled_ran);
}

TEST(ThreadPool, DestructionRunsEveryQueuedTask) {
    std::atomic<int> ran{0};
    Gate gate;
    {
        ThreadPool pool(2, ThreadPool::PRIORITY_NORMAL, true, false, "drain");
        occupyWorker(pool, gate);
        for (int i = 0; i < 50; ++i) {
            pool.async([&] { ++ran; });
        }
        gate.open();
    }
    EXPECT_EQ(ran, 50);
}

TEST(ThreadPool, ZeroThreadsStartNothing) {
    std::atomic<bool> ran{false};
    {
        ThreadPool pool(0, ThreadPool::PRIORITY_NORMAL, true, false, "none");
        auto handle = pool.async([&] { ran = true; });
        EXPECT_NE(handle, nullptr);
        pool.start();
    }
    EXPECT_FALSE(ran);
}

TEST(ThreadPool, NothingRunsBeforeStartWithoutAutoRun) {
    Recorder<std::string> names;
    ThreadPool pool(1, ThreadPool::PRIORITY_NORMAL, false, false, "manual");
    pool.async([&] { names.add(currentThreadName()); });
    // No worker exists yet, so the queue is certain to hold the task.
    pool.start();
    ASSERT_TRUE(names.waitFor(1));
    EXPECT_EQ(names.values()[0], "manual 0");
}

TEST(ThreadPool, StandardExceptionIsLoggedAndWorkerGoesOn) {
    // A text of its own per run: the logger counts, rather than writes, a
    // record repeating the previous one within 500 ms.
    static std::atomic<int> s_run{0};
    const std::string message = "sample failure " + std::to_string(++s_run);
    auto channel = std::make_shared<RecordingChannel>("test thread pool channel");
    getLogger().add(channel);
    {
        Recorder<int> next;
        ThreadPool pool(1, ThreadPool::PRIORITY_NORMAL, true, false, "throw");
        pool.async([message] { throw std::runtime_error(message); });
        pool.async([&] { next.add(1); });
        ASSERT_TRUE(next.waitFor(1));
    }
    // The record may pass through an asynchronous writer: allow it time.
    auto deadline = std::chrono::steady_clock::now() + kLongWait;
    std::vector<RecordingChannel::Entry> found;
    while (std::chrono::steady_clock::now() < deadline) {
        found = channel->entriesContaining(message);
        if (!found.empty()) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    getLogger().del(channel->name());
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].text, "ThreadPool catch a exception: " + message);
    EXPECT_EQ(found[0].level, LError);
    EXPECT_EQ(found[0].function, "run");
}

TEST(ThreadPool, SetPriorityNeverFailsTheCaller) {
    // Whether the host allows it or not, the call returns and the thread stays
    // under the normal policy.
    for (auto p : {ThreadPool::PRIORITY_LOWEST, ThreadPool::PRIORITY_NORMAL, ThreadPool::PRIORITY_HIGHEST}) {
        ThreadPool::setPriority(p);
        int policy = -1;
        sched_param param{};
        ASSERT_EQ(pthread_getschedparam(pthread_self(), &policy, &param), 0);
        EXPECT_EQ(policy, SCHED_OTHER);
    }
    // Another thread, addressed by its handle.
    std::thread t([] { std::this_thread::sleep_for(std::chrono::milliseconds(10)); });
    ThreadPool::setPriority(ThreadPool::PRIORITY_HIGH, t.native_handle());
    t.join();
}

TEST(ThreadGroup, KnowsItsOwnThreadsFromTheirFirstInstruction) {
    thread_group group;
    thread_group stranger;
    std::atomic<bool> in_own{false};
    std::atomic<bool> in_stranger{true};
    // Checked at once by the new thread, possibly before create_thread returns.
    group.create_thread([&] {
        in_own = group.is_this_thread_in();
        in_stranger = stranger.is_this_thread_in();
    });
    EXPECT_FALSE(group.is_this_thread_in());
    group.join_all();
    EXPECT_TRUE(in_own);
    EXPECT_FALSE(in_stranger);
    EXPECT_EQ(group.size(), 0u);
}

TEST(ThreadGroup, RefusesToJoinItself) {
    thread_group group;
    std::string error;
    group.create_thread([&] {
        try {
            group.join_all();
        } catch (const std::runtime_error& ex) {
            error = ex.what();
        }
    });
    group.join_all();
    EXPECT_EQ(error, "Trying joining itself in thread_group");
}

TEST(TaskQueue, ExitSignalsComeAfterQueuedTasks) {
    TaskQueue<int> queue;
    queue.push_task(1);
    queue.push_task(2);
    queue.push_task_first(0);
    queue.push_exit(2);
    int out = -1;
    std::vector<int> got;
    while (queue.get_task(out)) {
        got.push_back(out);
    }
    EXPECT_EQ(got, (std::vector<int>{0, 1, 2}));
    // The second exit unit is still there for another waiter.
    EXPECT_FALSE(queue.get_task(out));
    EXPECT_EQ(queue.size(), 0u);
}
