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

std::string recordText(FunctionManage& fm) {
    return record(fm).SerializeAsString();
}

} // namespace

TEST(FunctionModel, SelectingEachFunctionFromFactoryNormalisesTheRecord) {
    // Function, real function, start range, highest range, auto range.
    const int cases[][5] = {{TYPE_DCV, TYPE_DCV, 0, 4, 1},       {TYPE_ACV, TYPE_ACV, 0, 4, 1},
                            {TYPE_DCI, TYPE_DCI, 0, 5, 1},       {TYPE_ACI, TYPE_ACI, 0, 5, 1},
                            {TYPE_OHM2, TYPE_OHM2, 3, 6, 1},     {TYPE_OHM4, TYPE_OHM4, 3, 6, 1},
                            {TYPE_CAP, TYPE_CAP, 3, 7, 1},       {TYPE_CONT, TYPE_CONT, 0, 0, 0},
                            {TYPE_DIODE, TYPE_DIODE, 0, 0, 0},   {TYPE_PERIOD, TYPE_ACV, 2, 4, 1},
                            {TYPE_FREQ, TYPE_ACV, 2, 4, 1},      {TYPE_SENSOR, TYPE_OHM2, 3, 6, 1}};
    for (const auto& c : cases) {
        FuncFixture t;
        t.backend.sensor = TYPE_OHM2;
        ASSERT_EQ(t.fm->FM_SetFunction(static_cast<MeasureTypeEnum>(c[0])), 0);
        const structFuncConfig& sent = t.backend.adc.back();
        EXPECT_EQ((std::vector<int>{sent.eRealFunc, sent.s32Range, sent.s32RangeMax, sent.bAutoRange}),
                  (std::vector<int>{c[1], c[2], c[3], c[4]}))
            << c[0];
        EXPECT_EQ(t.backend.mains.back().s32Range, c[2]);
    }
    // A sensor whose base function is invalid runs on DCV.
    for (int base : {-3, 11, 40}) {
        FuncFixture t;
        t.backend.sensor = base;
        t.fm->FM_SetFunction(TYPE_SENSOR);
        EXPECT_EQ(t.backend.adc.back().eRealFunc, TYPE_DCV) << base;
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
    EXPECT_EQ(n258.size(), 7u);  // also 0x65E, 0x66E, 0x66A, 0x66F
    ValueMap n259 = t.backend.lastPush(UPDATE_FUNCTION2_CONFIG);
    EXPECT_FALSE(n259.at(0x642).bval());
    EXPECT_EQ(n259.size(), 4u);  // also 0x635, 0x648, 0x65E
}

TEST(FunctionModel, DriverOnlyEverSeesRecordsWithinItsTables) {
    for (const char* model : {"MV412", "MV412E"}) {
        // A restored record with every function on its highest fixed range;
        // and range first, then the function, as CONFigure does.
        FuncFixture restored(model), configured(model);
        ProtoBaseFuncInfo info;
        restored.fm->ProtoBaseFuncInfoDefault(info);
        for (int f = 0; f < MEASURE_TYPE_COUNT; ++f) {
            info.mutable_mprotofunccfgs(f)->set_ms32range(g_FuncCfg[f].s32RangeMax);
        }
        info.set_ms32dmmfunc(TYPE_OHM2);
        restored.fm->ProtoBaseFuncInfoSet(info);
        for (int f = 0; f < MEASURE_TYPE_COUNT; ++f) {
            restored.fm->FM_SetFunction(static_cast<MeasureTypeEnum>(f));
            configured.fm->FM_SetRange(static_cast<MeasureTypeEnum>(f), g_FuncCfg[f].s32RangeMax);
            configured.fm->FM_SetFunction(static_cast<MeasureTypeEnum>(f));
        }
        EXPECT_EQ(restored.backend.violations, std::vector<std::string>{}) << model;
        EXPECT_EQ(configured.backend.violations, std::vector<std::string>{}) << model;
    }
}

TEST(FunctionModel, SettingsRecordRoundTripsAndCorruptFieldsGetFactoryValues) {
    FuncFixture t;
    ProtoBaseFuncInfo valid;
    t.fm->ProtoBaseFuncInfoDefault(valid);
    valid.set_ms32dmmfunc(TYPE_CAP);
    valid.set_mcontresi(25);
    valid.mutable_mprotofunccfgs(TYPE_CAP)->set_ms32range(2);
    valid.mutable_mprotofunccfgs(TYPE_CAP)->set_ms32realfunc(TYPE_CAP);
    t.fm->ProtoBaseFuncInfoSet(valid);
    EXPECT_EQ(recordText(*t.fm), valid.SerializeAsString());

    // A record without one entry per function changes nothing.
    const std::string before = recordText(*t.fm);
    valid.mutable_mprotofunccfgs()->RemoveLast();
    t.fm->ProtoBaseFuncInfoSet(valid);
    EXPECT_EQ(recordText(*t.fm), before);

    using Edit = void (*)(ProtoBaseFuncInfo&);
    using Check = bool (*)(const ProtoBaseFuncInfo&);
    const std::pair<Edit, Check> cases[] = {
        {[](ProtoBaseFuncInfo& r) { r.set_ms32dmmfunc(99); }, [](const ProtoBaseFuncInfo& r) { return r.ms32dmmfunc() == 0; }},
        {[](ProtoBaseFuncInfo& r) { r.mutable_mprotofunccfgs(4)->set_ms32range(50); },
         [](const ProtoBaseFuncInfo& r) { return r.mprotofunccfgs(4).ms32range() == -1; }},
        {[](ProtoBaseFuncInfo& r) { r.mutable_mprotofunccfgs(7)->set_ms32rate(7); },
         [](const ProtoBaseFuncInfo& r) { return r.mprotofunccfgs(7).ms32rate() == E_Fast; }},
        {[](ProtoBaseFuncInfo& r) { r.mutable_mprotofunccfgs(2)->set_ms32autoz(5); },
         [](const ProtoBaseFuncInfo& r) { return r.mprotofunccfgs(2).ms32autoz() == 1; }},
        {[](ProtoBaseFuncInfo& r) { r.mutable_mprotofunccfgs(6)->set_ms32rangemax(30); },
         [](const ProtoBaseFuncInfo& r) { return r.mprotofunccfgs(6).ms32rangemax() == 7; }},
        {[](ProtoBaseFuncInfo& r) { r.set_mu32dcvimpe(3); }, [](const ProtoBaseFuncInfo& r) { return r.mu32dcvimpe() == 0; }},
        {[](ProtoBaseFuncInfo& r) { r.set_mcontresi(0); }, [](const ProtoBaseFuncInfo& r) { return r.mcontresi() == 1; }},
        {[](ProtoBaseFuncInfo& r) { r.set_mcontresi(5000); }, [](const ProtoBaseFuncInfo& r) { return r.mcontresi() == 1000; }},
        {[](ProtoBaseFuncInfo& r) { r.set_ms32dmmfunc2(TYPE_FREQ), r.set_mbfunc2enable(true); },
         [](const ProtoBaseFuncInfo& r) { return !r.mbfunc2enable(); }},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        FuncFixture fresh;
        ProtoBaseFuncInfo bad;
        fresh.fm->ProtoBaseFuncInfoDefault(bad);
        cases[i].first(bad);
        fresh.fm->ProtoBaseFuncInfoSet(bad);
        EXPECT_TRUE(cases[i].second(record(*fresh.fm))) << "case " << i;
        EXPECT_EQ(fresh.backend.violations, std::vector<std::string>{}) << "case " << i;
    }
}

TEST(FunctionModel, SecondDisplayRules) {
    // Primary, second, result: refused pairs change nothing.
    const int cases[][3] = {{TYPE_DCV, TYPE_FREQ, 55}, {TYPE_ACV, TYPE_FREQ, 0}, {TYPE_CONT, TYPE_CONT, 55},
                            {TYPE_ACI, TYPE_PERIOD, 0}, {TYPE_DCV, -2, 55},     {TYPE_DCV, 12, 55}};
    for (const auto& c : cases) {
        FuncFixture t;
        t.fm->FM_SetFunction(static_cast<MeasureTypeEnum>(c[0]));
        const std::string before = recordText(*t.fm);
        EXPECT_EQ(t.fm->FM_SetFunction2(c[1]), c[2]) << c[0] << "/" << c[1];
        EXPECT_TRUE(c[2] == 0 || recordText(*t.fm) == before);
    }
    // A second display forces the slow rate; selecting a function ends it.
    FuncFixture t;
    t.fm->FM_SetRate(TYPE_DCV, E_Fast);
    ASSERT_EQ(t.fm->FM_SetFunction2(TYPE_DCV), 0);
    EXPECT_EQ(t.fm->FM_GetRate(), E_Slow);
    EXPECT_EQ(t.fm->FM_SetRate(TYPE_DCV, E_Fast), 0);
    EXPECT_EQ(t.fm->FM_GetRate(), E_Slow);
    t.fm->FM_SetFunction(TYPE_DCV);
    EXPECT_FALSE(record(*t.fm).mbfunc2enable());
}

TEST(FunctionModel, FreqAndPeriodDisplayRangeBoundaries) {
    const std::tuple<int, double, int> cases[] = {
        {TYPE_FREQ, 110, 0},     {TYPE_FREQ, 110.5, 1},   {TYPE_FREQ, 1100, 1},     {TYPE_FREQ, 11000, 2},
        {TYPE_FREQ, 11000.1, 3}, {TYPE_PERIOD, -5, 0},    {TYPE_PERIOD, 1100.5, 2}, {TYPE_PERIOD, 10000, 2},
        {TYPE_PERIOD, 10500, 3}, {TYPE_FREQ, 10500, 2},   {TYPE_DCV, 5, -1}};
    FuncFixture t;
    for (const auto& [func, value, range] : cases) {
        t.fm->FreqPeriRealRangeSet(func, value);
        EXPECT_EQ(t.fm->FreqPeriRealRangeGet(func), range) << func << " " << value;
    }
}

TEST(FunctionModel, RefusedValuesChangeNothing) {
    using Apply = int (*)(FunctionManage&);
    const std::pair<Apply, int> cases[] = {
        {[](FunctionManage& m) { return m.FM_SetRange(TYPE_DCV, -2); }, 55},
        {[](FunctionManage& m) { return m.FM_SetRange(TYPE_DCV, 5); }, 55},
        {[](FunctionManage& m) { return m.FM_SetFunction(static_cast<MeasureTypeEnum>(12)); }, 55},
        {[](FunctionManage& m) { return m.FM_SetRange(static_cast<MeasureTypeEnum>(12), 0); }, 55},
        {[](FunctionManage& m) { return m.FM_SetRate(TYPE_DCV, static_cast<RateEnum>(3)); }, 56},
        {[](FunctionManage& m) { return m.FM_SetRate(TYPE_CAP, E_Fast); }, 55},
        // An auto-range step only for the primary function, on auto range, from its range.
        {[](FunctionManage& m) { return m.AutoRangeRealRangeUpdate(12, 0, 1, [] { return true; }); }, 55},
        {[](FunctionManage& m) { return m.AutoRangeRealRangeUpdate(TYPE_ACV, 0, 1, [] { return true; }); }, 55},
        {[](FunctionManage& m) { return m.AutoRangeRealRangeUpdate(TYPE_DCV, 3, 1, [] { return true; }); }, 55},
        {[](FunctionManage& m) { return m.AutoRangeRealRangeUpdate(TYPE_DCV, 0, 1, [] { return false; }); }, 55},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        FuncFixture t;
        const std::string before = recordText(*t.fm);
        EXPECT_EQ(cases[i].first(*t.fm), cases[i].second) << "case " << i;
        EXPECT_EQ(recordText(*t.fm), before) << "case " << i;
        EXPECT_TRUE(t.backend.log.empty()) << "case " << i;
    }
    // A step decided for a function that is no longer primary, from its own range.
    FuncFixture was;
    was.fm->FM_SetFunction(TYPE_ACV);
    was.fm->FM_SetFunction(TYPE_DCV);
    const std::string before = recordText(*was.fm);
    EXPECT_EQ(was.fm->AutoRangeRealRangeUpdate(TYPE_ACV, was.fm->FM_GetRealRange(TYPE_ACV), 1, [] { return true; }), 55);
    EXPECT_EQ(recordText(*was.fm), before);
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
    EXPECT_EQ(t.fm->FM_GetRange(12) + t.fm->FM_GetRealRange(-1) + t.fm->FM_GetRate(12), 0);
    EXPECT_EQ(t.fm->FM_RangeTransToRealValue(TYPE_CAP, 9), 0);
    EXPECT_EQ(t.fm->FM_FuncTransToStrForCorvane(12), "ERR");
    EXPECT_EQ(FuncFixture("").fm->FM_RangeTransToStr(TYPE_DCI, 5), "3A");
}

TEST(FunctionModel, ContinuityThresholdBeeperAndAskingBack) {
    // Selecting CONT with the beeper off turns it on; a configured threshold
    // keeps it off until the threshold handler has pushed its own.
    FuncFixture t;
    t.backend.beeper = false;
    t.fm->ContResiConfig(50);
    t.fm->FM_SetFunction(TYPE_CONT);
    EXPECT_FALSE(t.backend.beeper);
    EXPECT_EQ(t.backend.lastPush(UPDATE_FUNCTION_CONFIG).at(0x643).s32val(), 50);
    t.fm->FM_SetFunction(TYPE_DIODE);
    EXPECT_FALSE(t.backend.beeper);
    EXPECT_EQ(t.call(0x10000643, 0, request(0x643, s32(60))), 0);
    EXPECT_FALSE(t.backend.beeper);
    t.fm->FM_SetFunction(TYPE_CONT);
    EXPECT_TRUE(t.backend.beeper);

    // With CONT already primary a configured threshold is pushed at once, to
    // the engine's beep window and the UI only: a whole update of the
    // function would empty the reading memory and start the math over.
    t.fm->FM_SetFunction(TYPE_CONT);
    t.backend.reset();
    t.fm->ContResiConfig(70);
    EXPECT_EQ(t.backend.log, (std::vector<std::string>{"resi 70", "ui 258"}));
    EXPECT_EQ(t.backend.lastPush(UPDATE_FUNCTION_CONFIG).at(0x643).s32val(), 70);

    // The engine may ask the settings back inside a push.
    int rateSeen = -1;
    t.backend.onMain = [&] { rateSeen = t.fm->FM_GetRate(TYPE_DCV); };
    t.fm->FM_SetFunction(TYPE_DCV);
    t.fm->FM_SetRate(TYPE_DCV, E_Medium);
    EXPECT_EQ(rateSeen, E_Medium);
}
