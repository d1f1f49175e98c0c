// Range and rate tables: checked against each other, against the default
// records and against the units in their own texts, so that a slip in one cell
// shows up without the test restating the tables.

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "FuncRangeTables.h"
#include "inc_type.h"

namespace {

const std::string kOhm = "\xCE\xA9";  // "Ω" in UTF-8

const std::vector<int32_t> kRangedFunctions = {TYPE_DCV,  TYPE_ACV, TYPE_DCI,    TYPE_ACI, TYPE_OHM2,
                                               TYPE_OHM4, TYPE_CAP, TYPE_PERIOD, TYPE_FREQ};

// The keys of a table or of one function's row, in order.
template <typename Map>
std::vector<int32_t> keys(const Map& map) {
    std::vector<int32_t> out;
    for (const auto& entry : map) out.push_back(entry.first);
    return out;
}

// Base-unit factor of a range text's unit, e.g. "mV" -> 1e-3; 0 if unknown.
double unitFactor(const std::string& unit) {
    static const std::vector<std::pair<std::string, double>> units = {
        {"mV", 1e-3}, {"V", 1},      {"uA", 1e-6},       {"mA", 1e-3},       {"A", 1},
        {kOhm, 1},    {"K" + kOhm, 1e3}, {"M" + kOhm, 1e6}, {"nF", 1e-9}, {"uF", 1e-6}, {"mF", 1e-3}};
    for (const auto& [text, factor] : units) {
        if (unit == text) return factor;
    }
    return 0;
}

struct Variant {
    const char* name;
    const RangeValueTable& values;
    const RangeTextTable& texts;
    const RangeRealValueTable& realValues;
};

const Variant kVariants[] = {
    {"MV412", mapRangeEnumToValue, mapRangeEnumToString, mapRangeEnumToRealValue},
    {"MV412E", mapRangeEnumToValue_MV412E, mapRangeEnumToString_MV412E, mapRangeEnumToRealValue_MV412E},
};

TEST(FuncRangeTables, IndicesRunFromAutomaticToTheDefaultHighestRangeOfTheNineRangedFunctions) {
    for (const Variant& v : kVariants) {
        SCOPED_TRACE(v.name);
        EXPECT_EQ(keys(v.values), kRangedFunctions);
        EXPECT_EQ(keys(v.texts), kRangedFunctions);
        EXPECT_EQ(keys(v.realValues), kRangedFunctions);
        for (int32_t func : kRangedFunctions) {
            SCOPED_TRACE(func);
            int32_t last = g_FuncCfg[func].s32RangeMax;
            if (func == TYPE_CAP && std::string(v.name) == "MV412E") {
                last = CAMP_1MF;  // the second variant has no 10 mF range
            }
            std::vector<int32_t> indices;
            for (int32_t i = -1; i <= last; ++i) indices.push_back(i);
            EXPECT_EQ(keys(v.values.at(func)), indices);
            EXPECT_EQ(keys(v.texts.at(func)), indices);
            EXPECT_EQ(keys(v.realValues.at(func)), indices);
        }
    }
}

TEST(FuncRangeTables, ValueTextAndRealValueAgree) {
    for (const Variant& v : kVariants) {
        for (const auto& [func, texts] : v.texts) {
            for (const auto& [index, text] : texts) {
                SCOPED_TRACE(std::string(v.name) + " func " + std::to_string(func) + " index " +
                             std::to_string(index) + " " + text);
                const double value = v.values.at(func).at(index);
                const int32_t real = v.realValues.at(func).at(index);
                const std::string number = std::to_string(std::stoi(text));
                ASSERT_EQ(text.compare(0, number.size(), number), 0);
                const double factor = unitFactor(text.substr(number.size()));
                ASSERT_NE(factor, 0.0) << "unknown unit";
                EXPECT_NEAR(value, std::stoi(text) * factor, value * 1e-12);
                if (index == -1 && (func == TYPE_OHM2 || func == TYPE_OHM4)) {
                    EXPECT_EQ(real, 100000);  // the automatic row counts whole ohms
                } else {
                    EXPECT_EQ(real, std::stoi(text));
                }
            }
        }
    }
}

TEST(FuncRangeTables, VariantsDifferOnlyInCurrentIndexFiveAndCapacitanceIndexSeven) {
    std::vector<std::string> differences;
    for (const auto& [func, texts] : mapRangeEnumToString) {
        for (const auto& [index, text] : texts) {
            const auto& other = mapRangeEnumToString_MV412E.at(func);
            auto found = other.find(index);
            if (found == other.end() || found->second != text ||
                mapRangeEnumToValue_MV412E.at(func).at(index) != mapRangeEnumToValue.at(func).at(index) ||
                mapRangeEnumToRealValue_MV412E.at(func).at(index) != mapRangeEnumToRealValue.at(func).at(index)) {
                differences.push_back(std::to_string(func) + ":" + std::to_string(index));
            }
        }
    }
    EXPECT_EQ(differences, (std::vector<std::string>{"2:5", "3:5", "6:7"}));

    EXPECT_EQ(mapRangeEnumToString.at(TYPE_DCI).at(5), "10A");
    for (int32_t func : {TYPE_DCI, TYPE_ACI}) {
        EXPECT_EQ(mapRangeEnumToString_MV412E.at(func).at(5), "3A");
        EXPECT_EQ(mapRangeEnumToValue_MV412E.at(func).at(5), 3.0);
        EXPECT_EQ(mapRangeEnumToRealValue_MV412E.at(func).at(5), 3);
    }
    // Voltage index 4 is 1000 V for DC only.
    EXPECT_EQ(mapRangeEnumToString.at(TYPE_DCV).at(4), "1000V");
    EXPECT_EQ(mapRangeEnumToString.at(TYPE_ACV).at(4), "750V");
    EXPECT_EQ(mapRangeEnumToString.at(TYPE_CAP).at(7), "10mF");
    EXPECT_EQ(mapRangeEnumToValue.at(TYPE_CAP).at(7), 0.01);
    EXPECT_EQ(mapRangeEnumToRealValue.at(TYPE_CAP).at(7), 10);
    EXPECT_EQ(mapRangeEnumToString_MV412E.at(TYPE_CAP).count(7), 0u);
}

} // namespace
