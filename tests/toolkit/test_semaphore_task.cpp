#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "Thread/TaskCancelable.h"
#include "Thread/semaphore.h"

using namespace toolkit;
using namespace std::chrono_literals;

namespace {

// Polls `done` for up to ten seconds; a loaded machine may be slow, never stuck.
template <typename Pred>
bool eventually(Pred done) {
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Threads blocked in wait() that count themselves once they return.
struct Waiters {
    semaphore sem;
    std::atomic<int> returned{0};
    std::vector<std::thread> threads;

    void start(int n) {
        for (int i = 0; i < n; ++i) {
            threads.emplace_back([this] {
                sem.wait();
                ++returned;
            });
        }
    }
    ~Waiters() {
        // Releases whoever still waits so the threads can be joined.
        sem.post(threads.size());
        for (auto& t : threads) {
            t.join();
        }
    }
};

// A gate a task can block on until the test opens it.
struct Gate {
    std::promise<void> entered;
    std::promise<void> open;
    std::shared_future<void> opened{open.get_future().share()};
};

} // namespace

TEST(Semaphore, PostOneWakesExactlyOneOfTwoWaiters) {
    Waiters w;
    w.start(2);
    w.sem.post(1);
    ASSERT_TRUE(eventually([&] { return w.returned == 1; }));
    // Give a wrongly woken second waiter ample time to show up.
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(1, w.returned.load());
    w.sem.post(1);
    ASSERT_TRUE(eventually([&] { return w.returned == 2; }));
}

TEST(Semaphore, PostTwoWakesBothWaiters) {
    Waiters w;
    w.start(2);
    w.sem.post(2);
    EXPECT_TRUE(eventually([&] { return w.returned == 2; }));
}

TEST(Semaphore, WaitOnCountThreeReturnsAndLeavesTwo) {
    semaphore sem;
    sem.post(3);
    auto first = std::async(std::launch::async, [&] { sem.wait(); });
    ASSERT_EQ(std::future_status::ready, first.wait_for(10s));
    // Two units left: two more waits return, the third blocks until a post.
    auto next_two = std::async(std::launch::async, [&] {
        sem.wait();
        sem.wait();
    });
    ASSERT_EQ(std::future_status::ready, next_two.wait_for(10s));
    auto blocked = std::async(std::launch::async, [&] { sem.wait(); });
    EXPECT_EQ(std::future_status::timeout, blocked.wait_for(100ms));
    sem.post(1);
    EXPECT_EQ(std::future_status::ready, blocked.wait_for(10s));
}

TEST(Semaphore, PostsFromManyThreadsAreAllCounted) {
    semaphore sem;
    std::vector<std::thread> posters;
    for (int i = 0; i < 4; ++i) {
        posters.emplace_back([&] {
            for (int j = 0; j < 250; ++j) {
                sem.post();
            }
        });
    }
    auto taker = std::async(std::launch::async, [&] {
        for (int i = 0; i < 1000; ++i) {
            sem.wait();
        }
    });
    for (auto& t : posters) {
        t.join();
    }
    EXPECT_EQ(std::future_status::ready, taker.wait_for(10s));
}

TEST(TaskCancelable, CancelledBeforeTheCallReturnsZero) {
    int calls = 0;
    auto task = std::make_shared<TaskCancelableImp<uint64_t()>>([&]() -> uint64_t {
        ++calls;
        return 42;
    });
    EXPECT_TRUE(*task);
    task->cancel();
    EXPECT_FALSE(*task);
    EXPECT_EQ(0u, (*task)());
    EXPECT_EQ(0, calls);
}

TEST(TaskCancelable, CancelledDuringTheCallCompletesIt) {
    Gate gate;
    auto token = std::make_shared<int>(7);
    std::weak_ptr<int> watch = token;
    auto task = std::make_shared<TaskCancelableImp<uint64_t()>>([&gate, token]() -> uint64_t {
        gate.entered.set_value();
        gate.opened.wait();
        return static_cast<uint64_t>(*token) * 6;
    });
    token.reset();

    auto running = std::async(std::launch::async, [task] { return (*task)(); });
    gate.entered.get_future().wait();
    task->cancel();
    // The runner still holds the function object and what it captured.
    EXPECT_FALSE(watch.expired());
    gate.open.set_value();
    EXPECT_EQ(42u, running.get());
    // Once the run is over the cancelled function object is gone for good.
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(0u, (*task)());
}

TEST(TaskCancelable, RunsOnEveryCallUntilCancelled) {
    int calls = 0;
    Task task([&] { ++calls; });
    task();
    task();
    EXPECT_EQ(2, calls);
    task.cancel();
    task();
    task();
    EXPECT_EQ(2, calls);
}

TEST(TaskCancelable, EmptyFunctionIsSkipped) {
    TaskCancelableImp<uint64_t()> task(std::function<uint64_t()>{});
    EXPECT_FALSE(task);
    EXPECT_EQ(0u, task());
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
