#pragma once
// Range and rate vocabulary of the measurement functions.
//
// Each range table maps a MeasureTypeEnum value, then a range index (-1 being
// the automatic value), to one form of the range: its nominal value in base
// units, its display text, or the number shown in that text. The instrument
// comes in two variants; the tables suffixed _MV412E serve every model other
// than "MV412" (their current index 5 is 3 A and capacitance stops at index 6).
// Continuity, diode and sensor have no ranges and no rows.
//
// All tables are complete before main() runs and read-only afterwards.

#include <cstdint>
#include <map>
#include <string>

using RangeValueTable = std::map<int32_t, std::map<int32_t, double>>;
using RangeTextTable = std::map<int32_t, std::map<int32_t, std::string>>;
using RangeRealValueTable = std::map<int32_t, std::map<int32_t, int32_t>>;

extern const RangeValueTable mapRangeEnumToValue;
extern const RangeValueTable mapRangeEnumToValue_MV412E;
extern const RangeTextTable mapRangeEnumToString;
extern const RangeTextTable mapRangeEnumToString_MV412E;
extern const RangeRealValueTable mapRangeEnumToRealValue;
extern const RangeRealValueTable mapRangeEnumToRealValue_MV412E;

// RateEnum -> the one-letter rate keyword of the remote-control queries.
extern const std::map<int32_t, std::string> mapRateEnumToString;
