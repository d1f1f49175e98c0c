#pragma once
// Records of the measurement engine shared by its tables, its manager and the
// readers of its range rows.

#include <cstdint>

// One display and auto-range row of a function's range. Units are those of the
// row's display unit unless said otherwise.
struct structRangeInfo {
    char u8Unit[4];       // unit text, UTF-8, NUL-terminated ("Ω" is CE A9)
    char u8Format[10];    // printf format of the reading at the slow rate
    char u8FastFmt[10];   // printf format at the faster rates
    char u8Over[10];      // shown instead of the number at overload
    bool zHasNegative;    // negative readings are kept (else reported as 0)
    float u32Round;       // rounding scale of the row
    float f32MinUnite;    // factor from this row's unit to the function's base unit
    float f32OverLimit;   // a reading of larger magnitude is an overload
    float f32AutoLower;   // base-unit magnitude below which auto range steps down
    float f32AutoUpper;   // base-unit magnitude above which auto range steps up
    float f32CalLimit;    // bound of the math limits on this range
};

// Trigger sources.
enum TrigSrcEnum : int32_t {
    SRC_AUTO = 0,
    SRC_SINGLE = 1,
    SRC_EXT = 2,
};

struct structTriggerInfo {
    TrigSrcEnum eTrigSrc = SRC_AUTO;
    bool bHold = false;               // auto-hold on
    uint32_t u32SensIdx = 0;          // auto-hold sensitivity index
    float f32Sensitivity = 0.0001f;   // auto-hold sensitivity
    uint32_t u32Sample = 1;           // readings per single trigger
    uint32_t u32ExtEdge = 0;          // external trigger edge
    uint32_t u32Interval = 400;       // ms between auto-trigger readings
    bool bVMC = false;                // voltmeter-complete output on
    uint32_t u32VMCPolar = 1;
    uint32_t u32VMCPulseWidth = 100;
};

// Beep window of continuity and diode.
struct structBeeperRange {
    float f32Lower;
    float f32Upper;
};

// One calibration point; also the 24-byte record of a ".cal" file.
struct structCaliPoint {
    uint32_t u32Func;
    uint32_t u32Range;
    double f64Point;   // raw converter value measured for the point
    double f64Target;  // the reading that raw value stands for
};

// One segment of a calibration table.
struct structCaliData {
    double f64PointMin;
    double f64PointMax;
    double f64Gain;
    double f64Offset;
};

// A segment reads the same as another only with every field equal.
inline bool operator==(const structCaliData& a, const structCaliData& b) {
    return a.f64PointMin == b.f64PointMin && a.f64PointMax == b.f64PointMax && a.f64Gain == b.f64Gain &&
           a.f64Offset == b.f64Offset;
}

// One converter acc setting; also the 12-byte record of a ".acc" file.
struct structCaliAccPoint {
    uint32_t u32Func;
    uint32_t u32Range;
    uint32_t u32Acc;
};

// One stored reading: the value in the display unit of its range row, the
// factor from that unit to the remote-control base unit (V, A, ohm, F, s, Hz)
// and the row's over-limit. Kept with each reading, so that an answer over
// many readings scales each by the row it was taken on.
struct structReading {
    double f64Value;
    double f64ToBase;
    float f32OverLimit;
};
