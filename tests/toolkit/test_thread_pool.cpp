#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Thread/TaskCancelable.h"
#include "Thread/ThreadPool.h"
#include "Thread/semaphore.h"
#include "Thread/threadgroup.h"
#include "poller_test_support.h"

using namespace toolkit;
using namespace std::chrono_literals;
using poller_test::Latch;
using poller_test::Trace;
using poller_test::waitUntil;

// Everything the tasks touch is declared before the pool, which joins its
// workers first when a test ends.

namespace {

// Blocks the only worker of `pool` until `gate` is set; returns once the
// worker has taken the blocking task, so later tasks queue behind it.
bool occupyWorker(ThreadPool& pool, Latch gate) {
    Latch started;
    pool.async([started, gate] {
        started.set();
        gate.wait();
    });
    return started.wait();
}

} // namespace

// Units posted before a wait are kept; each posted unit wakes one waiter.
TEST(Semaphore, EachPostedUnitWakesOneWaiter) {
    semaphore sem;
    sem.post(2);
    sem.wait();
    std::atomic<int> returned{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            sem.wait();
            ++returned;
        });
    }
    EXPECT_TRUE(waitUntil([&] { return returned == 1; }));
    // Give a wrongly woken waiter ample time to show up.
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(1, returned.load());
    sem.post(2);
    EXPECT_TRUE(waitUntil([&] { return returned == 3; }));
    sem.post(3);  // lets the threads be joined whatever happened
    for (auto& t : waiters) {
        t.join();
    }
}

TEST(TaskCancelable, CancelledDuringTheCallCompletesIt) {
    poller_test::Latch entered, open;
    auto token = std::make_shared<int>(7);
    std::weak_ptr<int> watch = token;
    auto task = std::make_shared<TaskCancelableImp<uint64_t()>>([entered, open, token]() -> uint64_t {
        entered.set();
        open.wait();
        return static_cast<uint64_t>(*token) * 6;
    });
    token.reset();
    auto running = std::async(std::launch::async, [task] { return (*task)(); });
    ASSERT_TRUE(entered.wait());
    task->cancel();
    // The runner still holds the function object and what it captured.
    EXPECT_FALSE(watch.expired());
    open.set();
    EXPECT_EQ(42u, running.get());
    // Once the run is over the cancelled function object is gone for good.
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(0u, (*task)());
}

TEST(TaskCancelable, ConcurrentCancelAndRun) {
    // Runners, cancellers and bool tests on one task at once: each run either
    // happens completely or not at all, and nothing races (checked under TSan).
    std::atomic<int> calls{0};
    auto task = std::make_shared<Task>([&] { ++calls; });
    std::vector<std::thread> threads;
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back([task] {
            for (int j = 0; j < 1000; ++j) {
                (*task)();
            }
        });
        threads.emplace_back([task] {
            for (int j = 0; j < 1000; ++j) {
                if (j == 500) {
                    task->cancel();
                }
                (void)static_cast<bool>(*task);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_FALSE(*task);
    int after_cancel = calls.load();
    (*task)();
    EXPECT_EQ(after_cancel, calls.load());
}

// Workers start only when asked (the queue keeps what came before) and are
// named after the pool and their index.
TEST(ThreadPool, WorkersStartWhenAskedAndAreNamedAfterPoolAndIndex) {
    Trace names;
    std::atomic<int> arrived{0};
    Latch all_arrived;
    ThreadPool pool(3, ThreadPool::PRIORITY_HIGHEST, false, true, "thread pool");
    // Each task holds its worker until all three are held, so three different
    // workers report their names.
    for (int i = 0; i < 3; ++i) {
        pool.async([&, all_arrived] {
            names.add(poller_test::threadName());
            if (++arrived == 3) {
                all_arrived.set();
            }
            all_arrived.wait();
        });
    }
    EXPECT_EQ(names.size(), 0u);
    pool.start();
    ASSERT_TRUE(waitUntil([&] { return names.size() == 3; }));
    auto got = names.labels();
    EXPECT_EQ(std::set<std::string>(got.begin(), got.end()),
              (std::set<std::string>{"thread pool 0", "thread pool 1", "thread pool 2"}));
}

TEST(ThreadPool, AsyncFirstOvertakesWaitingTasksAndCancelledOnesNeverRun) {
    Latch gate;
    Trace order;
    ThreadPool pool(1, ThreadPool::PRIORITY_NORMAL, true, false, "order");
    ASSERT_TRUE(occupyWorker(pool, gate));
    pool.async([&] { order.add("1"); });
    auto cancelled = pool.async([&] { order.add("cancelled"); });
    ASSERT_NE(cancelled, nullptr);
    cancelled->cancel();
    pool.async([&] { order.add("2"); });
    pool.async_first([&] { order.add("0"); });
    gate.set();
    ASSERT_TRUE(waitUntil([&] { return order.size() >= 3; }));
    pool.async([&] { order.add("end"); });
    ASSERT_TRUE(waitUntil([&] { return order.size() >= 4; }));
    EXPECT_EQ(order.labels(), (std::vector<std::string>{"0", "1", "2", "end"}));
}

TEST(ThreadPool, MaySyncRunsInlineOnlyOnOwnWorker) {
    bool inline_ran_before_return = false, inline_handle_empty = false;
    bool queued_ran_before_return = true, queued_handle_set = false, foreign_handle_set = false;
    std::atomic<bool> queued_ran{false};
    Latch foreign_done, done;
    Trace outside;
    // One worker: a task queued from it cannot start before it returns.
    ThreadPool other(1, ThreadPool::PRIORITY_NORMAL, true, false, "other");
    ThreadPool pool(1, ThreadPool::PRIORITY_NORMAL, true, false, "sync");
    pool.async([&] {
        bool ran = false;
        inline_handle_empty = pool.async([&] { ran = true; }, true) == nullptr;
        inline_ran_before_return = ran;
        // may_sync false queues even on the pool's own worker.
        queued_handle_set = pool.async([&] { queued_ran = true; done.set(); }, false) != nullptr;
        queued_ran_before_return = queued_ran;
        // A worker of this pool is not a worker of another pool.
        foreign_handle_set = other.async([foreign_done] { foreign_done.set(); }, true) != nullptr;
        foreign_done.wait();
    });
    ASSERT_TRUE(done.wait());
    EXPECT_TRUE(inline_handle_empty);
    EXPECT_TRUE(inline_ran_before_return);
    EXPECT_TRUE(queued_handle_set);
    EXPECT_FALSE(queued_ran_before_return);
    EXPECT_TRUE(foreign_handle_set);

    // From a thread outside the pool may_sync queues and hands back a handle.
    EXPECT_NE(pool.async([&] { outside.add("ran"); }, true), nullptr);
    EXPECT_TRUE(waitUntil([&] { return outside.size() == 1; }));
}

TEST(ThreadPool, DestructionRunsEveryQueuedTask) {
    std::atomic<int> ran{0};
    Latch gate;
    {
        ThreadPool pool(2, ThreadPool::PRIORITY_NORMAL, true, false, "drain");
        ASSERT_TRUE(occupyWorker(pool, gate));
        for (int i = 0; i < 50; ++i) {
            pool.async([&] { ++ran; });
        }
        gate.set();
    }
    EXPECT_EQ(ran, 50);
}

TEST(ThreadPool, StandardExceptionIsLoggedAndWorkerGoesOn) {
    testing_support::LogCapture log;
    // A text of its own per run: the logger counts, rather than writes, a
    // record repeating the previous one within 500 ms.
    static std::atomic<int> s_run{0};
    const std::string message = "sample failure " + std::to_string(++s_run);
    {
        Latch next;
        ThreadPool pool(1, ThreadPool::PRIORITY_NORMAL, true, false, "throw");
        pool.async([message] { throw std::runtime_error(message); });
        pool.async([next] { next.set(); });
        ASSERT_TRUE(next.wait());
    }
    ASSERT_TRUE(log.waitFor(message));
    EXPECT_EQ(log.count(message), 1u);
    auto line = log.line(message);
    EXPECT_NE(line.find(" E ["), std::string::npos) << line;
    EXPECT_NE(line.find(" run | ThreadPool catch a exception: " + message + "\n"), std::string::npos) << line;
}

TEST(ThreadGroup, KnowsItsOwnThreadsFromTheirFirstInstructionAndNeverJoinsItself) {
    thread_group group;
    thread_group stranger;
    std::atomic<bool> in_own{false};
    std::atomic<bool> in_stranger{true};
    std::string error;
    // Checked at once by the new thread, possibly before create_thread returns.
    group.create_thread([&] {
        in_own = group.is_this_thread_in();
        in_stranger = stranger.is_this_thread_in();
        try {
            group.join_all();
        } catch (const std::runtime_error& ex) {
            error = ex.what();
        }
    });
    EXPECT_FALSE(group.is_this_thread_in());
    group.join_all();
    EXPECT_TRUE(in_own);
    EXPECT_FALSE(in_stranger);
    EXPECT_EQ(error, "Trying joining itself in thread_group");
    EXPECT_EQ(group.size(), 0u);
}
