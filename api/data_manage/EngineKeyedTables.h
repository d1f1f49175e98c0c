#pragma once
// Keyed constant tables of the measurement engine: limits, unit words, full
// scales, resolutions and NPLC values. Built during static initialisation and
// read-only afterwards; a missing key is for the reader to handle. The
// _MV412E copies serve every model other than "MV412". Inner keys MIN, MAX and
// DEF are those of ConfigureEnum.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// function -> inner key (range index or MIN/MAX/DEF) -> value.
using F64KeyedTable = std::map<int32_t, std::map<int32_t, double>>;
// range index (-1 automatic) -> resolution at E_Slow, E_Medium, E_Fast.
using ResolutionByRateTable = std::map<int32_t, std::vector<double>>;
// resolution message code -> range index -> MIN/MAX/DEF resolution.
using ResolutionWordTable = std::map<uint32_t, std::map<int32_t, std::map<int32_t, double>>>;

// 110 % of each range's full scale, in the unit of its range row.
extern const F64KeyedTable F64LimitMap;
extern const F64KeyedTable F64LimitMap_MV412E;
// MIN -x, MAX +x, DEF 0 of a measured value in base units.
extern const F64KeyedTable scpiF64MEASLimitMap;
extern const F64KeyedTable scpiF64MEASLimitMap_MV412E;
// Unit word of the last-reading query.
extern const std::map<int32_t, std::string> mapDataUnit;

extern const ResolutionByRateTable rangeResolutionToRateMapVoltage;
extern const ResolutionByRateTable rangeResolutionToRateMapCurrent;
extern const ResolutionByRateTable rangeResolutionToRateMapCurrent_MV412E;
extern const ResolutionByRateTable rangeResolutionToRateMapOhm;
extern const ResolutionWordTable scpiF64ResolutionMap;

// Full scale of each range in SI units.
extern const F64KeyedTable scpiF64RealRangeMap;
extern const F64KeyedTable scpiF64RealRangeMap_MV412E;
// Smallest and largest full scale and the default range value (-1 automatic).
extern const F64KeyedTable scpiF64RangeLimitMap;
extern const F64KeyedTable scpiF64RangeLimitMap_MV412E;

// Bounds and default of an NPLC parameter.
extern const std::map<int32_t, double> scpiF64NplcLimitMap;
// RateEnum -> NPLC of that rate.
extern const std::map<int32_t, double> scpiF64NplcToRateMap;
