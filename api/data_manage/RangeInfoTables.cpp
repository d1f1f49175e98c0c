#include "RangeInfoTables.h"

namespace {

// Display and auto-range rows shared by the DC and AC variants of a quantity;
// only the sign rule differs between them.
struct RowShape {
    const char* unit;
    const char* format;
    const char* fastFormat;
    float round, minUnite, overLimit, autoLower, autoUpper, calLimit;
};

constexpr structRangeInfo row(const RowShape& s, bool negative, const char* over = "OVER LOAD") {
    structRangeInfo r{};
    for (int i = 0; s.unit[i] && i < 3; ++i) r.u8Unit[i] = s.unit[i];
    for (int i = 0; s.format[i] && i < 9; ++i) r.u8Format[i] = s.format[i];
    for (int i = 0; s.fastFormat[i] && i < 9; ++i) r.u8FastFmt[i] = s.fastFormat[i];
    for (int i = 0; over[i] && i < 9; ++i) r.u8Over[i] = over[i];
    r.zHasNegative = negative;
    r.u32Round = s.round;
    r.f32MinUnite = s.minUnite;
    r.f32OverLimit = s.overLimit;
    r.f32AutoLower = s.autoLower;
    r.f32AutoUpper = s.autoUpper;
    r.f32CalLimit = s.calLimit;
    return r;
}

constexpr RowShape kVolt[5] = {
    {"mV", "%+08.3lf", "%+07.2lf", 1000, 1, 120, -1, 110, 120},
    {"V", "%+08.5lf", "%+07.4lf", 100000, 1000, 1.2f, 100, 1100, 1.2f},
    {"V", "%+08.4lf", "%+07.3lf", 10000, 1000, 12, 1000, 11000, 12},
    {"V", "%+08.3lf", "%+07.2lf", 1000, 1000, 120, 10000, 110000, 120},
    {"V", "%+08.2lf", "%+07.1lf", 100, 1000, 1100, 100000, 1.1e6f, 1200},
};
constexpr RowShape kAcVoltTop = {"V", "%+07.2lf", "%+06.1lf", 100, 1000, 800, 100000, 110000, 900};

constexpr RowShape kCurrent[6] = {
    {"uA", "%+08.3lf", "%+07.2lf", 1000, 1, 120, -1, 110, 120},
    {"mA", "%+08.5lf", "%+07.4lf", 100000, 1000, 1.2f, 100, 1100, 1.2f},
    {"mA", "%+08.4lf", "%+07.3lf", 10000, 1000, 12, 1000, 11000, 12},
    {"mA", "%+08.3lf", "%+07.2lf", 1000, 1000, 120, 10000, 110000, 120},
    {"A", "%+08.5lf", "%+07.4lf", 100000, 1000000, 1.2f, 100000, 1.1e6f, 1.2f},
    {"A", "%+08.4lf", "%+07.3lf", 10000, 1000000, 11, 1000000, 1.1e7f, 12},
};
constexpr RowShape kCurrentTop_MV412E = {"A", "%+08.4lf", "%+07.3lf", 100000, 1000000, 3.15f, 300000, 3300000, 3.6f};

#define OHM "\xCE\xA9"
constexpr RowShape kOhm[7] = {
    {OHM, "%+08.3lf", "%+07.2lf", 1000, 1, 120, -1, 110, 120},
    {"K" OHM, "%+08.5lf", "%+07.4lf", 100000, 1000, 1.2f, 100, 1100, 1.2f},
    {"K" OHM, "%+08.4lf", "%+07.3lf", 10000, 1000, 12, 1000, 11000, 12},
    {"K" OHM, "%+08.3lf", "%+07.2lf", 1000, 1000, 120, 10000, 110000, 120},
    {"M" OHM, "%+08.5lf", "%+07.4lf", 100000, 1000000, 1.2f, 100000, 1.1e6f, 1.2f},
    {"M" OHM, "%+08.4lf", "%+07.3lf", 10000, 1000000, 12, 1000000, 1.1e7f, 12},
    {"M" OHM, "%+07.3lf", "%+06.2lf", 1000, 1000000, 60, 1e7f, 1.1e8f, 60},
};

constexpr RowShape kCap[8] = {
    {"nF", "%+06.3lf", "%+06.3lf", 1000, 1, 1.2f, -1, 1.1f, 1.2f},
    {"nF", "%+06.2lf", "%+06.2lf", 100, 1, 12, 1, 11, 12},
    {"nF", "%+06.1lf", "%+06.1lf", 10, 1, 120, 10, 110, 120},
    {"uF", "%+06.3lf", "%+06.3lf", 1000, 1000, 1.2f, 100, 1100, 1.2f},
    {"uF", "%+06.2lf", "%+06.2lf", 100, 1000, 12, 1000, 11000, 12},
    {"uF", "%+06.1lf", "%+06.1lf", 10, 1000, 120, 10000, 110000, 120},
    {"mF", "%+06.3lf", "%+06.3lf", 1000, 1000000, 1.2f, 100000, 1.1e6f, 1.2f},
    {"mF", "%+06.2lf", "%+06.2lf", 100, 1000000, 12, 1000000, 1.1e7f, 12},
};

constexpr RowShape kFreq[4] = {
    {"Hz", "%+08.3lf", "%+08.3lf", 10000, 1, 120, 1, 110, 120},
    {"KHz", "%+08.5lf", "%+08.5lf", 1000, 1000, 1200, 100, 1100, 1200},
    {"KHz", "%+08.4lf", "%+08.4lf", 100000, 1000, 12000, 1000, 11000, 12000},
    {"KHz", "%+08.3lf", "%+08.3lf", 10000, 1000, 120000, 10000, 110000, 120000},
};

constexpr RowShape kPeriod[4] = {
    {"us", "%+08.3lf", "%+08.3lf", 10000, 1, 120, -1, 110, 120},
    {"ms", "%+08.5lf", "%+08.5lf", 1000, 1000, 1200, 100, 1100, 1200},
    {"ms", "%+08.4lf", "%+08.4lf", 100000, 1000, 12000, 1000, 10000, 12000},
    {"ms", "%+08.3lf", "%+08.3lf", 10000, 1000, 120000, 10000, 100000, 120000},
};

} // namespace

const structRangeInfo stRangeInfoDCV[kRangeRowsDCV] = {
    row(kVolt[0], true), row(kVolt[1], true), row(kVolt[2], true), row(kVolt[3], true), row(kVolt[4], true),
};
const structRangeInfo stRangeInfoACV[kRangeRowsACV] = {
    row(kVolt[0], false), row(kVolt[1], false), row(kVolt[2], false), row(kVolt[3], false), row(kAcVoltTop, false),
};

const structRangeInfo stRangeInfoDCI[kRangeRowsCurrent] = {
    row(kCurrent[0], true), row(kCurrent[1], true), row(kCurrent[2], true),
    row(kCurrent[3], true), row(kCurrent[4], true), row(kCurrent[5], true),
};
const structRangeInfo stRangeInfoACI[kRangeRowsCurrent] = {
    row(kCurrent[0], false), row(kCurrent[1], false), row(kCurrent[2], false),
    row(kCurrent[3], false), row(kCurrent[4], false), row(kCurrent[5], false),
};
const structRangeInfo stRangeInfoDCI_MV412E[kRangeRowsCurrent] = {
    row(kCurrent[0], true), row(kCurrent[1], true), row(kCurrent[2], true),
    row(kCurrent[3], true), row(kCurrent[4], true), row(kCurrentTop_MV412E, true),
};
const structRangeInfo stRangeInfoACI_MV412E[kRangeRowsCurrent] = {
    row(kCurrent[0], false), row(kCurrent[1], false), row(kCurrent[2], false),
    row(kCurrent[3], false), row(kCurrent[4], false), row(kCurrentTop_MV412E, false),
};

const structRangeInfo stRangeInfo4WR[kRangeRowsOhm] = {
    row(kOhm[0], false), row(kOhm[1], false), row(kOhm[2], false), row(kOhm[3], false),
    row(kOhm[4], false), row(kOhm[5], false), row(kOhm[6], false),
};

const structRangeInfo stRangeInfoCAP[kRangeRowsCAP] = {
    row(kCap[0], false), row(kCap[1], false), row(kCap[2], false), row(kCap[3], false),
    row(kCap[4], false), row(kCap[5], false), row(kCap[6], false), row(kCap[7], false),
};

const structRangeInfo stRangeInfoFREQ[kRangeRowsCounter] = {
    row(kFreq[0], false), row(kFreq[1], false), row(kFreq[2], false), row(kFreq[3], false), structRangeInfo{},
};
const structRangeInfo stRangeInfoPERI[kRangeRowsCounter] = {
    row(kPeriod[0], false), row(kPeriod[1], false), row(kPeriod[2], false), row(kPeriod[3], false),
    structRangeInfo{},
};

const structRangeInfo stRangeInfoCONT =
    row({OHM, "%+05.1lf", "%+05.1lf", 10, 1, 1200, -1, 1000, 1200}, false, "OPEN");
const structRangeInfo stRangeInfoDIOD =
    row({"V", "%+07.4lf", "%+07.4lf", 10000, 1, 2.1f, -1, 2.1f, 2.1f}, false, "OPEN");
const structRangeInfo stRangeInfoDEF = row({"??", "%+08.3lf", "%+08.3lf", 1000, 1, 1e9f, -1, 9999, 1e9f}, true);
#undef OHM

const uint32_t u32RateSampleCount[3] = {50, 20, 2};

// Rows: secondary function; columns: primary function, both in
// MeasureTypeEnum order DCV ACV DCI ACI OHM2 OHM4 CAP CONT DIODE PERIOD FREQ SENSOR.
const uint8_t duaFuncMap[MEASURE_TYPE_COUNT][MEASURE_TYPE_COUNT] = {
    {2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},  // DCV
    {0, 2, 0, 0, 0, 0, 0, 0, 0, 2, 2, 0},  // ACV
    {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0},  // DCI
    {0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0},  // ACI
    {0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0},  // OHM2
    {0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0},  // OHM4
    {0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0},  // CAP
    {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},  // CONT
    {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},  // DIODE
    {0, 2, 0, 2, 0, 0, 0, 0, 0, 2, 0, 0},  // PERIOD
    {0, 2, 0, 2, 0, 0, 0, 0, 0, 0, 2, 0},  // FREQ
    {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},  // SENSOR
};
