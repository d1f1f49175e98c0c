// Range tables checked against each other, the default records and the units
// in their own texts: a slip in one cell shows without restating the tables.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FuncRangeTables.h"
#include "inc_type.h"

namespace {

const std::string kOhm = "\xCE\xA9";  // "Ω" in UTF-8

// Base-unit factor of a range text's unit, e.g. "mV" -> 1e-3; 0 if unknown.
double unitFactor(const std::string& unit) {
    static const std::vector<std::pair<std::string, double>> units = {
        {"mV", 1e-3}, {"V", 1},          {"uA", 1e-6},      {"mA", 1e-3}, {"A", 1},     {kOhm, 1},
        {"K" + kOhm, 1e3}, {"M" + kOhm, 1e6}, {"nF", 1e-9}, {"uF", 1e-6}, {"mF", 1e-3}};
    for (const auto& [text, factor] : units) if (unit == text) return factor;
    return 0;
}

template <typename Map>
std::vector<int32_t> keys(const Map& map) {
    std::vector<int32_t> out;
    for (const auto& entry : map) out.push_back(entry.first);
    return out;
}

TEST(FuncRangeTables, IndicesValuesTextsAndRealValuesAgree) {
    const std::vector<int32_t> ranged = {TYPE_DCV,  TYPE_ACV, TYPE_DCI,    TYPE_ACI, TYPE_OHM2,
                                         TYPE_OHM4, TYPE_CAP, TYPE_PERIOD, TYPE_FREQ};
    const struct {
        const char* name;
        const RangeValueTable& values;
        const RangeTextTable& texts;
        const RangeRealValueTable& realValues;
    } variants[] = {
        {"MV412", mapRangeEnumToValue, mapRangeEnumToString, mapRangeEnumToRealValue},
        {"MV412E", mapRangeEnumToValue_MV412E, mapRangeEnumToString_MV412E, mapRangeEnumToRealValue_MV412E},
    };
    for (const auto& v : variants) {
        EXPECT_EQ(keys(v.values), ranged);
        EXPECT_EQ(keys(v.realValues), ranged);
        ASSERT_EQ(keys(v.texts), ranged);
        for (const auto& [func, texts] : v.texts) {
            // From automatic (-1) to the default record's highest range; the
            // second variant has no 10 mF range.
            const bool noTenMf = func == TYPE_CAP && std::string(v.name) == "MV412E";
            const int32_t last = noTenMf ? CAMP_1MF : g_FuncCfg[func].s32RangeMax;
            std::vector<int32_t> indices;
            for (int32_t i = -1; i <= last; ++i) indices.push_back(i);
            EXPECT_EQ(keys(texts), indices) << v.name << " " << func;
            EXPECT_EQ(keys(v.values.at(func)), indices) << v.name << " " << func;
            EXPECT_EQ(keys(v.realValues.at(func)), indices) << v.name << " " << func;
            for (const auto& [index, text] : texts) {
                SCOPED_TRACE(std::string(v.name) + " " + std::to_string(func) + "/" + std::to_string(index) + " " + text);
                const double value = v.values.at(func).at(index);
                const std::string number = std::to_string(std::stoi(text));
                ASSERT_EQ(text.compare(0, number.size(), number), 0);
                const double factor = unitFactor(text.substr(number.size()));
                ASSERT_NE(factor, 0.0) << "unknown unit";
                EXPECT_NEAR(value, std::stoi(text) * factor, value * 1e-12);
                // The automatic resistance row counts whole ohms.
                const bool autoOhms = index == -1 && (func == TYPE_OHM2 || func == TYPE_OHM4);
                EXPECT_EQ(v.realValues.at(func).at(index), autoOhms ? 100000 : std::stoi(text));
            }
        }
    }
}

} // namespace
