// Range parameters of remote control turned into numbers and range indexes,
// on both models' tables.
#include <gtest/gtest.h>

#include <string>

#include "CDataManage.h"

namespace {

class RangeConvert : public ::testing::Test {
protected:
    void TearDown() override { engine->DM_CapabilityInit("MV412"); }
    // The range index `text` selects for `func`, or -100 - the error row.
    int rangeOf(int func, const Value& v) {
        double number = 0;
        const int result = engine->ScpiInputTransToMinMaxDef(func, v, number);
        if (result != 0) {
            return -100 - result;
        }
        int range = -7;
        engine->ScpiInputRangeTransToRealRange(func, number, range);
        return range;
    }
    static Value text(const std::string& s) {
        Value v;
        v.set_strval(s);
        return v;
    }
    static Value number(double d) {
        Value v;
        v.set_f64val(d);
        return v;
    }
    CDataManage* engine = CDataManage::instance();
};

} // namespace

TEST_F(RangeConvert, ValuesWordsAndUnitsSelectRanges) {
    struct Case {
        const char* model;
        int func;
        Value value;
        int range;
    };
    const Case cases[] = {
        {"MV412", TYPE_DCV, number(0.05), 0},    {"MV412", TYPE_DCV, number(0.1), 0},
        {"MV412", TYPE_DCV, number(0.5), 1},     {"MV412", TYPE_DCV, number(100), 3},
        {"MV412", TYPE_DCV, number(100.01), 4},  {"MV412", TYPE_DCV, number(-1), -1},
        {"MV412", TYPE_DCV, number(-2), 0},      {"MV412", TYPE_DCV, number(5000), 4},
        {"MV412", TYPE_DCV, text("100mV"), 0},   {"MV412", TYPE_DCV, text("1kv"), 4},
        {"MV412", TYPE_DCI, text("10mA"), 2},    {"MV412", TYPE_DCV, text("10"), 2},
        {"MV412", TYPE_DCV, text("Max"), 4},     {"MV412", TYPE_ACV, text("def"), 2},
        {"MV412", TYPE_DCI, text("AUTO"), -1},   {"MV412", TYPE_OHM2, text("minimum"), 0},
        {"MV412", TYPE_CAP, number(0.002), 7},   {"MV412E", TYPE_CAP, number(0.002), 6},
        {"MV412E", TYPE_DCI, number(2), 5},      {"MV412E", TYPE_DCI, text("MAX"), 5},
        {"MV412", TYPE_DCV, text("abc"), -131},  {"MV412", TYPE_DCV, text(std::string(64, '1')), -131},
        {"MV412", TYPE_DCV, Value(), -154},
    };
    for (const Case& c : cases) {
        engine->DM_CapabilityInit(c.model);
        EXPECT_EQ(rangeOf(c.func, c.value), c.range) << c.model << " " << c.func << " " << c.value.ShortDebugString();
    }
    int range = 3;
    EXPECT_EQ(engine->ScpiInputRangeTransToRealRange(TYPE_CONT, 1.0, range), 54);
    EXPECT_EQ(range, 3);
}
