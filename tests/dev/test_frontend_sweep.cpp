#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "frontend_test_support.h"
#include "sim_frontend_scale.h"

namespace {

using FrontEndSweep = testing_support::FrontEndTest;

int64_t le(const uint8_t* bytes, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v |= static_cast<uint64_t>(bytes[i]) << (8 * i);
    return static_cast<int64_t>(v << (64 - 8 * n)) >> (64 - 8 * n);
}

// Ranges that share a gain with a larger full scale of the same hardware (or
// of the same key on the other model) sit below 2,000,000 counts at half scale.
struct Counts {
    MeasureTypeEnum func;
    int32_t range;
    int model;  // 0 both, 1 MV412, 2 MV412E
    int64_t counts;
};
constexpr Counts kSharedGain[] = {
    {TYPE_DCI, 4, 0, 200000},  {TYPE_DCI, 5, 2, 600000}, {TYPE_ACI, 5, 2, 600000},
    {TYPE_CAP, 0, 0, 20000},   {TYPE_CAP, 1, 0, 200000}, {TYPE_CAP, 3, 0, 200000},
    {TYPE_CAP, 6, 0, 1250000}, {TYPE_CAP, 7, 1, 833333},
};

int64_t expectedCounts(MeasureTypeEnum func, int32_t range, bool is412) {
    for (const Counts& c : kSharedGain) {
        if (c.func == func && c.range == range && (c.model == 0 || c.model == (is412 ? 1 : 2))) return c.counts;
    }
    return 2000000;
}

// Full scale in V, A, ohm or F, as the range tables give it.
double fullScale(MeasureTypeEnum func, int32_t range, bool is412) {
    switch (func) {
        case TYPE_DCV: return range == 4 ? 1000 : 0.1 * std::pow(10, range);
        case TYPE_ACV:
        case TYPE_FREQ:
        case TYPE_PERIOD: return range == 4 ? 750 : 0.1 * std::pow(10, range);
        case TYPE_DCI:
        case TYPE_ACI: return range == 5 ? (is412 ? 10 : 3) : 1e-4 * std::pow(10, range);
        case TYPE_OHM2:
        case TYPE_OHM4: return 100 * std::pow(10, range);
        case TYPE_CAP: return 1e-9 * std::pow(10, range);
        case TYPE_CONT: return 1000;
        default: return 2;  // diode
    }
}

// From SI to the unit of the range row (mV, uA, kOhm, nF, ...).
double displayUnit(MeasureTypeEnum func, int32_t range) {
    switch (func) {
        case TYPE_DCV:
        case TYPE_ACV: return range == 0 ? 1e3 : 1;
        case TYPE_DCI:
        case TYPE_ACI: return range == 0 ? 1e6 : range < 4 ? 1e3 : 1;
        case TYPE_OHM2:
        case TYPE_OHM4: return range == 0 ? 1 : range < 4 ? 1e-3 : 1e-6;
        case TYPE_CAP: return range < 3 ? 1e9 : range < 6 ? 1e6 : 1e3;
        default: return 1;
    }
}

platform::SimInputs halfScale(MeasureTypeEnum func, double half) {
    platform::SimInputs in;
    in.leadOhms = 0.25;
    in.frequency = 1000;
    switch (func) {
        case TYPE_DCV: in.dcVolts = half; break;
        case TYPE_ACV:
        case TYPE_FREQ:
        case TYPE_PERIOD: in.acVolts = half; break;
        case TYPE_DCI: in.dcAmps = half; break;
        case TYPE_ACI: in.acAmps = half; break;
        case TYPE_OHM2:
        case TYPE_CONT: in.ohms = half - 2 * in.leadOhms; break;  // the leads are in series
        case TYPE_OHM4: in.ohms = half; break;
        case TYPE_CAP: in.farads = half; break;
        default: in.diodeVolts = half; break;
    }
    return in;
}

struct Sweep {
    MeasureTypeEnum func;
    int32_t ranges412, ranges412E;
};
constexpr Sweep kSweep[] = {
    {TYPE_DCV, 5, 5},  {TYPE_ACV, 5, 5},  {TYPE_DCI, 6, 6},  {TYPE_ACI, 6, 6},  {TYPE_OHM2, 7, 7},   {TYPE_OHM4, 7, 7},
    {TYPE_CAP, 8, 7},  {TYPE_CONT, 1, 1}, {TYPE_DIODE, 1, 1}, {TYPE_FREQ, 5, 5}, {TYPE_PERIOD, 5, 5},
};

// The display value a key's calibration set gives for `raw`.
double calibrated(MeasureTypeEnum func, int32_t range, double raw) {
    for (const platform::SimKeyScale& key : platform::simCalibrationKeys()) {
        if (key.func == func && key.range == range) return raw * key.fullScale / key.rawAtFullScale;
    }
    ADD_FAILURE() << "no calibration key " << func << "/" << range;
    return 0;
}

class SweepRun {
public:
    SweepRun(CVORNA_ADC& adc, std::function<void(int64_t)> advanceMs) : _adc(adc), _advance(std::move(advanceMs)) {}

    // The raw value the engine decodes from this configuration's frames.
    int64_t measure(MeasureTypeEnum func, int32_t range) {
        if (func == TYPE_FREQ || func == TYPE_PERIOD) {
            _advance(20);  // past the 10 ms gate
            read();
            EXPECT_EQ(_frame[30] & 0x01, 0x01);
            return le(_frame + 24, 3) * 9000000000LL / (le(_frame + 27, 3) + 4194304);
        }
        if (func == TYPE_CAP && range < 6) {
            _advance(300);
            read();
            EXPECT_EQ(_frame[30] & 0x01, 0x01);
            return le(_frame + 21, 3) * 1000 / le(_frame + 24, 3);
        }
        if (func == TYPE_CAP) {
            const int wait = range == 6 ? 300 : 400;
            _adc.VORNA_ADC_Charge();
            _advance(100);
            int64_t first = readDc();
            _advance(wait - 100);
            int64_t second = readDc();
            _adc.VORNA_ADC_Discharge();
            return 10000000000LL / (second - first);
        }
        read();
        if (func == TYPE_ACV || func == TYPE_ACI) {
            EXPECT_EQ(_frame[30] & 0x10, 0x10);
            return static_cast<int64_t>(std::sqrt(static_cast<double>(le(_frame + 9, 5))) * 100);
        }
        EXPECT_EQ(_frame[30] & 0x04, 0x04);
        return le(_frame, 3);
    }

private:
    void read() {
        uint32_t func;
        structFuncConfig cfg;
        ASSERT_TRUE(_adc.VORNA_ADC_AcqData(func, cfg, _frame, 34));
    }
    int64_t readDc() {
        read();
        return le(_frame, 3);
    }

    CVORNA_ADC& _adc;
    std::function<void(int64_t)> _advance;
    uint8_t _frame[34] = {};
};

TEST_F(FrontEndSweep, HalfScaleReadsHalfTheCountsAndCalibratesToTheInput) {
    SweepRun run(adc, [this](int64_t ms) { advanceMs(ms); });
    for (bool is412 : {true, false}) {
        adc.VORNA_ADC_SetMode412(is412);
        for (const Sweep& s : kSweep) {
            const int32_t ranges = is412 ? s.ranges412 : s.ranges412E;
            for (int32_t range = 0; range < ranges; ++range) {
                SCOPED_TRACE(testing::Message() << (is412 ? "MV412 " : "MV412E ") << s.func << "/" << range);
                const double half = fullScale(s.func, range, is412) / 2;
                sim().setInputs(halfScale(s.func, half));
                structFuncConfig cfg = config(s.func, range, E_Slow, ranges - 1);
                cfg.eRealFunc = s.func == TYPE_FREQ || s.func == TYPE_PERIOD ? TYPE_ACV : s.func;
                testing::internal::CaptureStdout();  // the relay switch lines
                adc.VORNA_ADC_UpdateConfig(s.func, cfg, true);
                testing::internal::GetCapturedStdout();
                const int64_t raw = run.measure(s.func, range);
                if (s.func == TYPE_FREQ || s.func == TYPE_PERIOD) {
                    EXPECT_NEAR(raw, 1000000, 1);  // mHz, within 1 ppm
                    EXPECT_DOUBLE_EQ(calibrated(TYPE_FREQ, 0, raw), 1000.0);
                    continue;
                }
                EXPECT_NEAR(raw, expectedCounts(s.func, range, is412), 1);
                const double input = half * displayUnit(s.func, range);
                EXPECT_NEAR(calibrated(s.func, range, raw), input, input * 2e-5);
            }
        }
    }
}

}  // namespace
