// Engine construction per model, the range-row lookup and spot checks of the
// constant tables where a transcription slip would hide.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "CDataManage.h"
#include "RangeInfoTables.h"

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
    }
}

TEST_F(EngineModel, RangeRowByFunctionRangeAndValue) {
    const double nan = std::nan("");
    struct Case {
        uint32_t func, range;
        double value;
        const structRangeInfo& expect;
    } cases[] = {
        {TYPE_FREQ, 0, 110, stRangeInfoFREQ[0]},
        {TYPE_FREQ, 0, 110.5, stRangeInfoFREQ[1]},
        {TYPE_FREQ, 0, 10500, stRangeInfoFREQ[2]},
        {TYPE_FREQ, 0, 200000, stRangeInfoFREQ[3]},
        {TYPE_FREQ, 0, nan, stRangeInfoFREQ[0]},
        {TYPE_PERIOD, 0, 10500, stRangeInfoPERI[3]},
        {TYPE_PERIOD, 0, 10000, stRangeInfoPERI[2]},
        {TYPE_PERIOD, 0, -5, stRangeInfoPERI[0]},
        {TYPE_PERIOD, 0, nan, stRangeInfoPERI[0]},
        {TYPE_DCV, 0xFFFFFFFFu, 0, stRangeInfoDCV[0]},  // automatic, not yet resolved
        {TYPE_DCV, 6, 0, stRangeInfoDCV[4]},            // a range of another function
        {TYPE_OHM2, 6, 0, stRangeInfo4WR[6]},
        {TYPE_OHM4, 3, 0, stRangeInfo4WR[3]},
        {TYPE_CAP, 9, 0, stRangeInfoCAP[7]},
        {TYPE_CONT, 3, 0, stRangeInfoCONT},
        {TYPE_DIODE, 0, 0, stRangeInfoDIOD},
        {12, 0, 0, stRangeInfoDEF},
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
    struct Case {
        bool temperature;
        const char* tempUnit;
        const char* customUnit;
        const char* expect;
    } cases[] = {
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

} // namespace
