// CONFigure, CONFigure?, resolution and NPLC handlers on the live function
// settings, and the trigger state they leave.
#include <gtest/gtest.h>

#include <cstdio>

#include "CDataManage.h"
#include "FunctionManage.h"
#include "proto_values.h"

namespace {

using ValueMap = google::protobuf::Map<int, Value>;
using Handler = CDataManage::Handler;

ValueMap req(std::initializer_list<std::pair<int, Value>> items) {
    ValueMap map;
    for (const auto& [k, v] : items) map[k] = v;
    return map;
}

std::string sci(double v) {
    char text[64];
    std::snprintf(text, sizeof(text), "%10.8E", v);
    return text;
}

class Configure : public ::testing::Test {
protected:
    CDataManage& engine = *CDataManage::instance();
    FunctionManage& fm = FunctionManage::instance();
    void SetUp() override { engine.DM_CapabilityInit("MV412"); }
    // Later tests in this process start from the factory function settings.
    void TearDown() override {
        ProtoBaseFuncInfo factory;
        fm.ProtoBaseFuncInfoDefault(factory);
        fm.ProtoBaseFuncInfoSet(factory);
        fm.ContResiConfig(10);
        fm.FM_SetFunction(TYPE_DCV);
    }
    int call(Handler h, const ValueMap& in, ValueMap* out = nullptr) {
        ValueMap scratch;
        return (engine.*h)(2, in, out ? out : &scratch);
    }
    std::string query(Handler h, int key) {
        ValueMap out;
        EXPECT_EQ(call(h, {}, &out), 0);
        return out[key].strval();
    }
    void messUpTrigger() {
        engine.TrigSourceSet(1);
        engine.TrigSampleCountSet(7);
        engine.TrigSingleCountSet(5);
    }
    void expectTriggerReset() {
        ProtoTriggerFuncInfo t;
        engine.ProtoTriggerFuncInfoGet(t);
        EXPECT_EQ(t.ms32trigsrc(), 0);
        EXPECT_EQ(t.mu32sample(), 1u);
        EXPECT_EQ(engine.m_sampleCount.load(), 1u);
    }
};

// In order: each case starts where the one before left the settings. A
// refused parameter changes nothing, the trigger included; from CONT the range
// is refused before the switch, so it applies after it.
TEST_F(Configure, RangeAndResolutionSelectFunctionRangeAndRate) {
    using R = CDataManage;
    struct Case { Handler h; ValueMap in; int result, func, range, rate; } cases[] = {
        {&R::cbMeasDcvConfig, {}, 0, TYPE_DCV, -1, E_Slow},
        {&R::cbMeasDcvConfig, req({{0x652, f64(10)}, {0x61E, str("MAX")}}), 0, TYPE_DCV, 2, E_Fast},
        {&R::cbMeasDcvConfig, req({{0x652, f64(1)}, {0x61E, str("fast")}}), 31, TYPE_DCV, 2, E_Fast},
        // The Corvane set sends a range as its index ("10" is 2), as RANGe takes it.
        {&R::cbMeasAcvConfig, req({{0x653, s32(1)}}), 0, TYPE_ACV, 1, E_Slow},
        {&R::cbMeasDcvConfig, req({{0x652, s32(2)}, {0x61E, str("MAX")}}), 0, TYPE_DCV, 2, E_Fast},
        {&R::cbMeasDcvConfig, req({{0x652, s32(2000)}}), 56, TYPE_DCV, 2, E_Fast},
        {&R::cbMeasDciConfig, req({{0x654, s32(-1)}, {0x620, str("DEF")}}), 0, TYPE_DCI, -1, E_Slow},
        {&R::cbMeasCapConfig, req({{0x65A, s32(5)}}), 0, TYPE_CAP, 5, -1},
        {&R::cbMeasDcvConfig, req({{0x652, s32(2)}}), 0, TYPE_DCV, 2, E_Slow},
        {&R::cbMeasDcvConfig, req({{0x652, str("auto")}}), 0, TYPE_DCV, -1, E_Slow},
        {&R::cbMeasDcvConfig, req({{0x652, f64(1)}, {0x61E, str("1e-4")}}), 0, TYPE_DCV, 1, E_Medium},
        {&R::cbMeasAciConfig, req({{0x656, str("def")}}), 0, TYPE_ACI, -1, E_Slow},
        {&R::cbMeas2WRConfig, req({{0x658, f64(1e4)}, {0x622, s32(3)}}), 0, TYPE_OHM2, 2, E_Medium},
        {&R::cbMeasCapConfig, req({{0x65A, f64(1e-6)}}), 0, TYPE_CAP, 3, -1},
        {&R::cbMeasContConfig, {}, 0, TYPE_CONT, 0, -1},
        {&R::cbMeasDciConfig, req({{0x654, f64(0.01)}}), 0, TYPE_DCI, 2, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(&c - cases);
        messUpTrigger();
        EXPECT_EQ(call(c.h, c.in), c.result);
        EXPECT_EQ(fm.FM_GetFunction(), c.func);
        EXPECT_EQ(fm.FM_GetRange(c.func), c.range);
        if (c.rate >= 0) {
            EXPECT_EQ(fm.FM_GetRate(c.func), c.rate);
        }
        if (c.result == 0) {
            expectTriggerReset();
        } else {
            EXPECT_EQ(engine.m_sampleCount.load(), 7u);
        }
    }
}

// The first case selects CONT, which starts the reading memory over; with
// CONT measured a new threshold reaches the engine's beep window and keeps
// the memory, as a CONFigure of the function measured does.
TEST_F(Configure, ContinuityThresholdClamps) {
    const struct { ValueMap in; int result, threshold; size_t kept; } cases[] = {
        {{}, 0, 1000, 0},         {req({{0x618, s32(500)}}), 0, 500, 3},  {req({{0x618, s32(5000)}}), 130, 1000, 3},
        {req({{0x618, s32(0)}}), 131, 1, 3}, {req({{0x618, f64(5)}}), 131, 1, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(&c - cases);
        engine.m_buffer.assign(3, {1.0, 1.0, 1.2f});
        EXPECT_EQ(call(&CDataManage::cbMeasContConfig, c.in), c.result);
        ProtoBaseFuncInfo info;
        fm.ProtoBaseFuncInfoGet(info);
        EXPECT_EQ(info.mcontresi(), c.threshold);
        EXPECT_EQ(engine.m_stContRange.f32Upper, c.threshold);
        EXPECT_EQ(fm.FM_GetFunction(), TYPE_CONT);
        EXPECT_EQ(engine.m_buffer.size(), c.kept);
    }
    engine.m_buffer.clear();
}

TEST_F(Configure, QueryNamesFunctionRangeAndResolution) {
    call(&CDataManage::cbMeasDcvConfig, req({{0x652, f64(10)}}));
    EXPECT_EQ(query(&CDataManage::cbMeasConfigGet, 0x61D),
              fm.FM_FuncTransToStrForCorvane(TYPE_DCV) + " " + sci(fm.FM_RangeTransToValue(TYPE_DCV, 2)) + "," + sci(1e-4));
    call(&CDataManage::cbMeasFreqConfig, {});
    EXPECT_EQ(query(&CDataManage::cbMeasConfigGet, 0x61D), fm.FM_FuncTransToStrForCorvane(TYPE_FREQ));
}

TEST_F(Configure, TemperatureClassesAndTypes) {
    struct Case { ValueMap in; int result; std::string text; } cases[] = {
        {req({{0x2700, s32(4)}, {0x2701, s32(12)}}), 0, "TEMP TC,K"},
        {req({{0x2700, s32(0)}, {0x2701, s32(1)}}), 0, "TEMP FRTD,389"},
        {req({{0x2700, s32(3)}, {0x2701, s32(8)}}), 0, "TEMP THER,30000"},
        {req({{0x2700, s32(0)}, {0x2701, s32(5)}}), 56, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(call(&CDataManage::cbMeasSensorConfig, c.in), c.result);
        EXPECT_EQ(fm.FM_GetFunction(), TYPE_SENSOR);
        if (!c.text.empty()) {
            EXPECT_EQ(query(&CDataManage::cbMeasConfigGet, 0x61D), c.text);
        }
    }
}

TEST_F(Configure, ResolutionAndNplcSettersAndQueries) {
    call(&CDataManage::cbMeas2WRConfig, {});
    EXPECT_EQ(call(&CDataManage::cbSenseDcvNplcSet, req({{0x262A, f64(7)}})), 0);
    EXPECT_EQ(fm.FM_GetFunction(), TYPE_DCV);
    EXPECT_EQ(query(&CDataManage::cbSenseDcvNplcGet, 0x262A), sci(5));
    EXPECT_EQ(call(&CDataManage::cbSenseDcvNplcSet, {}), 8);
    EXPECT_EQ(call(&CDataManage::cbSenseDcvNplcSet, req({{0x262A, str("slow")}})), 31);
    call(&CDataManage::cbMeasDcvConfig, req({{0x652, f64(1)}}));
    EXPECT_EQ(call(&CDataManage::cbMeasDcvResolutionSet, req({{0x61E, f64(1e-4)}})), 0);
    EXPECT_EQ(query(&CDataManage::cbMeasDcvResolutionGet, 0x61E), sci(1e-4));
    EXPECT_EQ(call(&CDataManage::cbMeasOhm4ResolutionSet, req({{0x623, str("max")}})), 0);
    EXPECT_EQ(fm.FM_GetFunction(), TYPE_OHM4);
}

} // namespace
