// UI-like and SCPI-like setters, the storage timer's mirror read and the
// measurement loop's calls, all at once (run under ThreadSanitizer).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "func_fakes.h"

namespace {

void hammer(FunctionManage& fm) {
    std::map<unsigned int, cb_func> entries;
    fm.getCallbacks(entries);
    auto call = [&](unsigned int id, unsigned int source, const ValueMap& in) {
        ValueMap out;
        entries.at(id)(source, in, &out);
    };
    std::atomic<bool> stop{false};
    std::thread ui([&] {
        for (int i = 0; i < 300; ++i) {
            call(0x1000040C, 0, request(0, s32(i % MEASURE_TYPE_COUNT)));
            call(0x10000648, 0, request(0x648, s32(i % 3 - 1)));
            call(0x10000643, 0, request(0x643, s32(i)));
            call(0x10000635, 0, request(0, s32(i % 2 ? -1 : TYPE_FREQ)));
        }
    });
    std::thread scpi([&] {
        for (int i = 0; i < 300; ++i) {
            call(0x10000652, 2, request(0x652, f64(i % 2 ? 10.0 : -1.0)));
            call(0x10002632, 2, request(0x2632, str("\"FREQ\"")));
            call(0x10000662, 2, request(0x662, s32(i % 3)));
            call(0x2000040C, 2, {});
        }
    });
    std::thread storage([&] {
        for (ProtoBaseFuncInfo info; !stop; fm.ProtoBaseFuncInfoGet(info)) {
        }
    });
    std::thread loop([&] {
        for (int i = 0; !stop; ++i) {
            const int func = fm.FM_GetFunction();
            fm.AutoRangeRealRangeUpdate(func, i % 2, (i + 1) % 2, [] { return true; });
            fm.FreqPeriRealRangeSet(TYPE_FREQ, i * 10.0);
            fm.FreqPeriRealRangeGet(TYPE_FREQ);
            fm.FM_GetRealRange(func);
            fm.FM_RangeTransToValue(func, i % 5);
        }
    });
    ui.join();
    scpi.join();
    stop = true;
    storage.join();
    loop.join();
}

} // namespace

TEST(FuncThreads, SettersMirrorAndLoopCallsRunTogether) {
    FuncFixture t;
    hammer(*t.fm);
    EXPECT_EQ(t.backend.violations, std::vector<std::string>{});
    // The service's manager, on the real driver and engine.
    hammer(FunctionManage::instance());
}
