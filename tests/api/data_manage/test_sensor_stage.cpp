// The engine's sensor stage: handlers on the edited definition, activation,
// evaluation of temperature and custom sensors, and the stored record.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "CDataManage.h"
#include "FunctionManage.h"
#include "drv/tempSens/DrvTemperatueTtoECali.h"
#include "drv/tempSens/DrvTemperaturerSensor.h"
#include "proto_values.h"

namespace {

using ValueMap = google::protobuf::Map<int, Value>;

Value f32(float v) { Value o; o.set_f32val(v); return o; }

class SensorStage : public ::testing::Test {
protected:
    CDataManage& engine = *CDataManage::instance();
    void SetUp() override {
        engine.SEN_Init();
        engine.m_coldJunctionRead = [this](float& c) { c = cold; return coldOk; };
    }
    void TearDown() override {
        engine.m_coldJunctionRead = nullptr;
        engine.SEN_Init();
        FunctionManage::instance().FM_SetFunction(TYPE_DCV);
    }
    int call(CDataManage::Handler h, int key, const Value& v) {
        ValueMap out;
        return (engine.*h)(0, request(key, v), &out);
    }
    int addPoint(int index, double x, double y, bool seg = false, int math = 0) {
        ValueMap in, out;
        in[0] = s32(index);
        in[1] = f64(x);
        in[2] = f64(y);
        in[3] = bval(seg);
        in[4] = s32(math);
        return engine.cbSensRefDataAdd(0, in, &out);
    }
    void customLine() {
        call(&CDataManage::cbSensTempOrCustomSet, 0x1707, bval(false));
        call(&CDataManage::cbSensCustomFuncSet, 0x1705, s32(TYPE_DCV));
        ASSERT_EQ(addPoint(-1, 0, 0, true), 0);
        ASSERT_EQ(addPoint(-1, 1000, 100), 0);
    }
    float cold = 23.5f;
    bool coldOk = true;
};

double emf(uint8_t type, double t) {
    double e = 0;
    DrvTempCali_TtoE(type, t, &e);
    return e;
}

TEST_F(SensorStage, ThermocoupleWithItsJunctionAndUnits) {
    ASSERT_EQ(engine.SensTypeSet(3), 0);  // K
    const double in = emf(3, 100) - emf(3, 23.5);
    struct Case { const char* unit; bool internal, readable; double expected; } cases[] = {
        {"\u2103", true, true, 100.0},    {"K", true, true, 373.15},  {"\u2109", true, true, 212.0},
        {"\u2103", true, false, 9.9e37},  {"K", true, false, 9.9e37},  // an unread junction is no temperature
        {"\u2103", false, false, 100.0},  // the user's junction value
    };
    ValueMap out;
    engine.cbSensUserColdSet(0, request(0x170A, f32(23.5f)), &out);
    for (const Case& c : cases) {
        coldOk = c.readable;
        call(&CDataManage::cbSensTempUnitSet, 0x1711, str(c.unit));
        call(&CDataManage::cbSensColdSaveSet, 0, bval(c.internal));
        ASSERT_EQ(engine.SensConfigLoad(), 0);
        EXPECT_NEAR(engine.SEN_Meas(in), c.expected, 0.06) << c.unit << c.internal << c.readable;
    }
    EXPECT_EQ(FunctionManage::instance().FM_GetFunction(), TYPE_SENSOR);
}

TEST_F(SensorStage, HandlersCheckAndClamp) {
    struct Case { CDataManage::Handler h; int key; Value v; int result; } cases[] = {
        {&CDataManage::cbSensRtdR0Set, 0x170B, f32(10), 131},     {&CDataManage::cbSensRtdR0Set, 0x170B, f32(3000), 130},
        {&CDataManage::cbSensUserColdSet, 0x170A, f32(1500), 130}, {&CDataManage::cbSensUserColdSet, 0x170A, f32(NAN), 56},
        {&CDataManage::cbSensNewId, 0x170E, s32(3), 55},          {&CDataManage::cbSensNewId, 0x170E, s32(1), 0},
        {&CDataManage::cbSensTempFuncSet, 0x1704, s32(TYPE_DCV), 55},  // an RTD measures resistance
        {&CDataManage::cbSensTempFuncSet, 0x1704, s32(TYPE_OHM4), 0},
        {&CDataManage::cbSensTypeSet, 0x1703, s32(4), 56},         {&CDataManage::cbSensCustomFuncSet, 0x1705, s32(TYPE_ACV), 55},
        {&CDataManage::cbSensRtdR0Set, 0x170C, f32(1), 8},
    };
    for (const Case& c : cases) EXPECT_EQ(call(c.h, c.key, c.v), c.result) << c.key;
    ValueMap out;
    engine.cbSensRtdR0Get(0, {}, &out);
    EXPECT_EQ(out[0x170B].f32val(), 2100.0f);
    engine.cbSensUserColdGet(0, {}, &out);
    EXPECT_EQ(out[0x170A].f32val(), 999.0f);
    // Long names are cut on a character boundary.
    call(&CDataManage::cbSensNameSet, 0x1706, str(std::string(17, 'a') + "\u2103\u2103"));
    call(&CDataManage::cbSensCustomUnitSet, 0x1712, str(std::string(14, 'b') + "\u2103"));
    engine.cbSensCustomUnitGet(0, {}, &out);
    EXPECT_EQ(out[0x1712].strval(), std::string(14, 'b'));
}

TEST_F(SensorStage, CustomCurveActivatesAndRestores) {
    customLine();
    ASSERT_EQ(engine.SensConfigLoad(), 0);
    EXPECT_DOUBLE_EQ(engine.SEN_Meas(500), 50);
    // A custom DCI curve resets the pass/fail limits.
    call(&CDataManage::cbSensCustomFuncSet, 0x1705, s32(TYPE_DCI));
    ASSERT_EQ(addPoint(-1, 0, 0, true), 0);
    ASSERT_EQ(addPoint(-1, 10, 1), 0);
    ASSERT_EQ(addPoint(-1, 20, 3, true, 1), 0);  // least squares of 1 point: refused
    EXPECT_EQ(engine.SensConfigLoad(), 132);
    EXPECT_DOUBLE_EQ(engine.SEN_Meas(500), 50);  // the active curve stays
    ValueMap out;
    EXPECT_EQ(engine.cbSensRefDataDel(0, request(0, s32(2)), &out), 0);
    ASSERT_EQ(engine.SensConfigLoad(), 0);
    ProtoMathFuncInfo math;
    engine.ProtoMathFuncInfoGet(math);
    EXPECT_EQ(math.mprotolimit().mf64high(), 0.2);
    EXPECT_DOUBLE_EQ(engine.SEN_Meas(5), 0.5);
    // The stored record brings the same curve back.
    ProtoSensorFuncInfo saved, defaults;
    engine.ProtoSensorFuncInfoGet(saved);
    engine.ProtoSensorFuncInfoDefault(defaults);
    EXPECT_TRUE(engine.SEN_Active()->bTempture);
    engine.ProtoSensorFuncInfoSet(saved);
    EXPECT_DOUBLE_EQ(engine.SEN_Meas(5), 0.5);
    // A stored record whose counts and x values lie is bounded and refused.
    saved.set_mu32totalpoint(100000);
    saved.mutable_mprotorefpoints(1)->set_mf64xvalue(0);
    engine.ProtoSensorFuncInfoSet(saved);
    EXPECT_EQ(engine.SensConfigLoad(), 132);
}

// Activation swaps the definition whole while the loop evaluates it.
TEST_F(SensorStage, ActivationNeverTearsAnEvaluation) {
    customLine();
    ASSERT_EQ(engine.SensConfigLoad(), 0);
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::thread loop([&] {
        while (!done) {
            const double v = engine.SEN_Meas(500);
            if (v != 50 && v != 100) ++torn;
        }
    });
    for (int i = 0; i < 200; ++i) {
        addPoint(1, 1000, i % 2 ? 100 : 200);  // replaces the second point
        ASSERT_EQ(engine.SensConfigLoad(), 0);
    }
    done = true;
    loop.join();
    EXPECT_EQ(torn.load(), 0);
}

} // namespace
