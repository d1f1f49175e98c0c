// Converter frames decoded into raw counts, from hand-made frames and in
// virtual time.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "engine_fakes.h"

using namespace testing_support;

namespace {

class Decode : public ::testing::Test {
protected:
    void SetUp() override {
        engine->m_capDataTime = 0;
        engine->m_lastFreqTime = fakes.clock.nowMs();
    }
    // Reads the next frame, the only one when one is given.
    structFuncConfig acquire(std::optional<Frame> only = std::nullopt) {
        if (only) fakes.frontEnd.frames = {*only};
        uint32_t func = 0;
        structFuncConfig config;
        engine->DM_AcqData(func, config, nullptr, 34);
        return config;
    }
    // One charge-slope reading whose two DC samples lie `d` apart.
    int64_t chargeSlope(int64_t d, int32_t range = 6) {
        fakes.frontEnd.frames = {frame(0x04, 0, le(1000, 3)), frame(0x04, 0, le(1000 + d, 3))};
        structFuncConfig config;
        config.s32Range = range;
        int64_t data = -1;
        EXPECT_TRUE(engine->DM_RawData(TYPE_CAP, config, nullptr, data));
        return data;
    }
    CDataManage* engine = CDataManage::instance();
    EngineFakes fakes;
};

TEST_F(Decode, DcAndAcResultsByStatusBit) {
    struct Case { uint32_t func; Frame f; bool fresh; int64_t expect; } cases[] = {
        {TYPE_DCV, frame(0x04, 0, {0xFF, 0xFF, 0xFF}), true, -1},
        {TYPE_OHM4, frame(0x04, 0, {0xFF, 0xFF, 0x7F}), true, 8388607},
        {TYPE_DCI, frame(0x04, 0, {0x00, 0x00, 0x80}), true, -8388608},
        {TYPE_DCV, frame(0x10, 0, {0x01}), false, 7},  {TYPE_ACV, frame(0x04, 9, {0x10, 0x27}), false, 7},
        {TYPE_ACV, frame(0x10, 9, {0x10, 0x27, 0x00, 0x00, 0x00}), true, 10000},
        {TYPE_ACI, frame(0x10, 9, le(-100, 5)), true, 0},  // no square root of a negative
        {TYPE_FREQ, frame(0x00), true, 7}, {TYPE_PERIOD, frame(0x00), true, 7},  // counters are evaluated elsewhere
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.func);
        int64_t data = 7;
        EXPECT_EQ(engine->DM_RawData(c.func, acquire(c.f), nullptr, data), c.fresh);
        EXPECT_EQ(data, c.expect);
    }
}

TEST_F(Decode, CapacitanceCounterMethod) {
    const std::vector<uint8_t> counts = {0x10, 0x27, 0x00, 0xE8, 0x03};  // A 10000, B 1000
    struct Case {
        const char* what;
        std::deque<Frame> frames;
        int64_t expect;
        int recovers;
        uint64_t elapsedMs;
    } cases[] = {
        {"ready on the first frame", {frame(0x01, 21, {0x98, 0xB7, 0x00, 0xE8, 0x03})}, 47000, 1, 200},
        {"ready on the third", {frame(0), frame(0), frame(0x01, 21, counts)}, 10000, 0, 600},
        {"no reference counts", {frame(0x01, 21, {0x10, 0x27, 0x00, 0x00, 0x00})}, 99999999999LL, 1, 200},
        {"never ready", {frame(0, 21, counts)}, 99999999999LL, 1, 1600},
        {"ready on the eighth",
         {frame(0), frame(0), frame(0), frame(0), frame(0), frame(0), frame(0), frame(0x01, 21, counts)},
         99999999999LL, 1, 1600},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fakes.frontEnd.frames = c.frames;
        fakes.frontEnd.recovers = 0;
        fakes.frontEnd.resets.clear();
        uint64_t start = fakes.clock.nowMs();
        int64_t data = 0;
        EXPECT_TRUE(engine->DM_RawData(TYPE_CAP, structFuncConfig{}, nullptr, data));
        EXPECT_EQ(data, c.expect);
        EXPECT_EQ(fakes.frontEnd.recovers, c.recovers);
        EXPECT_EQ(fakes.clock.nowMs() - start, c.elapsedMs);
        ASSERT_EQ(fakes.frontEnd.resets.size(), 1u);
        EXPECT_EQ(fakes.frontEnd.resets[0], 0x72);
    }
}

TEST_F(Decode, ChargeSlopeHistorySmoothsModerateStepsOnce) {
    chargeSlope(0);  // equal samples: 0 and a fresh history
    struct Step { int64_t d; int64_t expect; } steps[] = {
        {1000000, 10000},  // first reading: stored
        {995025, 10049},   // within 1 %: returned and stored
        {952381, 10024},   // 5 % away: the mean of the history, held back once
        {952381, 10499},   // again 5 % away: itself, history starts over
        {800000, 12500},   // first of the new history
        {1052632, 9499},   // over 20 % away: itself, history starts over
        {1000000, 10000},  // taken as a first reading again
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.d);
        EXPECT_EQ(chargeSlope(s.d), s.expect);
    }
    EXPECT_EQ(chargeSlope(0x7FFFFE - 1000), 0);  // open input
}

// A second plateau below the first is no charge: the input changed during it
// (open at the first plateau, then re-read). No sample, the history kept.
TEST_F(Decode, ChargeSlopeDropsAChargeTheInputChangedDuring) {
    chargeSlope(0);
    EXPECT_EQ(chargeSlope(1000000), 10000);
    for (int64_t first : {int64_t{0x7FFFFE}, int64_t{500000}}) {
        fakes.frontEnd.frames = {frame(0x04, 0, le(first, 3)), frame(0x04, 0, le(first - 400000, 3))};
        structFuncConfig config;
        config.s32Range = 6;
        int64_t data = 5;
        EXPECT_FALSE(engine->DM_RawData(TYPE_CAP, config, nullptr, data)) << first;
        EXPECT_EQ(data, 5);
    }
    EXPECT_EQ(chargeSlope(995025), 10049) << "the history of before goes on";
}

TEST_F(Decode, ChargeSlopeSpacesChargesAndGivesUpWithoutADcResult) {
    chargeSlope(1000000, 7);
    uint64_t charged = engine->m_capDataTime;
    int charges = fakes.frontEnd.charges;
    chargeSlope(1000000, 7);
    // The next charge starts 400 ms after the last discharge.
    EXPECT_EQ(fakes.frontEnd.charges, charges + 1);
    EXPECT_GE(engine->m_capDataTime, charged + 400);

    fakes.frontEnd.frames = {frame(0x00)};
    fakes.frontEnd.reads = 0;
    int discharges = fakes.frontEnd.discharges;
    structFuncConfig config;
    config.s32Range = 6;
    int64_t data = 5;
    EXPECT_FALSE(engine->DM_RawData(TYPE_CAP, config, nullptr, data));
    EXPECT_EQ(fakes.frontEnd.reads, 200);
    EXPECT_EQ(fakes.frontEnd.discharges, discharges);  // stays charged
    EXPECT_EQ(data, 5);
}

TEST_F(Decode, FrequencyCounterEvaluation) {
    const int64_t ref1ms = -4194304 + 9000;
    auto counters = [](uint8_t status, int64_t b, int64_t c) {
        Frame f = frame(status, 24, le(b, 3));
        std::vector<uint8_t> cb = le(c, 3);
        std::copy(cb.begin(), cb.end(), f.begin() + 27);
        return f;
    };
    struct Case { const char* what; uint32_t func; Frame f; uint64_t waitMs; bool fresh; int64_t expect; } cases[] = {
        {"ready", TYPE_FREQ, counters(0x01, 1, ref1ms), 0, true, 1000000},
        {"not a counter function", TYPE_DCV, counters(0x01, 1, ref1ms), 0, false, -1},
        {"no signal", TYPE_ACV, counters(0x01, 0, ref1ms), 0, true, 0},
        {"not ready yet", TYPE_PERIOD, counters(0x00, 5, ref1ms), 1200, false, -1},
        {"not ready, overdue", TYPE_ACI, counters(0x00, 5, ref1ms), 1, true, 5000000},
        {"no reference counts", TYPE_FREQ, counters(0x01, 5, -4194304), 0, false, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fakes.frontEnd.resets.clear();
        int64_t data = -1;
        acquire(c.f);
        fakes.clock.sleepUs(c.waitMs * 1000);
        EXPECT_EQ(engine->DM_FreqData(c.func, data), c.fresh);
        EXPECT_EQ(data, c.expect);
        // Every evaluation restarts the counters and the time stamp, even
        // one that cannot give a result.
        bool evaluated = c.fresh || (c.func != TYPE_DCV && (c.f[30] & 1));
        EXPECT_EQ(fakes.frontEnd.resets.size(), evaluated ? 1u : 0u);
        if (evaluated) {
            EXPECT_EQ(engine->m_lastFreqTime, fakes.clock.nowMs());
        }
    }
}

TEST_F(Decode, FrequencyCounterReappliesTheConfigurationAfterFiveMisses) {
    int64_t data = 0;
    acquire(frame(0x01, 24, {0x01}));
    engine->DM_FreqData(TYPE_FREQ, data);  // counts start over
    acquire(frame(0x00));
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(engine->DM_FreqData(TYPE_FREQ, data));
    acquire(frame(0x01, 24, {0x01}));
    int recovers = fakes.frontEnd.recovers;
    engine->DM_FreqData(TYPE_FREQ, data);
    EXPECT_EQ(fakes.frontEnd.recovers, recovers + 1);
}

} // namespace
