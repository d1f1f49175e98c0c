#pragma once
// Thermocouple reference functions of ITS-90 for the types B, E, J, K, N, R,
// S and T (index 0..7), reference junction at 0 degC, EMF in mV. The
// definitions are generated at build time from its90-thermocouples.json.
#include <cstdint>

constexpr int kTcTypeCount = 8;
constexpr int kTcLowTempRows = 71;  // -200, -201, ... -270 degC

// Temperature -> EMF of one type: Section sections bounded by TempRange
// (Section + 1 values); section s has PointSection[s] coefficients at
// Point[s * MaxPerLine + k] for the power k.
struct STRU_TEMP_TtoE_CALI {
    uint32_t Section;
    const double* TempRange;
    const uint8_t* PointSection;
    const double* Point;
    uint32_t MaxPerLine;
};

// The additional term a0 * exp(a1 * (t - a2)^2) of a type (K above 0 degC).
struct TcExpTerm {
    bool present;
    double a0, a1, a2;
    double tMin, tMax;
};

// One inverse section: its EMF and temperature span and the published error
// band of the inverse function there.
struct TcInverseRange {
    double emfMin, emfMax, tMin, tMax, bandLow, bandHigh;
};

// EMF -> temperature of one type: coefficient k of section s at
// CalPara[k * Sections + s], Coefs per section (zero padded).
struct TcInverseSet {
    uint32_t Sections;
    uint32_t Coefs;
    const double* CalPara;
    const TcInverseRange* Range;
};

extern const STRU_TEMP_TtoE_CALI g_TcTtoECali[kTcTypeCount];
extern const TcExpTerm g_TcTtoEExp[kTcTypeCount];
extern const TcInverseSet g_TcInverse[kTcTypeCount];
// EMF limits of the conversion: the inverse range widened by 0.01 mV (B's
// lower limit lies 0.01 mV inside, its direct function is not one-to-one below).
extern const double ThermCoupleVoltageMin[kTcTypeCount];
extern const double ThermCoupleVoltageMax[kTcTypeCount];
// Lowest EMF converted at all: the low-temperature table's end, where a type has one.
extern const double TC_LowTempVoltMin[kTcTypeCount];
// EMF at -200 ... -270 degC for E, K, N and T; zero rows for the others.
extern const double TC_LowTempRefTable[kTcTypeCount][kTcLowTempRows];
