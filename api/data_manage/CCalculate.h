#pragma once
// Math on the readings of the main display: relative offset per function, dB
// and dBm, running statistics and the pass/fail limit test, all in the base
// unit of remote control; the UI gets them in the unit of the range shown.
// The state lives in this unit's globals and in CDataManage::stCalcConfig;
// all of it is guarded by the engine's buffer mutex, which the measurement
// loop holds while it processes a reading.

#include <cstdint>

typedef enum {
    MATH_NONE = 0,
    MATH_RELATIVE = 1,
    MATH_DB = 2,
    MATH_DBM = 3,
    MATH_MIN_MAX = 7,
    MATH_LIMIT = 8,
} enumMathFunc;

// Which statistic the UI shows; stored only.
typedef enum {
    MATH_TOTAL_MAX = 0,
    MATH_TOTAL_MIN = 1,
    MATH_TOTAL_AVE = 2,
    MATH_TOTAL_STD = 3,
    MATH_TOTAL_COUNT = 4,
    MATH_TOTAL_ALL = 5,
} enumMathTotal;

typedef enum {
    LIMIT_PASS = 0,
    LIMIT_FAIL = 1,
} enumMathLmtStat;

struct structMathAver {
    double f64Min;     // -9.9e37 once a negative overload was seen
    double f64Max;     // 9.9e37 once a positive overload was seen
    double f64Aver;    // ±9.9e37 while an overload is held
    uint64_t u64Count; // 0: the next reading restarts the statistics
    double f64SDev;    // sample standard deviation; ±9.9e37 while held
    bool bMin, bMax, bAver;
};

struct structFuncLimit {
    double f64Low;        // base unit of remote control (V, A, ohm, Hz, s, F)
    double f64High;
    double f64LastValue;  // the last failing reading
    uint32_t highCount;
    uint32_t lowCount;
    uint32_t passCount;
    uint8_t u8LmtOpr;
    enumMathLmtStat euLmtStat;
    uint8_t u8LimitResult;  // latest reading: 0 pass, 1 above, 2 below
};

struct structMathPara {
    bool bMathSwitch;  // off: only the relative offset applies
    enumMathFunc euMathFunc;
    double f64Relative;
    structMathAver stAver;
    double f64Db;      // dB reference in dBm
    uint32_t u32RefR;  // dBm reference resistance in ohms
    structFuncLimit stLimit;
};

// Relative offset of one function, in its base unit, so that it holds on
// every range and frequency band.
struct structCalcConfig {
    bool bRELEnable;
    bool bAutoEnable;  // the offset was taken from a reading
    double f64RELValue;
    bool bTakeNext;    // the offset comes from the next reading (none was there)
};

extern structMathPara g_stMathPara;
extern structMathPara g_stMathParaLast;
extern double g_f64MathValue;
extern double g_f64SDevAverCurr;
extern double g_f64SDevQCurr;
