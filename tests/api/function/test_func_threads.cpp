// UI-like and SCPI-like setters, the storage timer's mirror read and the
// measurement loop's calls, all at once (run under ThreadSanitizer).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "func_fakes.h"

namespace {

void hammer(FunctionManage& fm, const std::map<unsigned int, cb_func>& entries) {
    std::atomic<bool> stop{false};
    auto call = [&](unsigned int id, unsigned int source, const ValueMap& in) {
        ValueMap out;
        entries.at(id)(source, in, &out);
    };
    std::vector<std::thread> threads;
    threads.emplace_back([&] {  // UI link
        for (int i = 0; i < 300; ++i) {
            call(0x1000040C, 0, request(0, s32(i % MEASURE_TYPE_COUNT)));
            call(0x10000648, 0, request(0x648, s32(i % 3 - 1)));
            call(0x10000643, 0, request(0x643, s32(i)));
            call(0x10000635, 0, request(0, s32(i % 2 ? -1 : TYPE_FREQ)));
        }
    });
    threads.emplace_back([&] {  // SCPI
        for (int i = 0; i < 300; ++i) {
            call(0x10000652, 2, request(0x652, f64(i % 2 ? 10.0 : -1.0)));
            call(0x10002632, 2, request(0x2632, str("\"FREQ\"")));
            call(0x10000662, 2, request(0x662, s32(i % 3)));
            call(0x2000040C, 2, {});
            call(0x20000652, 2, {});
        }
    });
    threads.emplace_back([&] {  // storage timer
        while (!stop) {
            ProtoBaseFuncInfo info;
            fm.ProtoBaseFuncInfoGet(info);
        }
    });
    threads.emplace_back([&] {  // measurement loop
        for (int i = 0; !stop; ++i) {
            const int func = fm.FM_GetFunction();
            fm.AutoRangeRealRangeUpdate(func, i % 2);
            fm.FreqPeriRealRangeSet(TYPE_FREQ, i * 10.0);
            fm.FreqPeriRealRangeGet(TYPE_FREQ);
            fm.FM_GetRealRange(func);
            fm.FM_GetRate();
            fm.FM_RangeTransToValue(func, i % 5);
        }
    });
    threads[0].join();
    threads[1].join();
    stop = true;
    threads[2].join();
    threads[3].join();
}

} // namespace

TEST(FuncThreads, SettersMirrorAndLoopCallsRunTogether) {
    FuncFixture t;
    std::map<unsigned int, cb_func> entries;
    t.fm->getCallbacks(entries);
    hammer(*t.fm, entries);
    EXPECT_TRUE(t.backend.violations.empty());

    // The service's manager on the real driver and engine.
    std::map<unsigned int, cb_func> live;
    FunctionManage::instance().getCallbacks(live);
    hammer(FunctionManage::instance(), live);
    ProtoBaseFuncInfo info;
    FunctionManage::instance().ProtoBaseFuncInfoGet(info);
    EXPECT_EQ(info.mprotofunccfgs_size(), MEASURE_TYPE_COUNT);
}
