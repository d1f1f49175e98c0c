// Decode and calibration on the simulated front end with its calibration set:
// the calibrated sample equals the input within one count of its range row.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "drv/vorna_adc/CVORNA_ADC.h"
#include "engine_fakes.h"
#include "platform/device_io.h"
#include "sim_calibration_set.h"
#include "sim_frontend.h"
#include "sim_registry.h"
#include "temp_root.h"

using namespace testing_support;

namespace {

class EngineOnSimulator : public ::testing::Test {
protected:
    void SetUp() override {
        if (!platform::devSimulated()) GTEST_SKIP() << "built with the kernel's devices";
        // The simulator keeps the engine's virtual time.
        platform::simFrontEnd().setClock([this] { return static_cast<int64_t>(clock.us); });
        engine->setClock(&clock);
        engine->DM_CapabilityInit("MV412");
        ASSERT_TRUE(adc().VORNA_ADC_Connect());
        adc().VORNA_ADC_SetMode412(true);
        adc().VORNA_ADC_SetCfgVer(1);
        ASSERT_GT(platform::simWriteCalibrationSet("/vorna/data"), 0);
        engine->DM_CalInit();
        engine->m_capDataTime = 0;
    }
    void TearDown() override {
        if (!platform::devSimulated()) return;
        platform::simFrontEnd().setClock(nullptr);
        platform::simFrontEnd().setInputs({});
        engine->setClock(&EngineClock::steady());
        std::filesystem::remove_all(root.host("/vorna/data"));
        engine->DM_CalInit();
    }
    static CVORNA_ADC& adc() { return CVORNA_ADC::instance(); }

    static structFuncConfig config(MeasureTypeEnum real, int32_t range) {
        structFuncConfig c = mainConfig(real, range, E_Slow, 7);
        c.s32AutoZ = 1;
        return c;
    }

    // Configures the front end and takes frames as the loop does, with the
    // function and record each belongs to, until the `nth` fresh sample (or
    // counter result, calibrated as FREQ); NaN when none came.
    double sample(MeasureTypeEnum func, const structFuncConfig& cfg, bool counter = false, int nth = 1) {
        adc().VORNA_ADC_UpdateConfig(func, cfg, true);
        for (int i = 0; i < 4000; ++i) {
            clock.sleepUs(1000);
            uint32_t f = 0;
            structFuncConfig frameCfg;
            int64_t raw = 0;
            const bool read = engine->DM_AcqData(f, frameCfg, nullptr, 34);
            const bool fresh = counter ? engine->DM_FreqData(frameCfg.eRealFunc, raw)
                                       : read && engine->DM_RawData(frameCfg.eRealFunc, frameCfg, nullptr, raw);
            if (!fresh || --nth > 0) continue;
            double value = 0;
            engine->DM_CalData(counter ? TYPE_FREQ : frameCfg.eRealFunc, counter ? 0 : frameCfg.s32Range, raw, value);
            return value;
        }
        return std::nan("");
    }

    // One count of the range row's display.
    double count(uint32_t func, int32_t range) {
        return 1.0 / engine->DM_GetRangeInfo(func, static_cast<uint32_t>(range), 0).u32Round;
    }

    TempRoot root;
    CDataManage* engine = CDataManage::instance();
    VirtualClock clock;
};

TEST_F(EngineOnSimulator, CalibratedSamplesEqualTheInputs) {
    struct Case {
        const char* what;
        MeasureTypeEnum func;
        int32_t range;
        platform::SimInputs in;
        double expect;  // in the display unit of the range row
    } cases[] = {
        {"DCV 1.234 V", TYPE_DCV, 2, {.dcVolts = 1.234}, 1.234},
        {"ACV 5 V at 1 kHz", TYPE_ACV, 2, {.acVolts = 5, .frequency = 1000}, 5},
        {"DCI 12 mA", TYPE_DCI, 3, {.dcAmps = 0.012}, 12},
        {"2-wire 4.7 kOhm", TYPE_OHM2, 2, {.ohms = 4700, .leadOhms = 0.5}, 4.701},
        {"4-wire 4.7 kOhm", TYPE_OHM4, 2, {.ohms = 4700, .leadOhms = 0.5}, 4.7},
        {"CAP 47 nF", TYPE_CAP, 2, {.farads = 47e-9}, 47},
        {"CAP 0.5 mF", TYPE_CAP, 6, {.farads = 0.5e-3}, 0.5},
    };
    double byFunc[MEASURE_TYPE_COUNT] = {};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        platform::simFrontEnd().setInputs(c.in);
        byFunc[c.func] = sample(c.func, config(c.func, c.range));
        EXPECT_NEAR(byFunc[c.func], c.expect, count(c.func, c.range));
    }
    // The two leads of 0.5 ohm, in kOhm.
    EXPECT_NEAR(byFunc[TYPE_OHM2] - byFunc[TYPE_OHM4], 0.001, 1e-6);
}

// Every capacitance range, counter and charge-slope alike, reads an input of
// a few thousandths of its full scale as well as full scale itself.
TEST_F(EngineOnSimulator, EveryCapacitanceRangeReadsItsInputsDownToASmallFraction) {
    const double fractions[] = {0.0022, 0.01, 0.05, 0.5, 1.0};
    for (int32_t range = 0; range <= 7; ++range) {
        const double fullScale = 1e-9 * std::pow(10.0, range);
        const double rowUnit = range < 3 ? 1e9 : range < 6 ? 1e6 : 1e3;  // nF, uF or mF
        for (double fraction : fractions) {
            SCOPED_TRACE(testing::Message() << "range " << range << ", " << fraction << " of full scale");
            platform::SimInputs in;
            in.farads = fraction * fullScale;
            platform::simFrontEnd().setInputs(in);
            EXPECT_NEAR(sample(TYPE_CAP, config(TYPE_CAP, range)), in.farads * rowUnit, count(TYPE_CAP, range));
        }
    }
}

TEST_F(EngineOnSimulator, CounterGivesTheInputFrequency) {
    platform::SimInputs in;
    in.acVolts = 5;
    in.frequency = 1000;
    platform::simFrontEnd().setInputs(in);
    // Selecting FREQ presets the counters: the first result is exact too.
    EXPECT_NEAR(sample(TYPE_FREQ, config(TYPE_ACV, 4), true, 1), 1000, 1e-3);
    EXPECT_NEAR(sample(TYPE_FREQ, config(TYPE_ACV, 4), true, 2), 1000, 1e-3);
}

} // namespace
