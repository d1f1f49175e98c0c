#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "Singelton.h"

namespace {

std::atomic<int> g_slow_constructions{0};

// Slow to construct, to widen the window in which racing callers could each
// decide to create one.
struct SlowObject {
    SlowObject() {
        ++g_slow_constructions;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        value = 17;
    }
    int value = 0;
};

std::atomic<int> g_failing_attempts{0};

// The first construction throws; later ones succeed.
struct FailsOnce {
    FailsOnce() {
        if (g_failing_attempts++ == 0) {
            throw std::runtime_error("device not ready");
        }
    }
};

} // namespace

TEST(Singleton, ConcurrentFirstCallsConstructOnce) {
    constexpr int kThreads = 8;
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<SlowObject*> seen(kThreads, nullptr);
    std::vector<int> values(kThreads, 0);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            ++ready;
            while (!go) {
                std::this_thread::yield();
            }
            seen[i] = Copperwren::Singleton<SlowObject>::Instance();
            // Every caller sees the finished object.
            values[i] = seen[i]->value;
        });
    }
    while (ready < kThreads) {
        std::this_thread::yield();
    }
    go = true;
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(g_slow_constructions, 1);
    for (int i = 0; i < kThreads; ++i) {
        ASSERT_NE(seen[i], nullptr);
        EXPECT_EQ(seen[i], seen[0]);
        EXPECT_EQ(values[i], 17);
    }
    EXPECT_EQ(SINGLETON_PTR(SlowObject), seen[0]);
    EXPECT_EQ(g_slow_constructions, 1);
}

TEST(Singleton, ThrowingConstructorLeavesNothingBehind) {
    EXPECT_THROW(Copperwren::Singleton<FailsOnce>::Instance(), std::runtime_error);
    // The mutex was released and the slot left empty: the next call creates it.
    FailsOnce* obj = Copperwren::Singleton<FailsOnce>::Instance();
    EXPECT_NE(obj, nullptr);
    EXPECT_EQ(Copperwren::Singleton<FailsOnce>::Instance(), obj);
    EXPECT_EQ(g_failing_attempts, 2);
}
