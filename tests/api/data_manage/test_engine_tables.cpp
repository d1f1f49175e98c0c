// Engine construction per model, the range-row lookup, range parameters of
// remote control turned into range indexes and rates, and the message table.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>

#include "CDataManage.h"
#include "CSystemManage.h"
#include "DataManageMsgTable.h"
#include "FunctionManage.h"
#include "HCopy.h"
#include "RangeInfoTables.h"
#include "ScpiManage.h"
#include "Singelton.h"
#include "StorageManage.h"
#include "proto_values.h"

namespace {

class EngineModel : public ::testing::Test {
protected:
    void SetUp() override { engine->DM_CapabilityInit("MV412"); }
    void TearDown() override { engine->DM_CapabilityInit("MV412"); }
    CDataManage* engine = CDataManage::instance();
};

TEST_F(EngineModel, CapabilityInitChoosesTheModelsTables) {
    struct Case {
        const char* model;
        int32_t buffer;
        uint32_t intervalMin, capMax;
        float topCurrentOver;
        double topCurrentScale, capTopLimit;
    } cases[] = {
        {"MV412", 500000, 8, 7, 11.0f, 10, 11},
        {"MV412E", 20000, 12, 6, 3.15f, 3, -1},
        {"MV412X", 20000, 12, 6, 3.15f, 3, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.model);
        engine->DM_CapabilityInit(c.model);
        EXPECT_EQ(engine->mDataPointThreshold, c.buffer);
        EXPECT_EQ(engine->m_u32IntervalMin, c.intervalMin);
        EXPECT_EQ(engine->m_u32CapRangeMax, c.capMax);
        for (uint32_t func : {TYPE_DCI, TYPE_ACI}) {
            EXPECT_FLOAT_EQ(engine->DM_GetRangeInfo(func, 5, 0).f32OverLimit, c.topCurrentOver);
            EXPECT_EQ(engine->m_scpiF64RealRangeMap.at(func).at(5), c.topCurrentScale);
            EXPECT_EQ(engine->m_scpiF64RangeLimitMap.at(func).at(MAX), c.topCurrentScale);
        }
        EXPECT_EQ(engine->DM_GetRangeInfo(TYPE_DCI, 5, 0).zHasNegative, true);
        EXPECT_EQ(engine->DM_GetRangeInfo(TYPE_ACI, 5, 0).zHasNegative, false);
        auto cap = engine->m_F64LimitMap.at(TYPE_CAP);
        EXPECT_EQ(cap.count(7) ? cap.at(7) : -1, c.capTopLimit);
        // DC volts have no full scale under index 4: the 1000 V scale is 5.
        const std::map<int, double> dcv = {{0, 0.1}, {1, 1}, {2, 10}, {3, 100}, {5, 1000}};
        EXPECT_EQ(engine->m_scpiF64RealRangeMap.at(TYPE_DCV), dcv);
    }
}

TEST_F(EngineModel, RangeRowByFunctionRangeAndValue) {
    const double nan = std::nan("");
    struct Case { uint32_t func, range; double value; const structRangeInfo& expect; } cases[] = {
        {TYPE_FREQ, 0, 110, stRangeInfoFREQ[0]},      {TYPE_FREQ, 0, 110.5, stRangeInfoFREQ[1]},
        {TYPE_FREQ, 0, 10500, stRangeInfoFREQ[2]},    {TYPE_FREQ, 0, 200000, stRangeInfoFREQ[3]},
        {TYPE_FREQ, 0, nan, stRangeInfoFREQ[0]},      {TYPE_PERIOD, 0, 10500, stRangeInfoPERI[3]},
        {TYPE_PERIOD, 0, 10000, stRangeInfoPERI[2]},  {TYPE_PERIOD, 0, -5, stRangeInfoPERI[0]},
        {TYPE_PERIOD, 0, nan, stRangeInfoPERI[0]},
        {TYPE_DCV, 0xFFFFFFFFu, 0, stRangeInfoDCV[0]},  // automatic, not yet resolved
        {TYPE_DCV, 6, 0, stRangeInfoDCV[4]},            // a range of another function
        {TYPE_OHM2, 6, 0, stRangeInfo4WR[6]},         {TYPE_OHM4, 3, 0, stRangeInfo4WR[3]},
        {TYPE_CAP, 9, 0, stRangeInfoCAP[7]},          {TYPE_CONT, 3, 0, stRangeInfoCONT},
        {TYPE_DIODE, 0, 0, stRangeInfoDIOD},          {12, 0, 0, stRangeInfoDEF},
        {0xFFFFFFFFu, 0, 0, stRangeInfoDEF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.func) + "/" + std::to_string(c.range) + "/" + std::to_string(c.value));
        structRangeInfo row = engine->DM_GetRangeInfo(c.func, c.range, c.value);
        EXPECT_EQ(std::string(row.u8Unit), c.expect.u8Unit);
        EXPECT_EQ(std::string(row.u8Format), c.expect.u8Format);
        EXPECT_EQ(row.f32AutoUpper, c.expect.f32AutoUpper);
        EXPECT_EQ(engine->lastMinUnite(), c.expect.f32MinUnite);
    }
    engine->DM_CapabilityInit("MV412E");
    EXPECT_STREQ(engine->DM_GetRangeInfo(TYPE_CAP, 7, 0).u8Unit, "mF");
    EXPECT_EQ(engine->DM_GetRangeInfo(TYPE_CAP, 7, 0).f32OverLimit, stRangeInfoCAP[6].f32OverLimit);
}

TEST_F(EngineModel, SensorRowCarriesTheSensorUnitCutAtACharacter) {
    struct Case { bool temperature; const char* tempUnit; const char* customUnit; const char* expect; } cases[] = {
        {true, "\u2103", "kPa", "\u2103"},  // three bytes fit
        {false, "\u2103", "kPa", "kPa"},
        {false, "\u2103", "mbar", "mba"},
        {true, "a\u2103", "kPa", "a"},  // no half character
        {false, "", "x\xCE\xA9y", "x\xCE\xA9"},
    };
    ProtoSensorFuncInfo saved;
    engine->ProtoSensorFuncInfoGet(saved);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expect);
        ProtoSensorFuncInfo sensor = saved;
        sensor.set_mbtempture(c.temperature);
        sensor.mutable_mprototempproperty()->set_mstrtempsensorunit(c.tempUnit);
        sensor.mutable_mprotoprojproperty()->set_mstrunit(c.customUnit);
        engine->ProtoSensorFuncInfoSet(sensor);
        structRangeInfo row = engine->DM_GetRangeInfo(TYPE_SENSOR, 0, 0);
        EXPECT_STREQ(row.u8Unit, c.expect);
        EXPECT_EQ(row.f32OverLimit, stRangeInfoDEF.f32OverLimit);
    }
    engine->ProtoSensorFuncInfoSet(saved);
}

TEST_F(EngineModel, RangeParametersSelectRanges) {
    // Model, function, parameter, range index (or -100 - the error row).
    const std::tuple<const char*, int, Value, int> cases[] = {
        {"MV412", TYPE_DCV, f64(0.05), 0},   {"MV412", TYPE_DCV, f64(0.1), 0},    {"MV412", TYPE_DCV, f64(0.5), 1},
        {"MV412", TYPE_DCV, f64(100), 3},    {"MV412", TYPE_DCV, f64(100.01), 4}, {"MV412", TYPE_DCV, f64(-1), -1},
        {"MV412", TYPE_DCV, f64(-2), 0},     {"MV412", TYPE_DCV, f64(5000), 4},   {"MV412", TYPE_DCV, str("100mV"), 0},
        {"MV412", TYPE_DCV, str("1kv"), 4},  {"MV412", TYPE_DCI, str("10mA"), 2}, {"MV412", TYPE_DCV, str("10"), 2},
        {"MV412", TYPE_DCV, str("Max"), 4},  {"MV412", TYPE_ACV, str("def"), 2},  {"MV412", TYPE_DCI, str("AUTO"), -1},
        {"MV412", TYPE_OHM2, str("minimum"), 0},  {"MV412", TYPE_CAP, f64(0.002), 7},
        // AUTO is auto range on every function, whatever DEF stands for.
        {"MV412", TYPE_DCV, str("AUTO"), -1},     {"MV412E", TYPE_OHM2, str("auto"), -1},
        {"MV412", TYPE_ACV, str("Auto"), -1},
        {"MV412E", TYPE_CAP, f64(0.002), 6},      {"MV412E", TYPE_DCI, f64(2), 5},
        {"MV412E", TYPE_DCI, str("MAX"), 5},      {"MV412", TYPE_DCV, str("abc"), -131},
        {"MV412", TYPE_DCV, str(std::string(80, '1')), 4}, {"MV412", TYPE_DCV, Value(), -154},
        {"MV412", TYPE_DCV, str("nan"), -158},   {"MV412", TYPE_DCV, str("inf"), -158},
        {"MV412", TYPE_DCV, str("10 mv"), 0},    {"MV412", TYPE_DCV, str("1e999"), -156},
    };
    for (const auto& [model, func, value, expected] : cases) {
        engine->DM_CapabilityInit(model);
        double number = 0;
        int range = -7;
        const int result = engine->ScpiInputTransToMinMaxDef(func, value, number);
        if (result == 0) engine->ScpiInputRangeTransToRealRange(func, number, range);
        EXPECT_EQ(result ? -100 - result : range, expected) << model << " " << func << " " << value.ShortDebugString();
    }
    engine->DM_CapabilityInit("MV412");
    int range = 3;
    EXPECT_EQ(engine->ScpiInputRangeTransToRealRange(TYPE_CONT, 1.0, range), 54);
    EXPECT_EQ(range, 3);
}

TEST_F(EngineModel, NplcAndResolutionSelectRates) {
    // NPLC parameter -> rate (or -100 - the error row).
    const std::pair<Value, int> nplc[] = {
        {f64(0.4), E_Fast},   {f64(1), E_Fast},      {f64(5), E_Medium},   {f64(19.99), E_Medium},
        {f64(20), E_Slow},    {f64(100), E_Slow},    {str("MIN"), E_Fast}, {str("max"), E_Slow},
        {str("DEF"), E_Slow}, {str("auto"), E_Slow}, {str("7"), E_Medium}, {str("x"), -131},
        {s32(5), -154},
    };
    for (const auto& [value, expected] : nplc) {
        double n = 0;
        const int result = engine->ScpiNplcInputTransToRealNplc(value, n);
        EXPECT_EQ(result ? -100 - result : engine->NplcTransToRate(n), expected) << value.ShortDebugString();
    }
    // Function, range, resolution -> rate; and the resolution of a rate back.
    const std::tuple<int, int, double, int> rates[] = {
        {TYPE_DCV, 2, 1e-4, E_Slow}, {TYPE_DCV, 2, 1.01e-4, E_Medium}, {TYPE_DCV, 2, 0.1, E_Fast},
        {TYPE_DCV, 9, 1.0, E_Slow},  {TYPE_OHM2, -1, 10, E_Medium},     {TYPE_CAP, 0, 1.0, E_Slow},
    };
    for (const auto& [func, range, resolution, rate] : rates) {
        EXPECT_EQ(engine->ResolutionTransToRate(func, range, resolution), rate) << func << " " << range;
    }
    EXPECT_EQ(engine->RangeAndRateTransToResolution(TYPE_DCV, 1, E_Medium), 1e-4);
    EXPECT_EQ(engine->RangeAndRateTransToResolution(TYPE_CAP, 1, E_Slow), 0.0);
    EXPECT_EQ(engine->RangeAndRateTransToResolution(TYPE_DCV, 1, 3), 0.0);
    engine->DM_CapabilityInit("MV412E");
    EXPECT_EQ(engine->RangeAndRateTransToResolution(TYPE_DCI, 5, E_Slow), 3e-5);
}

TEST(EngineMsgTable, BindsOnlyHandledIdsAndNoneOfAnotherManager) {
    std::map<unsigned int, cb_func> engine;
    CDataManage::instance()->getCallbacks(engine);
    std::set<unsigned int> handled;
    for (const DataManageBinding& b : g_dataManageBindings) if (b.handler) handled.insert(b.id);
    std::set<unsigned int> bound;
    for (const auto& entry : engine) bound.insert(entry.first);
    EXPECT_EQ(bound, handled);
    EXPECT_FALSE(bound.empty());

    std::map<unsigned int, cb_func> others;
    Copperwren::Singleton<CSystemManage>::Instance()->getCallbacks(others);
    FunctionManage::instance().getCallbacks(others);
    Copperwren::Singleton<StorageManage>::Instance()->getCallbacks(others);
    HCopy::instance()->getCallbacks(others);
    ScpiManage::instance().getCallbacks(others);
    for (const DataManageBinding& b : g_dataManageBindings) {
        EXPECT_EQ(others.count(b.id), 0u) << b.name;
    }
}

} // namespace
