#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "CThreadPool.h"

namespace {

constexpr auto kLongWait = std::chrono::seconds(20);

// Shared with the tasks by shared pointer: the shared pool outlives every test.
struct Collector {
    std::mutex mtx;
    std::condition_variable cv;
    std::vector<std::string> names;
    bool release = false;
    bool inline_ran_before_return = false;
    bool inline_handle_empty = false;
    bool done = false;
};

std::string currentThreadName() {
    char name[64] = {0};
    pthread_getname_np(pthread_self(), name, sizeof(name));
    return name;
}

} // namespace

TEST(CThreadPool, OnePoolForEveryCaller) {
    CThreadPool* first = CThreadPool::instance();
    CThreadPool* from_thread = nullptr;
    std::thread t([&] { from_thread = CThreadPool::instance(); });
    t.join();
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(first, from_thread);
}

TEST(CThreadPool, FiveWorkersNamedThreadPool) {
    auto c = std::make_shared<Collector>();
    // Each task holds its worker until five are held: five distinct workers.
    for (int i = 0; i < 5; ++i) {
        CThreadPool::instance()->async(
            [c] {
                std::unique_lock<std::mutex> lock(c->mtx);
                c->names.push_back(currentThreadName());
                c->cv.notify_all();
                c->cv.wait_for(lock, kLongWait, [&] { return c->names.size() >= 5; });
            },
            true);
    }
    std::unique_lock<std::mutex> lock(c->mtx);
    ASSERT_TRUE(c->cv.wait_for(lock, kLongWait, [&] { return c->names.size() >= 5; }));
    std::set<std::string> unique(c->names.begin(), c->names.end());
    std::set<std::string> expected = {"thread pool 0", "thread pool 1", "thread pool 2", "thread pool 3",
                                      "thread pool 4"};
    EXPECT_EQ(unique, expected);
}

TEST(CThreadPool, PostFromAWorkerRunsBeforeAsyncReturns) {
    auto c = std::make_shared<Collector>();
    CThreadPool::instance()->async(
        [c] {
            bool ran = false;
            auto handle = CThreadPool::instance()->async([&ran] { ran = true; }, true);
            std::lock_guard<std::mutex> lock(c->mtx);
            c->inline_ran_before_return = ran;
            c->inline_handle_empty = (handle == nullptr);
            c->done = true;
            c->cv.notify_all();
        },
        true);
    std::unique_lock<std::mutex> lock(c->mtx);
    ASSERT_TRUE(c->cv.wait_for(lock, kLongWait, [&] { return c->done; }));
    EXPECT_TRUE(c->inline_ran_before_return);
    EXPECT_TRUE(c->inline_handle_empty);
}
