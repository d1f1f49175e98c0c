#include "EngineKeyedTables.h"

#include <initializer_list>

#include "inc_enum.h"

namespace {

using Inner = std::map<int32_t, double>;

// One inner map given to several functions (AC voltage serves PERIOD and
// FREQ; DC and AC current, 2- and 4-wire resistance share their rows).
F64KeyedTable byFunctions(std::initializer_list<std::pair<std::initializer_list<int32_t>, Inner>> rows) {
    F64KeyedTable table;
    for (const auto& [funcs, inner] : rows) {
        for (int32_t f : funcs) table[f] = inner;
    }
    return table;
}

Inner symmetric(double x) { return {{MIN, -x}, {MAX, x}, {DEF, 0}}; }

const Inner kLimitDcv = {{0, 110}, {1, 1.1}, {2, 11}, {3, 110}, {4, 1100}};
const Inner kLimitAcv = {{0, 110}, {1, 1.1}, {2, 11}, {3, 110}, {4, 825}};
const Inner kLimitOhm = {{0, 110}, {1, 1.1}, {2, 11}, {3, 110}, {4, 1.1}, {5, 11}, {6, 110}};
const Inner kLimitCur = {{0, 110}, {1, 1.1}, {2, 11}, {3, 110}, {4, 1.1}, {5, 11}};
const Inner kLimitCur_E = {{0, 110}, {1, 1.1}, {2, 11}, {3, 110}, {4, 1.1}, {5, 3.3}};
const Inner kLimitCap = {{0, 1.1}, {1, 11}, {2, 110}, {3, 1.1}, {4, 11}, {5, 110}, {6, 1.1}, {7, 11}};
const Inner kLimitCap_E = {{0, 1.1}, {1, 11}, {2, 110}, {3, 1.1}, {4, 11}, {5, 110}, {6, 1.1}};

F64KeyedTable measLimits(double current) {
    return byFunctions({{{TYPE_DCV}, symmetric(1100)},
                        {{TYPE_ACV}, symmetric(825)},
                        {{TYPE_DCI, TYPE_ACI}, symmetric(current)},
                        {{TYPE_OHM2, TYPE_OHM4}, symmetric(1.1e8)},
                        {{TYPE_CAP}, symmetric(0.11)},
                        {{TYPE_PERIOD}, symmetric(55)},
                        {{TYPE_FREQ}, symmetric(110000)},
                        {{TYPE_SENSOR}, symmetric(1e9)}});
}

// DC volts keep the 1000 V scale under index 5, none under 4: the range
// parameter never reads it (every value above 100 V selects index 4).
const Inner kRealDcv = {{0, 0.1}, {1, 1}, {2, 10}, {3, 100}, {5, 1000}};
const Inner kRealAcv = {{0, 0.1}, {1, 1}, {2, 10}, {3, 100}, {4, 750}};
const Inner kRealCur = {{0, 1e-4}, {1, 1e-3}, {2, 1e-2}, {3, 0.1}, {4, 1}, {5, 10}};
const Inner kRealCur_E = {{0, 1e-4}, {1, 1e-3}, {2, 1e-2}, {3, 0.1}, {4, 1}, {5, 3}};
const Inner kRealOhm = {{0, 100}, {1, 1e3}, {2, 1e4}, {3, 1e5}, {4, 1e6}, {5, 1e7}, {6, 1e8}};
const Inner kRealCap = {{0, 1e-9}, {1, 1e-8}, {2, 1e-7}, {3, 1e-6}, {4, 1e-5}, {5, 1e-4}, {6, 1e-3}, {7, 1e-2}};
const Inner kRealCap_E = {{0, 1e-9}, {1, 1e-8}, {2, 1e-7}, {3, 1e-6}, {4, 1e-5}, {5, 1e-4}, {6, 1e-3}};

Inner rangeLimit(double min, double max, double def) { return {{MIN, min}, {MAX, max}, {DEF, def}}; }

// MIN = DEF = the slow resolution, MAX = the fast one, per range index.
std::map<int32_t, Inner> resolutionWords(const ResolutionByRateTable& byRate) {
    std::map<int32_t, Inner> words;
    for (const auto& [range, res] : byRate) words[range] = {{MIN, res[E_Slow]}, {MAX, res[E_Fast]}, {DEF, res[E_Slow]}};
    return words;
}

} // namespace

const F64KeyedTable F64LimitMap = byFunctions({{{TYPE_DCV}, kLimitDcv},
                                               {{TYPE_ACV, TYPE_PERIOD, TYPE_FREQ}, kLimitAcv},
                                               {{TYPE_DCI, TYPE_ACI}, kLimitCur},
                                               {{TYPE_OHM2, TYPE_OHM4}, kLimitOhm},
                                               {{TYPE_CAP}, kLimitCap}});
const F64KeyedTable F64LimitMap_MV412E = byFunctions({{{TYPE_DCV}, kLimitDcv},
                                                      {{TYPE_ACV, TYPE_PERIOD, TYPE_FREQ}, kLimitAcv},
                                                      {{TYPE_DCI, TYPE_ACI}, kLimitCur_E},
                                                      {{TYPE_OHM2, TYPE_OHM4}, kLimitOhm},
                                                      {{TYPE_CAP}, kLimitCap_E}});

const F64KeyedTable scpiF64MEASLimitMap = measLimits(11);
const F64KeyedTable scpiF64MEASLimitMap_MV412E = measLimits(3.3);

const std::map<int32_t, std::string> mapDataUnit = {
    {TYPE_DCV, "VDC"},  {TYPE_ACV, "VAC"},  {TYPE_DCI, "ADC"},    {TYPE_ACI, "AAC"},
    {TYPE_OHM2, "OHMS"}, {TYPE_OHM4, "OHM4"}, {TYPE_CAP, "CAP"},  {TYPE_CONT, "CONT"},
    {TYPE_DIODE, "DIOD"}, {TYPE_PERIOD, "PER"}, {TYPE_FREQ, "FREQ"}, {TYPE_SENSOR, "SENS"},
};

const ResolutionByRateTable rangeResolutionToRateMapVoltage = {
    {-1, {1e-4, 1e-3, 1e-2}}, {0, {1e-6, 1e-5, 1e-4}}, {1, {1e-5, 1e-4, 1e-3}}, {2, {1e-4, 1e-3, 1e-2}},
    {3, {1e-3, 1e-2, 0.1}},   {4, {1e-2, 0.1, 1}},     {5, {1e-2, 0.1, 1}},
};
const ResolutionByRateTable rangeResolutionToRateMapCurrent = {
    {-1, {1e-6, 1e-5, 1e-4}}, {0, {1e-9, 1e-8, 1e-7}}, {1, {1e-8, 1e-7, 1e-6}}, {2, {1e-7, 1e-6, 1e-5}},
    {3, {1e-6, 1e-5, 1e-4}},  {4, {1e-5, 1e-4, 1e-3}}, {5, {1e-4, 1e-3, 1e-2}},
};
const ResolutionByRateTable rangeResolutionToRateMapCurrent_MV412E = {
    {-1, {1e-6, 1e-5, 1e-4}}, {0, {1e-9, 1e-8, 1e-7}}, {1, {1e-8, 1e-7, 1e-6}}, {2, {1e-7, 1e-6, 1e-5}},
    {3, {1e-6, 1e-5, 1e-4}},  {4, {1e-5, 1e-4, 1e-3}}, {5, {3e-5, 3e-4, 3e-3}},
};
const ResolutionByRateTable rangeResolutionToRateMapOhm = {
    {-1, {1, 10, 100}}, {0, {1e-3, 1e-2, 0.1}}, {1, {1e-2, 0.1, 1}},     {2, {0.1, 1, 10}},
    {3, {1, 10, 100}},  {4, {10, 100, 1000}},   {5, {100, 1000, 1e4}}, {6, {1000, 1e4, 1e5}},
};

// Both current codes take the MV412 rows, on either model.
const ResolutionWordTable scpiF64ResolutionMap = {
    {0x61E, resolutionWords(rangeResolutionToRateMapVoltage)},
    {0x61F, resolutionWords(rangeResolutionToRateMapVoltage)},
    {0x620, resolutionWords(rangeResolutionToRateMapCurrent)},
    {0x621, resolutionWords(rangeResolutionToRateMapCurrent)},
    {0x622, resolutionWords(rangeResolutionToRateMapOhm)},
    {0x623, resolutionWords(rangeResolutionToRateMapOhm)},
};

const F64KeyedTable scpiF64RealRangeMap = byFunctions({{{TYPE_DCV}, kRealDcv},
                                                       {{TYPE_ACV, TYPE_PERIOD, TYPE_FREQ}, kRealAcv},
                                                       {{TYPE_DCI, TYPE_ACI}, kRealCur},
                                                       {{TYPE_OHM2, TYPE_OHM4}, kRealOhm},
                                                       {{TYPE_CAP}, kRealCap}});
const F64KeyedTable scpiF64RangeLimitMap = byFunctions({{{TYPE_DCV}, rangeLimit(0.1, 1000, 1000)},
                                                        {{TYPE_ACV, TYPE_PERIOD, TYPE_FREQ}, rangeLimit(0.1, 750, 10)},
                                                        {{TYPE_DCI, TYPE_ACI}, rangeLimit(1e-4, 10, -1)},
                                                        {{TYPE_OHM2, TYPE_OHM4}, rangeLimit(100, 1e8, 1000)},
                                                        {{TYPE_CAP}, rangeLimit(1e-9, 0.01, -1)}});
const F64KeyedTable scpiF64RealRangeMap_MV412E = byFunctions({{{TYPE_DCV}, kRealDcv},
                                                              {{TYPE_ACV, TYPE_PERIOD, TYPE_FREQ}, kRealAcv},
                                                              {{TYPE_DCI, TYPE_ACI}, kRealCur_E},
                                                              {{TYPE_OHM2, TYPE_OHM4}, kRealOhm},
                                                              {{TYPE_CAP}, kRealCap_E}});
const F64KeyedTable scpiF64RangeLimitMap_MV412E = byFunctions({{{TYPE_DCV}, rangeLimit(0.1, 1000, 1000)},
                                                               {{TYPE_ACV, TYPE_PERIOD, TYPE_FREQ}, rangeLimit(0.1, 750, 10)},
                                                               {{TYPE_DCI, TYPE_ACI}, rangeLimit(1e-4, 3, -1)},
                                                               {{TYPE_OHM2, TYPE_OHM4}, rangeLimit(100, 1e8, 1000)},
                                                               {{TYPE_CAP}, rangeLimit(1e-9, 1e-3, -1)}});

const std::map<int32_t, double> scpiF64NplcLimitMap = {{MIN, 0.4}, {MAX, 20}, {DEF, 20}};
const std::map<int32_t, double> scpiF64NplcToRateMap = {{E_Slow, 20}, {E_Medium, 5}, {E_Fast, 0.4}};
