#pragma once
// One stored reading as remote control prints it: "%10.8E" in its base unit,
// or the overload value with the reading's sign.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "EngineTypes.h"

// The longest text of one reading: sign, ten mantissa characters, "E", the
// exponent's sign and up to three digits.
constexpr size_t kReadingTextMax = 16;

// The most bytes `count` readings joined by one-byte separators take, with a
// definite-length block's header ("#", a digit, up to nine length digits).
inline uint64_t readingsTextMax(uint64_t count) { return count * (kReadingTextMax + 1) + 11; }

inline bool readingOverloaded(const structReading& r) { return !(std::fabs(r.f64Value) <= r.f32OverLimit); }

inline std::string readingText(const structReading& r) {
    if (readingOverloaded(r)) return r.f64Value < 0 ? "-9.9E37" : "9.9E37";
    char text[32];
    std::snprintf(text, sizeof(text), "%10.8E", r.f64Value * r.f64ToBase);
    return text;
}
