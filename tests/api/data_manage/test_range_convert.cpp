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
        {"MV412E", TYPE_CAP, f64(0.002), 6},      {"MV412E", TYPE_DCI, f64(2), 5},
        {"MV412E", TYPE_DCI, str("MAX"), 5},      {"MV412", TYPE_DCV, str("abc"), -131},
        {"MV412", TYPE_DCV, str(std::string(64, '1')), -131}, {"MV412", TYPE_DCV, Value(), -154},
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
