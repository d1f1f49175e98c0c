// Range parameters of remote control turned into numbers and range indexes,
// on both models' tables.
#include <gtest/gtest.h>

#include "CDataManage.h"
#include "proto_values.h"

TEST(RangeConvert, ValuesWordsAndUnitsSelectRanges) {
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
        {"MV412", TYPE_DCV, str("nan"), -131},   {"MV412", TYPE_DCV, str("inf"), -131},
    };
    CDataManage* engine = CDataManage::instance();
    for (const auto& [model, func, value, expected] : cases) {
        engine->DM_CapabilityInit(model);
        double number = 0;
        int range = -7;
        const int result = engine->ScpiInputTransToMinMaxDef(func, value, number);
        if (result == 0) {
            engine->ScpiInputRangeTransToRealRange(func, number, range);
        }
        EXPECT_EQ(result ? -100 - result : range, expected) << model << " " << func << " " << value.ShortDebugString();
    }
    engine->DM_CapabilityInit("MV412");
    int range = 3;
    EXPECT_EQ(engine->ScpiInputRangeTransToRealRange(TYPE_CONT, 1.0, range), 54);
    EXPECT_EQ(range, 3);
}

TEST(RangeConvert, NplcAndResolutionSelectRates) {
    CDataManage* engine = CDataManage::instance();
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
    engine->DM_CapabilityInit("MV412");
}
