// Math on the readings: per-reading processing, the handlers of the math
// functions, the per-function relative offsets and the number format, on the
// one engine with the function settings selecting its main function.
#include <gtest/gtest.h>

#include <cmath>

#include "CDataManage.h"
#include "DrvScpiErrDef.h"
#include "DrvScpiSM.h"
#include "FunctionManage.h"
#include "../../platform/eventually.h"
#include "engine_fakes.h"
#include "proto_values.h"
#include "temp_root.h"

namespace {

using ValueMap = CDataManage::ValueMap;
using Handler = CDataManage::Handler;
using R = CDataManage;
constexpr double kOver = 9.9e37;
constexpr int kDcvRow = 7;  // row of VOLTage:DC in the relative family

class Calculate : public ::testing::Test {
protected:
    void SetUp() override {
        e.setPushSink([](service_id, ValueMap) {});
        select(TYPE_DCV, 1);
    }
    void TearDown() override {
        e.setPushSink(nullptr);
        e.m_buffer.clear();
    }
    // Main function and range as the function settings hand them over; the
    // engine starts its math over.
    static void select(MeasureTypeEnum f, int range) {
        FunctionManage::instance().FM_SetFunction(f);
        FunctionManage::instance().FM_SetRange(f, range);
    }
    int call(Handler h, ValueMap in, unsigned source = 0) { return (e.*h)(source, in, &reply); }
    int set(Handler h, int key, const Value& v, unsigned source = 0) { return call(h, request(key, v), source); }
    double f(int key) const { return reply.at(key).f64val(); }
    std::string text(int key) const { return reply.at(key).strval(); }
    static void math(enumMathFunc func, bool on = true) {
        g_stMathPara.euMathFunc = func;
        g_stMathPara.bMathSwitch = on;
    }
    double feed(double x) {
        e.CalculateHandle(x);
        return x;
    }

    testing_support::TempRoot root;
    CDataManage& e = *CDataManage::instance();
    ValueMap reply;
};

TEST_F(Calculate, DecibelsOfOneReading) {
    const struct { enumMathFunc func; double ref; uint32_t ohms; double reading, expected; } cases[] = {
        {MATH_DB, 10, 600, 0, -310},
        {MATH_DBM, 0, 600, 0, -300},
        {MATH_DBM, 0, 600, 1, 10 * std::log10(1000.0 / 600)},
        {MATH_DB, 3, 50, 2, 10 * std::log10(4.0 / 50 * 1000) - 3},
    };
    for (const auto& c : cases) {
        math(c.func);
        g_stMathPara.f64Db = c.ref;
        g_stMathPara.u32RefR = c.ohms;
        EXPECT_EQ(feed(c.reading), c.reading) << "the reading itself stays";
        EXPECT_NEAR(g_f64MathValue, c.expected, 1e-9);
    }
}

TEST_F(Calculate, StatisticsHoldOverloadsAndStayStable) {
    math(MATH_MIN_MAX);
    e.CalculateResetCalAver();
    const structMathAver& a = g_stMathPara.stAver;
    feed(1);
    feed(3);
    EXPECT_DOUBLE_EQ(a.f64Aver, 2);
    EXPECT_NEAR(a.f64SDev, std::sqrt(2.0), 1e-12);
    feed(kOver);
    feed(0.5);
    EXPECT_EQ(a.f64Max, kOver);
    EXPECT_EQ(a.f64Aver, kOver);
    EXPECT_EQ(a.f64SDev, kOver);
    EXPECT_EQ(a.f64Min, 0.5);
    EXPECT_EQ(a.u64Count, 4u);

    // A large offset with a small spread: a sum of squares would lose it.
    e.CalculateResetCalAver();
    for (int i = 0; i < 200000; ++i) feed(1e9 + (i % 2));
    EXPECT_NEAR(a.f64Aver, 1e9 + 0.5, 1e-6);
    EXPECT_NEAR(a.f64SDev, 0.5, 1e-5);
}

TEST_F(Calculate, LimitTestSetsQuestionableBitsAndSummaryOnlyWhenEnabled) {
    for (uint16_t enable : {0x0000, 0x1800}) {
        DrvScpi_SmInitial();
        SCPI_STAT_QUES_ENAB_Excu(enable);
        math(MATH_LIMIT);
        e.CalculateLimitClear();
        g_stMathPara.stLimit.f64Low = -1;
        g_stMathPara.stLimit.f64High = 1;
        // The condition follows the latest reading, the event latches; remote
        // control answers the result as a word and a number.
        const struct { double reading; uint8_t result; enumMathLmtStat stat; uint16_t cond, event; const char* text; }
            steps[] = {{1, 0, LIMIT_PASS, 0, 0, "PASS"}, {1.0000001, 1, LIMIT_FAIL, 0x1000, 0x1000, "HI"},
                       {-2, 2, LIMIT_FAIL, 0x0800, 0x1800, "LO"}, {0, 0, LIMIT_PASS, 0, 0x1800, "PASS"}};
        for (const auto& s : steps) {
            SCOPED_TRACE(s.reading);
            feed(s.reading);
            EXPECT_EQ(g_stMathPara.stLimit.u8LimitResult, s.result);
            EXPECT_EQ(g_stMathPara.stLimit.euLmtStat, s.stat);
            reply.clear();
            ASSERT_EQ(call(&R::cbCalculatePFGet, {}, 2), 0);
            EXPECT_EQ(text(0x40000808), s.text);
            EXPECT_EQ(reply.at(0x809).s32val(), s.result);
            EXPECT_EQ(DrvScpi_GetStatusRegs().u16ScpQSR_C, s.cond);
            EXPECT_EQ(DrvScpi_GetStatusRegs().u16ScpQSR_EV, s.event);
        }
        const structFuncLimit& l = g_stMathPara.stLimit;
        EXPECT_EQ(l.passCount, 2u);
        EXPECT_EQ(l.highCount, 1u);
        EXPECT_EQ(l.lowCount, 1u);
        EXPECT_EQ(l.f64LastValue, -2);
        EXPECT_EQ(DrvScpi_GetStatusRegs().u8ScpSTB & SCP_STB_QUES_SUMMARY, enable ? SCP_STB_QUES_SUMMARY : 0);
    }
    math(MATH_LIMIT, false);
    reply.clear();
    ASSERT_EQ(call(&R::cbCalculatePFGet, {}, 2), 0);
    EXPECT_EQ(text(0x40000808), "OFF");
    EXPECT_EQ(reply.at(0x809).s32val(), 3);
}

// A clear of the limit results clears the conditions they set; the events
// stay until read.
TEST_F(Calculate, LimitClearsDropTheQuestionableConditions) {
    DrvScpi_SmInitial();
    select(TYPE_DCV, 2);
    math(MATH_LIMIT);
    g_stMathPara.stLimit.f64Low = -1;
    g_stMathPara.stLimit.f64High = 1;
    const struct { double reading; Handler clear; uint16_t event; } cases[] = {
        {2, &R::cbCalculateLimitClear, 0x1000},
        {-2, &R::cbCalculateClear, 0x1800},
    };
    for (const auto& c : cases) {
        feed(c.reading);
        ASSERT_NE(DrvScpi_GetStatusRegs().u16ScpQSR_C, 0);
        ASSERT_EQ(call(c.clear, {}, 2), 0);
        EXPECT_EQ(DrvScpi_GetStatusRegs().u16ScpQSR_C, 0);
        EXPECT_EQ(DrvScpi_GetStatusRegs().u16ScpQSR_EV, c.event);
        EXPECT_EQ(g_stMathPara.stLimit.u8LimitResult, 0);
    }
}

TEST_F(Calculate, RelativeTakesTheNewestReadingOnlyWithoutAnOffset) {
    e.m_buffer = {{5, 1e-3, 1200}, {7, 1e-3, 1200}};  // millivolt readings
    const structCalcConfig& rel = e.stCalcConfig[TYPE_DCV];
    ASSERT_EQ(e.CalculateRelStateSet(TYPE_DCV, true), 0);
    EXPECT_TRUE(rel.bAutoEnable);
    EXPECT_DOUBLE_EQ(rel.f64RELValue, 0.007);
    EXPECT_DOUBLE_EQ(feed(0.010), 0.003);
    EXPECT_EQ(feed(-kOver), -kOver) << "an overload stays one";
    // The readings are the measured function's: another one's offset waits
    // for a reading of its own.
    ASSERT_EQ(e.CalculateRelStateSet(TYPE_DCI, true), 0);
    EXPECT_EQ(e.stCalcConfig[TYPE_DCI].f64RELValue, 0);
    EXPECT_TRUE(e.stCalcConfig[TYPE_DCI].bTakeNext);

    e.CalculateRelStateSet(TYPE_DCV, false);
    EXPECT_EQ(rel.f64RELValue, 0);
    EXPECT_TRUE(rel.bAutoEnable) << "off keeps the auto flag";
    ASSERT_EQ(set(&R::cbCalculateRel<kDcvRow, R::REL_OFFSET_SET>, 0x262d, f64(0.5)), 0);
    e.CalculateRelStateSet(TYPE_DCV, true);
    EXPECT_EQ(rel.f64RELValue, 0.5);
    EXPECT_FALSE(rel.bAutoEnable);
    EXPECT_EQ(e.CalculateRelStateSet(TYPE_DIODE, true), E221_SETTING_CONFLICT);

    // The newest reading had the 0.5 V in force taken off: auto takes the input.
    ASSERT_EQ(set(&R::cbCalculateRel<kDcvRow, R::REL_AUTO_SET>, 0x262e, bval(true)), 0);
    EXPECT_DOUBLE_EQ(rel.f64RELValue, 0.507);
    EXPECT_DOUBLE_EQ(feed(0.010), 0.010 - 0.507);
    ASSERT_EQ(set(&R::cbCalculateRel<kDcvRow, R::REL_AUTO_SET>, 0x262e, s32(1)), 0);
    EXPECT_EQ(rel.f64RELValue, 0);
    EXPECT_FALSE(rel.bAutoEnable);
    EXPECT_TRUE(rel.bRELEnable) << "auto never switches the offset itself";
}

// Right after a configuration there is no reading to take: the next one is.
TEST_F(Calculate, RelativeWithoutAReadingTakesTheNextOne) {
    const structCalcConfig& rel = e.stCalcConfig[TYPE_DCV];
    const struct { Handler h; int key; double next, after; } cases[] = {
        {&R::cbCalculateRel<kDcvRow, R::REL_AUTO_SET>, 0x262e, 0.25, 0.25},  // the switch stays off
        {&R::cbCalculateRel<kDcvRow, R::REL_STATE_SET>, 0x262c, 0.25, 0},
    };
    for (const auto& c : cases) {
        select(TYPE_DCV, 1);
        ASSERT_EQ(set(c.h, c.key, bval(true)), 0);
        EXPECT_EQ(rel.f64RELValue, 0);
        EXPECT_EQ(feed(kOver), kOver) << "an overload is no offset";
        EXPECT_DOUBLE_EQ(feed(c.next), c.after);
        EXPECT_DOUBLE_EQ(rel.f64RELValue, 0.25);
        EXPECT_TRUE(rel.bAutoEnable);
        EXPECT_DOUBLE_EQ(feed(0.5), rel.bRELEnable ? 0.25 : 0.5) << "taken once";
        ProtoMathFuncInfo record;
        e.ProtoMathFuncInfoGet(record);
        EXPECT_DOUBLE_EQ(record.mprotocalccfgs(TYPE_DCV).mf64relvalue(), 0.25);
    }
    // An offset given meanwhile is the one kept.
    select(TYPE_DCV, 1);
    ASSERT_EQ(set(&R::cbCalculateRel<kDcvRow, R::REL_AUTO_SET>, 0x262e, bval(true)), 0);
    ASSERT_EQ(set(&R::cbCalculateRel<kDcvRow, R::REL_OFFSET_SET>, 0x262d, f64(0.1), 2), 0);
    feed(0.25);
    EXPECT_DOUBLE_EQ(rel.f64RELValue, 0.1);
}

TEST_F(Calculate, ReferencesAreClampedAndAnswered) {
    // Setters leave `value` stored; queries answer it.
    const Handler db = &R::cbCalculateDBREFESet, dbm = &R::cbCalculateDBMREFESet;
    const Handler dbQ = &R::cbCalculateDBREFEGet, dbmQ = &R::cbCalculateDBMREFEGet;
    const struct { Handler h; Value v; int result; double value; } cases[] = {
        {db, str("MAX"), 0, 120},       {db, f64(121), E1002_ABOVE_UPPER_LIMIT, 120},
        {db, f64(-500), E1003_BELOW_LOWER_LIMIT, -120},  {db, str("abc"), E150_STRING_DATA_ERROR, -120},
        {db, s32(3), E104_DATA_TYPE_ERROR, -120},        {db, str(std::string(64, '1')), E150_STRING_DATA_ERROR, -120},
        {dbm, str("default"), 0, 600},  {dbm, s32(1), E1003_BELOW_LOWER_LIMIT, 2},
        {dbm, s32(-1), E1003_BELOW_LOWER_LIMIT, 2},  // -1 is no resistance of 2^32 - 1
        {dbQ, s32(2), 0, 120},          {dbQ, str("max"), 0, 120},  {dbQ, str("MAX"), E220_PARAMETER_ERROR, 0},
        {dbmQ, s32(1), 0, 2},           {dbmQ, str("default"), 0, 600},
    };
    for (const auto& c : cases) {
        const bool query = c.h == dbQ || c.h == dbmQ;
        const int key = c.h == db || c.h == dbQ ? 0x800 : 0x803;
        reply.clear();
        ASSERT_EQ(set(c.h, key, c.v), c.result) << c.v.ShortDebugString();
        if (!query) {
            EXPECT_EQ(key == 0x800 ? g_stMathPara.f64Db : g_stMathPara.u32RefR, c.value);
        } else if (c.result == 0) {
            EXPECT_EQ(f(key), c.value);
        }
    }
    EXPECT_EQ(call(db, {}), E109_MISSING_PARAMETER);
}

TEST_F(Calculate, LimitsFollowTheRangeRefuseToCrossAndClamp) {
    // A new range sets the default limits, in base units, and the math off.
    const struct { MeasureTypeEnum func; int range; double high; } defaults[] = {
        {TYPE_DCV, 0, 0.11}, {TYPE_DCV, 1, 1.1}, {TYPE_DCV, 3, 110}, {TYPE_DCI, 2, 0.011}, {TYPE_CONT, 0, 1100},
        {TYPE_DIODE, 0, 1100}};
    for (const auto& c : defaults) {
        select(c.func, c.range);
        EXPECT_DOUBLE_EQ(g_stMathPara.stLimit.f64High, c.high) << c.func;
        EXPECT_DOUBLE_EQ(g_stMathPara.stLimit.f64Low, -c.high);
        EXPECT_FALSE(g_stMathPara.bMathSwitch);
    }
    select(TYPE_DCV, 2);  // bounds ±12 V
    const Handler up = &R::cbCalculatePFUpperSet, lo = &R::cbCalculatePFLowerSet;
    const struct { Handler h; Value v; unsigned source; int result; double low, high; } steps[] = {
        // Meeting or crossing the other limit is refused, both kept.
        {up, f64(5), 0, 0, -11, 5},           {lo, f64(5), 0, E221_SETTING_CONFLICT, -11, 5},
        {lo, f64(6), 2, E221_SETTING_CONFLICT, -11, 5},
        {lo, f64(4.999), 0, 0, 4.999, 5},     {up, f64(4.999), 0, E221_SETTING_CONFLICT, 4.999, 5},
        {up, f64(2), 2, E221_SETTING_CONFLICT, 4.999, 5},
        {up, str("max"), 0, 0, 4.999, 12},    {up, f64(20), 0, E1002_ABOVE_UPPER_LIMIT, 4.999, 12},
        {lo, str("min"), 0, 0, -12, 12},      {up, str("7500mv"), 0, 0, -12, 7.5},
        {up, f64(8), 2, 0, -12, 8},
    };
    for (const auto& s : steps) {
        EXPECT_EQ(set(s.h, s.h == up ? 0x807 : 0x806, s.v, s.source), s.result);
        EXPECT_FLOAT_EQ(g_stMathPara.stLimit.f64Low, s.low);
        EXPECT_FLOAT_EQ(g_stMathPara.stLimit.f64High, s.high);
    }
    reply.clear();
    call(&R::cbCalculatePFUpperGet, {}, 2);
    EXPECT_EQ(text(0x40000806), "8.00000000E+00");

    select(TYPE_DIODE, 0);
    EXPECT_EQ(set(&R::cbCalculatePFUpperSet, 0x807, f64(1)), E221_SETTING_CONFLICT);
}

// The range in force may step (auto range) without a new configuration, and
// with it the bounds: a limit that crosses the other one, as sent or once
// clamped to the new bounds, is refused and changes nothing, or the settings
// would be a record no load takes.
TEST_F(Calculate, ALimitClampedToTheRangeInForceNeverCrossesTheOther) {
    const Handler up = &R::cbCalculatePFUpperSet, lo = &R::cbCalculatePFLowerSet;
    const struct { Handler first; double firstValue; Handler second; double secondValue; unsigned source; } cases[] = {
        {lo, 50, up, 60, 0},      // crosses once clamped to 1.2
        {up, -50, lo, -60, 0},
        {up, 100, lo, 150, 2},    // crosses as sent, clamped it would not
        {lo, -100, up, -150, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        select(TYPE_DCV, 3);  // bounds ±120 V
        const auto key = [&](Handler h) { return h == up ? 0x807 : 0x806; };
        ASSERT_EQ(set(c.first, key(c.first), f64(c.firstValue), c.source), 0);
        const structFuncLimit before = g_stMathPara.stLimit;
        e.m_mainConfig.s32Range = 1;  // an auto-range step to 1 V: bounds ±1.2 V
        EXPECT_EQ(set(c.second, key(c.second), f64(c.secondValue), c.source), E221_SETTING_CONFLICT);
        EXPECT_EQ(g_stMathPara.stLimit.f64Low, before.f64Low);
        EXPECT_EQ(g_stMathPara.stLimit.f64High, before.f64High);
        ProtoMathFuncInfo stored;
        e.ProtoMathFuncInfoGet(stored);
        EXPECT_EQ(CDataManage::ProtoMathFuncInfoCheck(stored), 0);
    }
}

// Remote control and the math speak base units; the UI the unit of the range
// or band in force. A value keeps its meaning when the band changes.
TEST_F(Calculate, UserValuesKeepTheirMeaningAcrossBands) {
    const struct {
        MeasureTypeEnum func;
        int range;
        double shown;        // a reading that puts the counter in its band
        double scpiLimit;    // the upper limit remote control sets
        double uiLimit;      // the same limit as the UI gets it
        double max;          // the bound of every band, in base units
    } cases[] = {
        {TYPE_PERIOD, 0, 50, 0.001, 1000, 0.06},    // us band
        {TYPE_PERIOD, 0, 5000, 0.001, 1, 0.06},     // ms band
        {TYPE_FREQ, 0, 50, 1000, 1000, 120000},     // Hz band
        {TYPE_FREQ, 0, 5000, 1000, 1, 120000},      // kHz band
        {TYPE_DCV, 0, 0, 0.05, 50, 0.12},           // millivolt range
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.func << " " << c.shown);
        select(c.func, c.range);
        FunctionManage::instance().FreqPeriRealRangeSet(c.func, c.shown);
        ASSERT_EQ(set(&R::cbCalculatePFUpperSet, 0x807, f64(c.scpiLimit), 2), 0);
        ValueMap pushed;
        e.setPushSink([&](service_id, ValueMap m) { pushed = m; });
        e.postUICalculateConfig();
        e.setPushSink([](service_id, ValueMap) {});
        EXPECT_NEAR(pushed.at(0x807).f64val(), c.uiLimit, 1e-9);
        reply.clear();
        call(&R::cbCalculatePFUpperGet, {}, 0);
        EXPECT_NEAR(f(0x807), c.uiLimit, 1e-9);
        reply.clear();
        call(&R::cbCalculatePFUpperGet, {}, 2);
        EXPECT_NEAR(f(0x807), c.scpiLimit, 1e-12);
        ASSERT_EQ(set(&R::cbCalculatePFUpperSet, 0x807, str("max")), 0);
        EXPECT_NEAR(g_stMathPara.stLimit.f64High, c.max, 1e-9);
    }
    // A limit set in one band holds in the other, and the test sees base units.
    select(TYPE_FREQ, 0);
    FunctionManage::instance().FreqPeriRealRangeSet(TYPE_FREQ, 50);
    ASSERT_EQ(set(&R::cbCalculatePFUpperSet, 0x807, f64(1000), 2), 0);
    FunctionManage::instance().FreqPeriRealRangeSet(TYPE_FREQ, 5000);
    math(MATH_LIMIT);
    feed(5000);
    EXPECT_EQ(g_stMathPara.stLimit.u8LimitResult, 1);
    feed(50);
    EXPECT_EQ(g_stMathPara.stLimit.u8LimitResult, 0);
}

TEST_F(Calculate, SwitchesRefuseAutomaticRangesAndTwoWireFunctions) {
    select(TYPE_DCV, -1);
    EXPECT_EQ(set(&R::cbCalculateDBStateSet, 0x801, bval(true)), E221_SETTING_CONFLICT);
    EXPECT_EQ(set(&R::cbCalculateStatisticSet, 0x2000, bval(true)), E221_SETTING_CONFLICT);
    select(TYPE_ACV, 2);
    EXPECT_EQ(set(&R::cbCalculateDBStateSet, 0x801, bval(true)), 0);
    EXPECT_TRUE(g_stMathPara.bMathSwitch);
    EXPECT_EQ(g_stMathPara.euMathFunc, MATH_DB);
    EXPECT_FALSE(e.trigInfo().bHold);
    select(TYPE_OHM2, 1);
    EXPECT_EQ(set(&R::cbCalculateDBMStateSet, 0x804, bval(true)), E221_SETTING_CONFLICT);
    EXPECT_EQ(set(&R::cbCalculateScaleFunctionSet, 0x2004, s32(2)), E221_SETTING_CONFLICT);
}

TEST_F(Calculate, FunctionSelectionKeepsTheSwitch) {
    EXPECT_EQ(set(&R::cbCalculateFuncSet, 0x810, s32(CALC_REL)), E224_ILLEGAL_PARAMETER_VALUE);
    g_stMathPara.stAver.u64Count = 5;
    EXPECT_EQ(set(&R::cbCalculateFuncSet, 0x810, s32(CALC_AVERAGE)), 0);
    EXPECT_EQ(g_stMathPara.euMathFunc, MATH_MIN_MAX);
    EXPECT_EQ(g_stMathPara.stAver.u64Count, 0u);
    EXPECT_FALSE(g_stMathPara.bMathSwitch);
    ProtoMathFuncInfo record;
    e.ProtoMathFuncInfoGet(record);
    EXPECT_EQ(record.mcurmathtotalize(), MATH_TOTAL_AVE);
}

TEST_F(Calculate, StatisticsAnswerOnlyWhileTheyRun) {
    const Handler queries[] = {&R::cbCalculateAverageGet,   &R::cbCalculateCountGet,
                               &R::cbCalculateMaxGet,       &R::cbCalculateMinGet,
                               &R::cbCalculateSdeviationGet, &R::cbCalculatePeakGet,
                               &R::cbCalculateAverageAllGet};
    for (const Handler q : queries) EXPECT_EQ(call(q, {}), E400_QUERY_ERROR);
    ASSERT_EQ(set(&R::cbCalculateStatisticSet, 0x2000, bval(true)), 0);
    feed(1);
    feed(3);
    for (const Handler q : queries) EXPECT_EQ(call(q, {}), 0);
    EXPECT_EQ(text(0x2001), "2.00000000E+00,1.41421356E+00,1.00000000E+00,3.00000000E+00");
    EXPECT_EQ(text(0x40000705), "2");
    EXPECT_EQ(f(0x704), 2);
    // A reading notification shows them in the unit of the range shown,
    // the millivolts here; decibels are judged by no range's overload limit.
    ValueMap note;
    auto format = [](double v, const structRangeInfo& row) {
        return v > row.f32OverLimit ? std::string("OVER") : std::to_string(v);
    };
    ASSERT_EQ(call(&R::cbCalculateAverageClear, {}), 0);
    feed(0.001);
    feed(0.003);
    e.CalculateNotifyEntries(note, TYPE_DCV, e.DM_GetRangeInfo(TYPE_DCV, 0, 0.0), format);
    EXPECT_EQ(note.at(0x703).strval(), std::to_string(2.0));
    EXPECT_EQ(note.at(0x706).u32val(), 2u);
    math(MATH_DBM);
    feed(1);
    e.CalculateNotifyEntries(note, TYPE_DCV, e.DM_GetRangeInfo(TYPE_DCV, 1, 0.0), format);
    EXPECT_EQ(note.at(0x805).strval().substr(0, 5), "2.218");
    EXPECT_EQ(call(&R::cbCalculateAverageGet, {}), E400_QUERY_ERROR);
}

TEST_F(Calculate, PerFunctionOffsetsClampToTheirRange) {
    const Handler offsetSet = &R::cbCalculateRel<kDcvRow, R::REL_OFFSET_SET>;
    // On auto range the offset (base units) holds on every range: the top
    // range bounds it, whatever range the input is read on now.
    const struct { int range; Value v; unsigned source; int result; double stored; } cases[] = {
        {-1, f64(2.5), 2, 0, 2.5},
        {-1, f64(999), 2, 0, 999},
        {-1, f64(-1500), 2, E1003_BELOW_LOWER_LIMIT, -1200},
        {-1, str("max"), 2, 0, 1200},
        {1, f64(5.0), 0, E1002_ABOVE_UPPER_LIMIT, 1.2},
        {0, f64(50), 0, 0, 0.05},  // millivolts from the UI
        {1, f64(-0.5), 0, 0, -0.5},
        {1, str("MIN"), 0, 0, -1.2},
        {1, str("default"), 0, 0, 0},
        {0, f64(0.5), 2, E1002_ABOVE_UPPER_LIMIT, 0.12},
        {1, f64(0.5), 2, 0, 0.5},
        {2, str("1.5mv"), 0, 0, 0.0015},
        {2, str("1.5xyz"), 0, E150_STRING_DATA_ERROR, 0.0015},
        {2, bval(true), 0, E104_DATA_TYPE_ERROR, 0.0015},
    };
    int range = 1;
    for (const auto& c : cases) {
        // A new range clears every offset: change it only when the case asks.
        if (c.range != range) FunctionManage::instance().FM_SetRange(TYPE_DCV, range = c.range);
        EXPECT_EQ(set(offsetSet, 0x262d, c.v, c.source), c.result);
        EXPECT_NEAR(e.stCalcConfig[TYPE_DCV].f64RELValue, c.stored, 1e-6);
    }
    EXPECT_EQ(call(offsetSet, {}), E109_MISSING_PARAMETER);

    // Right after CONF:CURR:DC: 2 mA is no more than the 10 A range holds.
    ASSERT_EQ(FunctionManage::instance().FM_SetFunction(TYPE_DCI), 0);
    ASSERT_EQ(FunctionManage::instance().FM_SetRange(TYPE_DCI, -1), 0);
    ASSERT_EQ(set(&R::cbCalculateRel<1, R::REL_OFFSET_SET>, 0x2609, f64(0.002), 2), 0);
    EXPECT_DOUBLE_EQ(e.stCalcConfig[TYPE_DCI].f64RELValue, 0.002);

    // Another function's entry, read back in base units by remote control.
    ASSERT_EQ(FunctionManage::instance().FM_SetRange(TYPE_DCI, 2), 0);
    ASSERT_EQ(set(&R::cbCalculateRel<1, R::REL_OFFSET_SET>, 0x2609, f64(5)), 0);
    reply.clear();
    ASSERT_EQ(call(&R::cbCalculateRel<1, R::REL_OFFSET_GET>, {}, 2), 0);
    EXPECT_DOUBLE_EQ(f(0x2609), 0.005);
    EXPECT_EQ(text(0x40002608), "5.00000000E-03");
    ASSERT_EQ(set(&R::cbCalculateRel<1, R::REL_STATE_SET>, 0x2608, bval(true)), 0);
    call(&R::cbCalculateRel<1, R::REL_STATE_GET>, {});
    EXPECT_TRUE(reply.at(0x2608).bval());
}

TEST_F(Calculate, StoredRecordIsKeptToTwelveEntries) {
    for (int entries : {3, 15}) {
        ProtoMathFuncInfo in;
        for (int i = 0; i < entries; ++i) in.add_mprotocalccfgs();
        in.mutable_mprotocalccfgs(TYPE_DCV)->set_mbrelenable(true);
        in.mutable_mprotocalccfgs(TYPE_DCV)->set_mf64relvalue(0.5);  // within the range's bound
        e.m_buffer = {{9, 1e-3, 1200}};
        e.ProtoMathFuncInfoSet(in);
        EXPECT_TRUE(e.stCalcConfig[TYPE_DCV].bRELEnable);
        EXPECT_EQ(e.stCalcConfig[TYPE_DCV].f64RELValue, 0.5);
        EXPECT_EQ(g_stMathPara.stLimit.f64High, 0) << "no limits stored";
        // The sensor's entry lies beyond a short record.
        ASSERT_EQ(e.CalculateRelStateSet(TYPE_SENSOR, false), 0);
        ProtoMathFuncInfo out;
        e.ProtoMathFuncInfoGet(out);
        EXPECT_EQ(out.mprotocalccfgs_size(), MEASURE_TYPE_COUNT);
    }
}

TEST_F(Calculate, NumberFormatStartsWithCommaGroupsAndFlips) {
    auto words = [&] {
        reply.clear();
        call(&R::cbFormatNumberSepGet, {});
        call(&R::cbFormatNumberDotGet, {});
        return text(0x1000) + "/" + text(0x1001);
    };
    EXPECT_EQ(words(), "ON/DOT");
    // Separator (0x1000) or decimal mark (0x1001) set, the words answered after.
    const struct { int key, value; const char* words; } steps[] = {
        {0x1001, 0, "ON/COMM"}, {0x1000, 2, "SPAC/COMM"}, {0x1001, 1, "SPAC/DOT"},
        {0x1000, 7, "SPAC/DOT"}, {0x1000, 1, "NONE/DOT"}, {0x1000, 0, "ON/DOT"}};
    for (const auto& s : steps) {
        EXPECT_EQ(set(s.key == 0x1000 ? &R::cbFormatNumberSepSet : &R::cbFormatNumberDotSet, s.key, s32(s.value)), 0);
        EXPECT_EQ(words(), s.words);
    }
    EXPECT_EQ(e.m_sepChar, ',');
    EXPECT_EQ(call(&R::cbFormatNumberSepSet, {}), E109_MISSING_PARAMETER);
    ASSERT_EQ(set(&R::cbFormatNumberPlusSign, 0x1002, bval(true)), 0);
    ProtoMathFuncInfo record;
    e.ProtoMathFuncInfoGet(record);
    EXPECT_EQ(record.mprotodataformat().msepchar(), ',');
    EXPECT_TRUE(record.mprotodataformat().mbplussign());
}

// The loop on a thread of its own in real time while handlers switch the
// math: every reading is processed with one consistent setting (and the
// sanitizer build sees no race between the handlers and the loop).
TEST_F(Calculate, HandlersAndTheLoopShareTheMathState) {
    testing_support::LoopThread loop(500000, {{1, 1.0}});  // 0.5 V on the 1 V row
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(set(&R::cbCalculateStatisticSet, 0x2000, bval(true)), 0);
        ASSERT_EQ(set(&R::cbCalculateRel<kDcvRow, R::REL_OFFSET_SET>, 0x262d, f64(i % 2 ? 0.25 : 0.125)), 0);
        ASSERT_EQ(set(&R::cbCalculateRel<kDcvRow, R::REL_STATE_SET>, 0x262c, bval(true)), 0);
        ASSERT_EQ(call(&R::cbCalculateAverageClear, {}), 0);
        // A few readings counted since the clear, however slowly a loaded
        // machine lets the loop run.
        ASSERT_TRUE(testing_support::eventually([&] {
            reply.clear();
            return call(&R::cbCalculateCountGet, {}) == 0 && reply.at(0x706).u64val() >= 2;
        }));
        // Cleared after the offset changed: one offset in every counted reading.
        const double expected = 0.5 - (i % 2 ? 0.25 : 0.125);
        ASSERT_EQ(call(&R::cbCalculateMinGet, {}), 0);
        ASSERT_EQ(call(&R::cbCalculateMaxGet, {}), 0);
        EXPECT_NEAR(f(0x702), expected, 1e-6);
        EXPECT_NEAR(f(0x701), expected, 1e-6);
        ASSERT_EQ(set(&R::cbCalculateDBMStateSet, 0x804, bval(i % 2 == 0)), 0);
        ASSERT_EQ(set(&R::cbCalculatePFUpperSet, 0x807, f64(0.4)), 0);
        ASSERT_EQ(set(&R::cbCalculateRel<kDcvRow, R::REL_STATE_SET>, 0x262c, bval(false)), 0);
    }
    EXPECT_TRUE(loop.stop());
}

} // namespace
