#pragma once
// One stored reading as remote control prints it: "%10.8E" in its base unit,
// or the overload value with the reading's sign.

#include <cmath>
#include <cstdio>
#include <string>

#include "EngineTypes.h"

inline bool readingOverloaded(const structReading& r) { return !(std::fabs(r.f64Value) <= r.f32OverLimit); }

inline std::string readingText(const structReading& r) {
    if (readingOverloaded(r)) return r.f64Value < 0 ? "-9.9E37" : "9.9E37";
    char text[32];
    std::snprintf(text, sizeof(text), "%10.8E", r.f64Value * r.f64ToBase);
    return text;
}
