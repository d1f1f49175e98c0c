// The function-settings model on a recording backend: normalisation, push
// order, the settings record, the second display and the display ranges.
#include "FunctionManage.h"

#include <gtest/gtest.h>

#include "func_fakes.h"

namespace {

ProtoBaseFuncInfo record(FunctionManage& fm) {
    ProtoBaseFuncInfo info;
    fm.ProtoBaseFuncInfoGet(info);
    return info;
}

} // namespace

TEST(FunctionModel, SelectingEachFunctionFromFactoryNormalisesTheRecord) {
    struct Case {
        MeasureTypeEnum func;
        MeasureTypeEnum real;
        int range, rangeMax;
        bool autoRange;
    };
    const Case cases[] = {
        {TYPE_DCV, TYPE_DCV, 0, 4, true},       {TYPE_ACV, TYPE_ACV, 0, 4, true},
        {TYPE_DCI, TYPE_DCI, 0, 5, true},       {TYPE_ACI, TYPE_ACI, 0, 5, true},
        {TYPE_OHM2, TYPE_OHM2, 3, 6, true},     {TYPE_OHM4, TYPE_OHM4, 3, 6, true},
        {TYPE_CAP, TYPE_CAP, 3, 7, true},       {TYPE_CONT, TYPE_CONT, 0, 0, false},
        {TYPE_DIODE, TYPE_DIODE, 0, 0, false},  {TYPE_PERIOD, TYPE_ACV, 2, 4, true},
        {TYPE_FREQ, TYPE_ACV, 2, 4, true},      {TYPE_SENSOR, TYPE_OHM2, 3, 6, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.func);
        FuncFixture t;
        t.backend.sensor = TYPE_OHM2;
        ASSERT_EQ(t.fm->FM_SetFunction(c.func), 0);
        ASSERT_FALSE(t.backend.adc.empty());
        const structFuncConfig& sent = t.backend.adc.back();
        EXPECT_EQ(sent.eRealFunc, c.real);
        EXPECT_EQ(sent.s32Range, c.range);
        EXPECT_EQ(sent.s32RangeMax, c.rangeMax);
        EXPECT_EQ(sent.bAutoRange, c.autoRange);
        EXPECT_EQ(t.backend.mains.back().s32Range, c.range);
        EXPECT_TRUE(t.backend.violations.empty());
    }
}

TEST(FunctionModel, SelectionPushesInOrderWithTheNotificationKeys) {
    FuncFixture t;
    ASSERT_EQ(t.fm->FM_SetFunction(TYPE_ACV), 0);
    const std::vector<std::string> order = {"clear2", "adc 1 1", "second 0 1", "ui 259", "main 1",
                                            "resi 10", "impe 0",  "adc 1 0",    "ui 258"};
    EXPECT_EQ(t.backend.log, order);
    ValueMap n258 = t.backend.lastPush(UPDATE_FUNCTION_CONFIG);
    EXPECT_EQ(n258.at(0x40C).s32val(), TYPE_ACV);
    EXPECT_EQ(n258.at(0x648).s32val(), -1);
    EXPECT_EQ(n258.at(0x643).s32val(), 10);
    for (int key : {0x65E, 0x66E, 0x66A, 0x66F}) {
        EXPECT_TRUE(n258.count(key)) << key;
    }
    ValueMap n259 = t.backend.lastPush(UPDATE_FUNCTION2_CONFIG);
    EXPECT_FALSE(n259.at(0x642).bval());
    for (int key : {0x635, 0x648, 0x65E}) {
        EXPECT_TRUE(n259.count(key)) << key;
    }
}

TEST(FunctionModel, DriverOnlyEverSeesRecordsWithinItsTables) {
    for (const char* model : {"MV412", "MV412E"}) {
        SCOPED_TRACE(model);
        // A restored record with every function on its highest fixed range.
        FuncFixture restored(model);
        ProtoBaseFuncInfo info;
        restored.fm->ProtoBaseFuncInfoDefault(info);
        for (int f = 0; f < MEASURE_TYPE_COUNT; ++f) {
            info.mutable_mprotofunccfgs(f)->set_ms32range(g_FuncCfg[f].s32RangeMax);
        }
        info.set_ms32dmmfunc(TYPE_OHM2);
        restored.fm->ProtoBaseFuncInfoSet(info);
        // Range first, then the function, as CONFigure does.
        FuncFixture configured(model);
        for (int f = 0; f < MEASURE_TYPE_COUNT; ++f) {
            restored.fm->FM_SetFunction(static_cast<MeasureTypeEnum>(f));
            configured.fm->FM_SetRange(static_cast<MeasureTypeEnum>(f), g_FuncCfg[f].s32RangeMax);
            configured.fm->FM_SetFunction(static_cast<MeasureTypeEnum>(f));
        }
        EXPECT_EQ(restored.backend.violations, std::vector<std::string>{});
        EXPECT_EQ(configured.backend.violations, std::vector<std::string>{});
    }
}

TEST(FunctionModel, SettingsRecordRoundTripsAndCorruptFieldsGetFactoryValues) {
    FuncFixture t;
    ProtoBaseFuncInfo valid;
    t.fm->ProtoBaseFuncInfoDefault(valid);
    valid.set_ms32dmmfunc(TYPE_CAP);
    valid.set_mcontresi(25);
    ProtoFuncConfig& cap = *valid.mutable_mprotofunccfgs(TYPE_CAP);
    cap.set_ms32range(2);
    cap.set_ms32realfunc(TYPE_CAP);
    t.fm->ProtoBaseFuncInfoSet(valid);
    EXPECT_EQ(record(*t.fm).SerializeAsString(), valid.SerializeAsString());

    struct Case {
        const char* what;
        void (*corrupt)(ProtoBaseFuncInfo&);
        bool (*fixed)(const ProtoBaseFuncInfo&);
    };
    const Case cases[] = {
        {"function", [](ProtoBaseFuncInfo& r) { r.set_ms32dmmfunc(99); },
         [](const ProtoBaseFuncInfo& r) { return r.ms32dmmfunc() == TYPE_DCV; }},
        {"range", [](ProtoBaseFuncInfo& r) { r.mutable_mprotofunccfgs(TYPE_OHM2)->set_ms32range(50); },
         [](const ProtoBaseFuncInfo& r) { return r.mprotofunccfgs(TYPE_OHM2).ms32range() == -1; }},
        {"rate", [](ProtoBaseFuncInfo& r) { r.mutable_mprotofunccfgs(TYPE_CONT)->set_ms32rate(7); },
         [](const ProtoBaseFuncInfo& r) { return r.mprotofunccfgs(TYPE_CONT).ms32rate() == E_Fast; }},
        {"auto-zero", [](ProtoBaseFuncInfo& r) { r.mutable_mprotofunccfgs(TYPE_DCI)->set_ms32autoz(5); },
         [](const ProtoBaseFuncInfo& r) { return r.mprotofunccfgs(TYPE_DCI).ms32autoz() == 1; }},
        {"capability", [](ProtoBaseFuncInfo& r) { r.mutable_mprotofunccfgs(TYPE_CAP)->set_ms32rangemax(30); },
         [](const ProtoBaseFuncInfo& r) { return r.mprotofunccfgs(TYPE_CAP).ms32rangemax() == 7; }},
        {"impedance", [](ProtoBaseFuncInfo& r) { r.set_mu32dcvimpe(3); },
         [](const ProtoBaseFuncInfo& r) { return r.mu32dcvimpe() == 0; }},
        {"threshold low", [](ProtoBaseFuncInfo& r) { r.set_mcontresi(0); },
         [](const ProtoBaseFuncInfo& r) { return r.mcontresi() == 1; }},
        {"threshold high", [](ProtoBaseFuncInfo& r) { r.set_mcontresi(5000); },
         [](const ProtoBaseFuncInfo& r) { return r.mcontresi() == 1000; }},
        {"forbidden pair", [](ProtoBaseFuncInfo& r) { r.set_ms32dmmfunc2(TYPE_FREQ), r.set_mbfunc2enable(true); },
         [](const ProtoBaseFuncInfo& r) { return !r.mbfunc2enable(); }},
    };
    for (const Case& c : cases) {
        FuncFixture fresh;
        ProtoBaseFuncInfo bad;
        fresh.fm->ProtoBaseFuncInfoDefault(bad);
        c.corrupt(bad);
        fresh.fm->ProtoBaseFuncInfoSet(bad);
        EXPECT_TRUE(c.fixed(record(*fresh.fm))) << c.what;
        EXPECT_EQ(fresh.backend.violations, std::vector<std::string>{}) << c.what;
    }

    // A record without one entry per function changes nothing.
    ProtoBaseFuncInfo before = record(*t.fm);
    ProtoBaseFuncInfo shortRecord = before;
    shortRecord.mutable_mprotofunccfgs()->RemoveLast();
    shortRecord.set_ms32dmmfunc(TYPE_FREQ);
    t.fm->ProtoBaseFuncInfoSet(shortRecord);
    EXPECT_EQ(record(*t.fm).SerializeAsString(), before.SerializeAsString());
}

TEST(FunctionModel, SecondDisplayRules) {
    struct Case {
        MeasureTypeEnum primary;
        int second;
        int result;
    };
    const Case cases[] = {{TYPE_DCV, TYPE_FREQ, 55}, {TYPE_ACV, TYPE_FREQ, 0}, {TYPE_CONT, TYPE_CONT, 55},
                          {TYPE_ACI, TYPE_PERIOD, 0}, {TYPE_DCV, -2, 55},     {TYPE_DCV, 12, 55},
                          {TYPE_DCV, -1, 0}};
    for (const Case& c : cases) {
        FuncFixture t;
        t.fm->FM_SetFunction(c.primary);
        const ProtoBaseFuncInfo before = record(*t.fm);
        EXPECT_EQ(t.fm->FM_SetFunction2(c.second), c.result) << c.primary << "/" << c.second;
        if (c.result != 0) {
            EXPECT_EQ(record(*t.fm).SerializeAsString(), before.SerializeAsString());
        }
    }

    FuncFixture t;
    t.fm->FM_SetRate(TYPE_DCV, E_Fast);
    ASSERT_EQ(t.fm->FM_SetFunction2(TYPE_DCV), 0);
    EXPECT_EQ(t.fm->FM_GetRate(), E_Slow);
    EXPECT_EQ(t.fm->FM_SetRate(TYPE_DCV, E_Fast), 0);
    EXPECT_EQ(t.fm->FM_GetRate(), E_Slow);
    EXPECT_TRUE(record(*t.fm).mbfunc2enable());
    t.fm->FM_SetFunction(TYPE_DCV);
    EXPECT_FALSE(record(*t.fm).mbfunc2enable());
}

TEST(FunctionModel, FreqAndPeriodDisplayRangeBoundaries) {
    const struct {
        int func;
        double value;
        int range;
    } cases[] = {{TYPE_FREQ, 110, 0},     {TYPE_FREQ, 110.5, 1},   {TYPE_FREQ, 1100, 1},  {TYPE_FREQ, 11000, 2},
                 {TYPE_FREQ, 11000.1, 3}, {TYPE_PERIOD, -5, 0},    {TYPE_PERIOD, 1100.5, 2},
                 {TYPE_PERIOD, 10000, 2}, {TYPE_PERIOD, 10500, 3}, {TYPE_FREQ, 10500, 2}};
    FuncFixture t;
    for (const auto& c : cases) {
        t.fm->FreqPeriRealRangeSet(c.func, c.value);
        EXPECT_EQ(t.fm->FreqPeriRealRangeGet(c.func), c.range) << c.func << " " << c.value;
    }
    t.fm->FreqPeriRealRangeSet(TYPE_DCV, 5);
    EXPECT_EQ(t.fm->FreqPeriRealRangeGet(TYPE_DCV), -1);
}

TEST(FunctionModel, RefusedValuesChangeNothing) {
    struct Case {
        const char* what;
        int (*apply)(FunctionManage&);
        int result;
    };
    const Case cases[] = {
        {"range below auto", [](FunctionManage& m) { return m.FM_SetRange(TYPE_DCV, -2); }, 55},
        {"range above max", [](FunctionManage& m) { return m.FM_SetRange(TYPE_DCV, 5); }, 55},
        {"function 12", [](FunctionManage& m) { return m.FM_SetFunction(static_cast<MeasureTypeEnum>(12)); }, 55},
        {"range of function 12", [](FunctionManage& m) { return m.FM_SetRange(static_cast<MeasureTypeEnum>(12), 0); },
         55},
        {"rate 3", [](FunctionManage& m) { return m.FM_SetRate(TYPE_DCV, static_cast<RateEnum>(3)); }, 56},
        {"rate of CAP", [](FunctionManage& m) { return m.FM_SetRate(TYPE_CAP, E_Fast); }, 55},
        {"auto range update of function 12", [](FunctionManage& m) { return m.AutoRangeRealRangeUpdate(12, 1); }, 55},
    };
    for (const Case& c : cases) {
        FuncFixture t;
        const ProtoBaseFuncInfo before = record(*t.fm);
        EXPECT_EQ(c.apply(*t.fm), c.result) << c.what;
        EXPECT_EQ(record(*t.fm).SerializeAsString(), before.SerializeAsString()) << c.what;
        EXPECT_TRUE(t.backend.log.empty()) << c.what;
    }
    FuncFixture e("MV412E");
    EXPECT_EQ(e.fm->FM_SetRange(TYPE_CAP, 7), 55);
    EXPECT_EQ(e.fm->FM_SetRange(TYPE_CAP, 6), 0);
}

TEST(FunctionModel, GettersNeverAnswerOutsideTheTables) {
    FuncFixture t;
    // Never pushed: the start range a push would choose, not -1.
    EXPECT_EQ(t.fm->FM_GetRealRange(TYPE_ACV), 0);
    EXPECT_EQ(t.fm->FM_GetRealRange(TYPE_OHM2), 3);
    EXPECT_EQ(t.fm->FM_GetRange(TYPE_CAP), 3);
    EXPECT_EQ(t.fm->FM_GetRange(TYPE_DCV), -1);  // pushed with auto range on
    EXPECT_EQ(t.fm->FM_GetRange(12), 0);
    EXPECT_EQ(t.fm->FM_GetRealRange(-1), 0);
    EXPECT_EQ(t.fm->FM_GetRate(12), E_Slow);
    EXPECT_EQ(t.fm->FM_RangeTransToStr(TYPE_DCV, 0), "100mV");
    EXPECT_EQ(t.fm->FM_RangeTransToRealValue(TYPE_CAP, 9), 0);
    EXPECT_EQ(t.fm->FM_FuncTransToStrForCorvane(12), "ERR");
    EXPECT_EQ(FuncFixture("").fm->FM_RangeTransToStr(TYPE_DCI, 5), "3A");
}

TEST(FunctionModel, SensorWithAnInvalidBaseFunctionRunsOnDcv) {
    for (int base : {-3, 11, 40}) {
        FuncFixture t;
        t.backend.sensor = base;
        t.fm->FM_SetFunction(TYPE_SENSOR);
        EXPECT_EQ(t.backend.adc.back().eRealFunc, TYPE_DCV) << base;
        EXPECT_TRUE(t.backend.violations.empty());
    }
}

TEST(FunctionModel, ContinuityThresholdAndBeeper) {
    // Selecting CONT with the beeper off turns it on.
    FuncFixture t;
    t.backend.beeper = false;
    t.fm->FM_SetFunction(TYPE_CONT);
    EXPECT_TRUE(t.backend.beeper);

    // A configure's threshold keeps it off once, then the rule applies again.
    FuncFixture c;
    c.backend.beeper = false;
    c.fm->ContResiConfig(50);
    c.fm->FM_SetFunction(TYPE_CONT);
    EXPECT_FALSE(c.backend.beeper);
    EXPECT_EQ(c.backend.lastPush(UPDATE_FUNCTION_CONFIG).at(0x643).s32val(), 50);
    c.fm->FM_SetFunction(TYPE_DIODE);
    EXPECT_TRUE(c.backend.beeper);

    // With CONT already primary a configured threshold is pushed at once.
    c.fm->FM_SetFunction(TYPE_CONT);
    c.backend.reset();
    c.fm->ContResiConfig(70);
    EXPECT_EQ(c.backend.lastPush(UPDATE_FUNCTION_CONFIG).at(0x643).s32val(), 70);
    EXPECT_NE(std::find(c.backend.log.begin(), c.backend.log.end(), "resi 70"), c.backend.log.end());
}

TEST(FunctionModel, TheEngineMayAskBackDuringAPush) {
    FuncFixture t;
    int rateSeen = -1;
    t.backend.onMain = [&] { rateSeen = t.fm->FM_GetRate(t.fm->FM_GetFunction()); };
    t.fm->FM_SetRate(TYPE_DCV, E_Medium);
    EXPECT_EQ(rateSeen, E_Medium);
}
