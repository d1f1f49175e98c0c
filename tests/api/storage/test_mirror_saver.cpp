// The settings mirror's save off the timer's poller: changed mirrors only,
// written on a worker, coalesced while a write runs.
#include "MirrorSaver.h"

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Poller/EventPollerPool.h"
#include "Poller/Timer.h"
#include "../../platform/eventually.h"
#include "slow.h"

namespace {

using Clock = std::chrono::steady_clock;

// The mirror with the language set to `language`.
ProtoMirrorInfo mirrorWith(int language) {
    ProtoMirrorInfo mirror;
    mirror.mutable_mprotosysinfo()->set_mlanguage(language);
    mirror.mutable_mprotoimageinfo()->set_mdefaultfilepath("/data/UserData");
    return mirror;
}

int languageOf(const std::string& text) {
    ProtoMirrorInfo mirror;
    EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(text, &mirror)) << text;
    return mirror.mprotosysinfo().mlanguage();
}

// Records what it is asked to write, taking `delay` per write.
struct Disk {
    explicit Disk(std::chrono::milliseconds delay = std::chrono::milliseconds(0)) : delay(delay) {}
    MirrorSaver::WriteText writer() {
        return [this](const std::string& text) {
            std::this_thread::sleep_for(delay);
            std::lock_guard<std::mutex> lock(mtx);
            texts.push_back(text);
            return true;
        };
    }
    std::vector<std::string> written() {
        std::lock_guard<std::mutex> lock(mtx);
        return texts;
    }
    std::chrono::milliseconds delay;
    std::mutex mtx;
    std::vector<std::string> texts;
};

} // namespace

TEST(MirrorSaver, OnlyAChangedMirrorIsRenderedAndWritten) {
    Disk disk;
    MirrorSaver saver(disk.writer());
    ProtoMirrorInfo nan = mirrorWith(1);
    nan.mutable_mprotofunctioninfo()->mutable_mprotomathfuncinfo()->set_mf64db(std::nan(""));
    const struct { ProtoMirrorInfo mirror; bool due; } ticks[] = {
        {mirrorWith(1), true},  // the first mirror is always written
        {mirrorWith(1), false}, {mirrorWith(1), false},
        {mirrorWith(2), true},  {mirrorWith(2), false},
        {nan, true},            {nan, false},  // a NaN is no change on every tick
    };
    size_t due = 0;
    for (const auto& tick : ticks) {
        EXPECT_EQ(saver.Offer(tick.mirror), tick.due);
        due += tick.due;
        saver.Wait();
        // Rendering happens only for a write: the writer sees each text once.
        EXPECT_EQ(disk.written().size(), due);
    }
    EXPECT_EQ(languageOf(disk.written()[1]), 2);
}

// A write that takes 200 ms must not hold the timer's poller, which also
// serves UI sessions and SCPI; mirrors changed meanwhile are written once,
// the newest last.
TEST(MirrorSaver, ASlowWriteLeavesTheTimersPollerFreeAndCoalesces) {
    Disk disk(std::chrono::milliseconds(200));
    MirrorSaver saver(disk.writer());
    auto poller = toolkit::EventPollerPool::Instance().getPoller(false);
    auto ticks = std::make_shared<std::atomic<int>>(0);
    // When the first and the last change came: a loaded machine spreads the ticks.
    auto first = std::make_shared<std::atomic<Clock::rep>>(0);
    auto last = std::make_shared<std::atomic<Clock::rep>>(0);
    auto timer = std::make_shared<toolkit::Timer>(
        0.02f,
        [&saver, ticks, first, last] {
            const auto now = Clock::now().time_since_epoch().count();
            if (*ticks == 0) {
                *first = now;
            }
            *last = now;
            saver.Offer(mirrorWith(++*ticks));
            return *ticks < 20;
        },
        poller);
    ASSERT_TRUE(testing_support::eventually([&] { return !disk.written().empty() || *ticks >= 2; }));

    std::vector<double> waits;
    for (int i = 0; i < 5; ++i) {
        std::promise<double> ran;
        const auto posted = Clock::now();
        poller->async([&ran, posted] {
            ran.set_value(std::chrono::duration<double, std::milli>(Clock::now() - posted).count());
        }, false);
        waits.push_back(ran.get_future().get());
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    ASSERT_TRUE(testing_support::eventually([&] { return *ticks >= 20; }));
    timer.reset();
    saver.Wait();
    for (double ms : waits) {
        EXPECT_LT(ms, 10.0 * testing_support::kSlow);
    }
    const auto written = disk.written();
    // 20 changed ticks 20 ms apart against 200 ms writes: one write at a time with
    // the newest change waiting behind it, so a write per 200 ms of ticks, and
    // the first and the last (20 without coalescing).
    const auto ticking = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::duration(*last - *first));
    EXPECT_LE(written.size(), static_cast<size_t>(ticking.count() / 200) + 3) << ticking.count() << " ms of ticks";
    ASSERT_FALSE(written.empty());
    EXPECT_EQ(languageOf(written.back()), 20);
}
