#include <gtest/gtest.h>

#include <cstdint>

#include "Thread/TaskExecutor.h"

using toolkit::ThreadLoadCounter;

namespace {

constexpr uint64_t kSecond = 1000 * 1000;

// A load counter on a clock the test moves by hand, starting at 0.
class ManualClockCounter : public ThreadLoadCounter {
public:
    explicit ManualClockCounter(uint64_t max_size = 32, uint64_t max_usec = 2 * kSecond)
        : ThreadLoadCounter(max_size, max_usec, 0) {}

    void advance(uint64_t usec) { _now += usec; }

protected:
    uint64_t nowMicrosecond() override { return _now; }

private:
    uint64_t _now = 0;
};

} // namespace

TEST(ThreadLoadCounter, FreshCounterIsIdle) {
    ManualClockCounter counter;
    EXPECT_EQ(counter.load(), 0);
    counter.advance(kSecond);
    EXPECT_EQ(counter.load(), 0);
}

TEST(ThreadLoadCounter, QuarterBusyWindow) {
    ManualClockCounter counter;
    counter.advance(1500 * 1000);
    counter.sleepWakeUp(); // waited 1.5 s
    counter.advance(500 * 1000);
    counter.startSleep(); // busy 0.5 s, asleep again for no time yet
    EXPECT_EQ(counter.load(), 25);
}

TEST(ThreadLoadCounter, BusyLongerThanWindowIsFullLoad) {
    ManualClockCounter counter;
    counter.advance(100 * 1000);
    counter.sleepWakeUp();
    counter.advance(3 * kSecond); // one task still running
    EXPECT_EQ(counter.load(), 100);
}

TEST(ThreadLoadCounter, AsleepLongerThanWindowIsIdle) {
    ManualClockCounter counter;
    counter.sleepWakeUp();
    counter.advance(800 * 1000);
    counter.startSleep(); // 0.8 s of work, then a long wait
    counter.advance(3 * kSecond);
    EXPECT_EQ(counter.load(), 0);
}

TEST(ThreadLoadCounter, OldRecordsLeaveTheTimeWindow) {
    ManualClockCounter counter;
    // 1 s of work long ago, then alternating 100 ms wait / 100 ms work for 2 s.
    counter.sleepWakeUp();
    counter.advance(kSecond);
    counter.startSleep();
    for (int i = 0; i < 10; ++i) {
        counter.advance(100 * 1000);
        counter.sleepWakeUp();
        counter.advance(100 * 1000);
        counter.startSleep();
    }
    // The 1 s busy stretch no longer fits in the 2 s window: half busy.
    EXPECT_EQ(counter.load(), 50);
}

TEST(ThreadLoadCounter, RecordCountBoundsTheWindow) {
    // Window of 4 records and a generous time span.
    ManualClockCounter counter(4, 100 * kSecond);
    counter.sleepWakeUp();
    counter.advance(10 * kSecond); // long busy stretch, soon pushed out
    counter.startSleep();
    for (int i = 0; i < 2; ++i) {
        counter.advance(300 * 1000);
        counter.sleepWakeUp();
        counter.advance(100 * 1000);
        counter.startSleep();
    }
    // Kept: wait 0.3, busy 0.1, wait 0.3, busy 0.1 → 25 %.
    EXPECT_EQ(counter.load(), 25);
}

TEST(ThreadLoadCounter, StretchInProgressCounts) {
    ManualClockCounter counter;
    counter.advance(500 * 1000);
    counter.sleepWakeUp(); // waited 0.5 s
    counter.advance(500 * 1000);
    // Still busy: 0.5 s of 1 s.
    EXPECT_EQ(counter.load(), 50);
}
