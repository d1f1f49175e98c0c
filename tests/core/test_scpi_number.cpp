// Numeric parameters of remote control: read whole, rounded where an integer
// is needed, and refused rather than cut, wrapped or taken as NaN.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "ScpiNumber.h"

namespace {

using S = ScpiNumberStatus;

struct IntegerCase {
    std::string text;
    S status;
    int64_t value;
};

TEST(ScpiNumber, IntegersAreReadWholeRoundedAndNeverWrapped) {
    const ScpiNumberForms forms{false, true};
    const IntegerCase cases[] = {
        {"16", S::Ok, 16},          {" +3 ", S::Ok, 3},           {"1e2", S::Ok, 100},
        {"1.5", S::Ok, 2},          {"-1.5", S::Ok, -2},          {"2.4999", S::Ok, 2},
        {".5E+1", S::Ok, 5},        {"3.", S::Ok, 3},             {"#H1f", S::Ok, 31},
        {"#q17", S::Ok, 15},        {"#B101", S::Ok, 5},          {"2147483647", S::Ok, INT32_MAX},
        {"-2147483648", S::Ok, INT32_MIN},
        {"NaN", S::NotFinite, 0},   {"-INF", S::NotFinite, 0},    {"infinity", S::NotFinite, 0},
        {"9.9e37", S::OutOfRange, 0}, {"4294967301", S::OutOfRange, 0}, {"2147483648", S::OutOfRange, 0},
        {"1e400", S::OutOfRange, 0},  {"#HFFFFFFFFFFFFFFFFF", S::OutOfRange, 0}, {"1e19", S::OutOfRange, 0},
        {"", S::NotANumber, 0},     {"abc", S::NotANumber, 0},    {"1e", S::NotANumber, 0},
        {"12abc", S::NotANumber, 0}, {"1 5", S::NotANumber, 0},   {"0x10", S::NotANumber, 0},
        {"#H", S::NotANumber, 0},   {"#B102", S::NotANumber, 0},  {"#X1", S::NotANumber, 0},
        {"10 mv", S::NotANumber, 0}, {"--5", S::NotANumber, 0},   {"1.2.3", S::NotANumber, 0},
    };
    for (const IntegerCase& c : cases) {
        int64_t value = -7;
        EXPECT_EQ(ScpiReadInteger(c.text, forms, INT32_MIN, INT32_MAX, value), c.status) << c.text;
        EXPECT_EQ(value, c.status == S::Ok ? c.value : -7) << c.text;
    }
    // The non-decimal forms only where the parameter takes them.
    int64_t value = 0;
    EXPECT_EQ(ScpiReadInteger("#H1F", ScpiNumberForms{}, 0, 255, value), S::NotANumber);
}

TEST(ScpiNumber, UnitsApplyTheirMultiplierWhereTheParameterTakesOne) {
    const struct {
        const char* text;
        bool unit;
        S status;
        double value;
    } cases[] = {
        {"10 mv", true, S::Ok, 0.01}, {"1.5khz", true, S::Ok, 1500}, {"-2e-3", true, S::Ok, -0.002},
        {"5ua", true, S::Ok, 5e-6},   {"10 mV", true, S::NotANumber, 0}, {"5 q", true, S::NotANumber, 0},
        {"mv", true, S::NotANumber, 0}, {"1e308kv", true, S::OutOfRange, 0}, {"nan", true, S::NotFinite, 0},
        {"10mv", false, S::NotANumber, 0},
    };
    for (const auto& c : cases) {
        double value = -7;
        EXPECT_EQ(ScpiReadNumber(c.text, ScpiNumberForms{c.unit, false}, value), c.status) << c.text;
        EXPECT_DOUBLE_EQ(value, c.status == S::Ok ? c.value : -7) << c.text;
    }
}

} // namespace
