#pragma once
// Constant range rows of the measurement engine, the number of samples
// averaged per reading rate and the dual-display matrix. Plain constant data,
// complete before main() runs. The _MV412E rows serve every model other than
// "MV412" (top current range 3 A instead of 10 A).

#include <cstdint>

#include "EngineTypes.h"
#include "inc_enum.h"

constexpr int kRangeRowsDCV = 5;
constexpr int kRangeRowsACV = 5;
constexpr int kRangeRowsCurrent = 6;
constexpr int kRangeRowsOhm = 7;
constexpr int kRangeRowsCAP = 8;
// FREQ and PERIOD carry a fifth, all-zero row that no lookup selects.
constexpr int kRangeRowsCounter = 5;

extern const structRangeInfo stRangeInfoDCV[kRangeRowsDCV];
extern const structRangeInfo stRangeInfoACV[kRangeRowsACV];
extern const structRangeInfo stRangeInfoDCI[kRangeRowsCurrent];
extern const structRangeInfo stRangeInfoACI[kRangeRowsCurrent];
extern const structRangeInfo stRangeInfoDCI_MV412E[kRangeRowsCurrent];
extern const structRangeInfo stRangeInfoACI_MV412E[kRangeRowsCurrent];
extern const structRangeInfo stRangeInfo4WR[kRangeRowsOhm];  // OHM2 and OHM4
extern const structRangeInfo stRangeInfoCAP[kRangeRowsCAP];
extern const structRangeInfo stRangeInfoFREQ[kRangeRowsCounter];
extern const structRangeInfo stRangeInfoPERI[kRangeRowsCounter];
extern const structRangeInfo stRangeInfoCONT;
extern const structRangeInfo stRangeInfoDIOD;
// The row of a function outside 0-11, and the base of the sensor row.
extern const structRangeInfo stRangeInfoDEF;

// Samples averaged per reading, indexed by RateEnum.
extern const uint32_t u32RateSampleCount[3];

// [secondary][primary] by MeasureTypeEnum: 2 = the pair may be shown, 0 = not.
extern const uint8_t duaFuncMap[MEASURE_TYPE_COUNT][MEASURE_TYPE_COUNT];
