#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "CSafeQueue.h"

namespace {

using Clock = std::chrono::steady_clock;

long long elapsedMs(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

} // namespace

TEST(CSafeQueue, EmptyQueueTimesOutAndLeavesOutUnchanged) {
    CSafeQueue<std::string> queue;
    std::string out = "untouched";
    auto start = Clock::now();
    EXPECT_FALSE(queue.WaitForPop(out, 100));
    auto waited = elapsedMs(start);
    EXPECT_GE(waited, 95);
    EXPECT_LT(waited, 5000);
    EXPECT_EQ(out, "untouched");
}

TEST(CSafeQueue, PushFromAnotherThreadWakesTheWaiter) {
    CSafeQueue<std::string> queue;
    std::thread producer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        queue.Push("reading");
    });
    std::string out;
    auto start = Clock::now();
    // A time-out far beyond the push: returning well before it shows the wake-up.
    EXPECT_TRUE(queue.WaitForPop(out, 30000));
    EXPECT_LT(elapsedMs(start), 20000);
    EXPECT_EQ(out, "reading");
    producer.join();
}

TEST(CSafeQueue, PopsInPushOrder) {
    CSafeQueue<std::string> queue;
    queue.Push("a");
    queue.Push("b");
    queue.Push("c");
    std::vector<std::string> got;
    std::string out;
    while (queue.WaitForPop(out, 0)) {
        got.push_back(out);
    }
    EXPECT_EQ(got, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(queue.Size(), 0u);
}

TEST(CSafeQueue, ZeroOrNegativeTimeOutOnlyLooks) {
    CSafeQueue<long long> queue;
    long long out = 7;
    auto start = Clock::now();
    EXPECT_FALSE(queue.WaitForPop(out, 0));
    EXPECT_FALSE(queue.WaitForPop(out, -1));
    EXPECT_FALSE(queue.WaitForPop(out, -1000000));
    // Only looking never blocks; the bound just catches a wait.
    EXPECT_LT(elapsedMs(start), 1000);
    EXPECT_EQ(out, 7);

    queue.Push(42);
    EXPECT_TRUE(queue.WaitForPop(out, 0));
    EXPECT_EQ(out, 42);
    queue.Push(43);
    EXPECT_TRUE(queue.WaitForPop(out, -5));
    EXPECT_EQ(out, 43);
}

TEST(CSafeQueue, WaitAndPopBlocksUntilAValueArrives) {
    CSafeQueue<long long> queue;
    std::atomic<bool> pushed{false};
    std::thread producer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        pushed = true;
        queue.Push(-12345678901LL);
    });
    long long out = 0;
    queue.WaitAndPop(out);
    EXPECT_TRUE(pushed);
    EXPECT_EQ(out, -12345678901LL);
    producer.join();
}

TEST(CSafeQueue, OwnersDropOldestAndClear) {
    CSafeQueue<long long> queue;
    EXPECT_FALSE(queue.PopOldest());
    for (long long v = 1; v <= 4; ++v) {
        queue.Push(v);
    }
    EXPECT_TRUE(queue.PopOldest());
    EXPECT_EQ(queue.Size(), 3u);
    long long out = 0;
    ASSERT_TRUE(queue.WaitForPop(out, 0));
    EXPECT_EQ(out, 2);

    queue.Clear();
    EXPECT_TRUE(queue.Empty());
    EXPECT_FALSE(queue.WaitForPop(out, 0));
    EXPECT_EQ(out, 2);
}

TEST(CSafeQueue, BoundedPushKeepsTheNewest) {
    CSafeQueue<long long> queue;
    EXPECT_EQ(queue.PushBounded(1, 1), 0u);
    // A value nobody took is replaced by the newer one.
    EXPECT_EQ(queue.PushBounded(2, 1), 1u);
    EXPECT_EQ(queue.Size(), 1u);
    long long out = 0;
    ASSERT_TRUE(queue.WaitForPop(out, 0));
    EXPECT_EQ(out, 2);

    for (long long v = 10; v < 15; ++v) {
        queue.PushBounded(v, 3);
    }
    std::vector<long long> got;
    while (queue.WaitForPop(out, 0)) {
        got.push_back(out);
    }
    EXPECT_EQ(got, (std::vector<long long>{12, 13, 14}));

    // A bound of 0 still hands the value over.
    queue.PushBounded(99, 0);
    EXPECT_EQ(queue.Size(), 1u);
}

TEST(CSafeQueue, ManyProducersAndConsumersLoseNothing) {
    constexpr int kProducers = 4;
    constexpr int kConsumers = 4;
    constexpr long long kPerProducer = 2000;
    CSafeQueue<long long> queue;
    std::atomic<long long> sum{0};
    std::atomic<long long> count{0};
    std::atomic<bool> producing{true};

    std::vector<std::thread> consumers;
    for (int c = 0; c < kConsumers; ++c) {
        consumers.emplace_back([&] {
            long long v = 0;
            auto take = [&] {
                sum += v;
                ++count;
            };
            while (producing) {
                if (queue.WaitForPop(v, 20)) {
                    take();
                }
            }
            // Every push happened before producing was cleared: drain the rest.
            while (queue.WaitForPop(v, 0)) {
                take();
            }
        });
    }
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (long long i = 1; i <= kPerProducer; ++i) {
                queue.Push(p * kPerProducer + i);
            }
        });
    }
    for (auto& t : producers) {
        t.join();
    }
    producing = false;
    for (auto& t : consumers) {
        t.join();
    }
    long long n = kProducers * kPerProducer;
    EXPECT_EQ(count, n);
    EXPECT_EQ(sum, n * (n + 1) / 2);
}
