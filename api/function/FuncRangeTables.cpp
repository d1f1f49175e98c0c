#include "FuncRangeTables.h"

#include <utility>
#include <vector>

#include "inc_enum.h"

namespace {

// One range in all its forms; the three tables are projections of these rows.
struct RangeRow {
    int32_t index;
    const char* text;
    double value;
    int32_t realValue;
};
using RangeRows = std::vector<RangeRow>;

const RangeRows kDcVoltageRows = {
    {-1, "10V", 10, 10},
    {0, "100mV", 0.1, 100},
    {1, "1V", 1, 1},
    {2, "10V", 10, 10},
    {3, "100V", 100, 100},
    {4, "1000V", 1000, 1000},
};

// AC voltage, and period and frequency which run on the AC voltage path.
const RangeRows kAcVoltageRows = {
    {-1, "10V", 10, 10},
    {0, "100mV", 0.1, 100},
    {1, "1V", 1, 1},
    {2, "10V", 10, 10},
    {3, "100V", 100, 100},
    {4, "750V", 750, 750},
};

const RangeRows kCurrentRows = {
    {-1, "100mA", 0.1, 100},
    {0, "100uA", 1e-4, 100},
    {1, "1mA", 1e-3, 1},
    {2, "10mA", 0.01, 10},
    {3, "100mA", 0.1, 100},
    {4, "1A", 1, 1},
    {5, "10A", 10, 10},
};

const RangeRows kCurrentRows_MV412E = {
    {-1, "100mA", 0.1, 100},
    {0, "100uA", 1e-4, 100},
    {1, "1mA", 1e-3, 1},
    {2, "10mA", 0.01, 10},
    {3, "100mA", 0.1, 100},
    {4, "1A", 1, 1},
    {5, "3A", 3, 3},
};

// The automatic row shows the whole number of ohms, unlike index 3.
const RangeRows kResistanceRows = {
    {-1, "100KΩ", 1e5, 100000},
    {0, "100Ω", 100, 100},
    {1, "1KΩ", 1e3, 1},
    {2, "10KΩ", 1e4, 10},
    {3, "100KΩ", 1e5, 100},
    {4, "1MΩ", 1e6, 1},
    {5, "10MΩ", 1e7, 10},
    {6, "100MΩ", 1e8, 100},
};

const RangeRows kCapacitanceRows = {
    {-1, "10uF", 1e-5, 10},
    {0, "1nF", 1e-9, 1},
    {1, "10nF", 1e-8, 10},
    {2, "100nF", 1e-7, 100},
    {3, "1uF", 1e-6, 1},
    {4, "10uF", 1e-5, 10},
    {5, "100uF", 1e-4, 100},
    {6, "1mF", 1e-3, 1},
    {7, "10mF", 0.01, 10},
};

const RangeRows kCapacitanceRows_MV412E = {
    {-1, "10uF", 1e-5, 10},
    {0, "1nF", 1e-9, 1},
    {1, "10nF", 1e-8, 10},
    {2, "100nF", 1e-7, 100},
    {3, "1uF", 1e-6, 1},
    {4, "10uF", 1e-5, 10},
    {5, "100uF", 1e-4, 100},
    {6, "1mF", 1e-3, 1},
};

using VariantRows = std::vector<std::pair<int32_t, const RangeRows*>>;

const VariantRows kVariantRows = {
    {TYPE_DCV, &kDcVoltageRows},      {TYPE_ACV, &kAcVoltageRows},
    {TYPE_DCI, &kCurrentRows},        {TYPE_ACI, &kCurrentRows},
    {TYPE_OHM2, &kResistanceRows},    {TYPE_OHM4, &kResistanceRows},
    {TYPE_PERIOD, &kAcVoltageRows},   {TYPE_FREQ, &kAcVoltageRows},
    {TYPE_CAP, &kCapacitanceRows},
};

const VariantRows kVariantRows_MV412E = {
    {TYPE_DCV, &kDcVoltageRows},      {TYPE_ACV, &kAcVoltageRows},
    {TYPE_DCI, &kCurrentRows_MV412E}, {TYPE_ACI, &kCurrentRows_MV412E},
    {TYPE_OHM2, &kResistanceRows},    {TYPE_OHM4, &kResistanceRows},
    {TYPE_PERIOD, &kAcVoltageRows},   {TYPE_FREQ, &kAcVoltageRows},
    {TYPE_CAP, &kCapacitanceRows_MV412E},
};

// Builds one table (function -> range index -> T) from one column of the rows.
template <typename T, typename Column>
std::map<int32_t, std::map<int32_t, T>> buildRangeTable(const VariantRows& variant,
                                                        Column RangeRow::*column) {
    std::map<int32_t, std::map<int32_t, T>> table;
    for (const auto& [func, rows] : variant) {
        auto& ranges = table[func];
        for (const RangeRow& row : *rows) {
            ranges.emplace(row.index, T(row.*column));
        }
    }
    return table;
}

} // namespace

const RangeValueTable mapRangeEnumToValue = buildRangeTable<double>(kVariantRows, &RangeRow::value);
const RangeValueTable mapRangeEnumToValue_MV412E =
    buildRangeTable<double>(kVariantRows_MV412E, &RangeRow::value);

const RangeTextTable mapRangeEnumToString = buildRangeTable<std::string>(kVariantRows, &RangeRow::text);
const RangeTextTable mapRangeEnumToString_MV412E =
    buildRangeTable<std::string>(kVariantRows_MV412E, &RangeRow::text);

const RangeRealValueTable mapRangeEnumToRealValue =
    buildRangeTable<int32_t>(kVariantRows, &RangeRow::realValue);
const RangeRealValueTable mapRangeEnumToRealValue_MV412E =
    buildRangeTable<int32_t>(kVariantRows_MV412E, &RangeRow::realValue);

const std::map<int32_t, std::string> mapRateEnumToString = {
    {E_Slow, "S"},
    {E_Medium, "M"},
    {E_Fast, "F"},
};
