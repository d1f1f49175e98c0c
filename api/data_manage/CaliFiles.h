#pragma once
// Where the calibration files lie, how they are named and the size of their
// records: shared by the loading at start and the saving on command.

#include <cstddef>
#include <cstdint>
#include <string>

namespace cali {

inline const char* const kCaliDir = "/vorna/data";
inline constexpr size_t kPointRecord = 24;
inline constexpr size_t kAccRecord = 12;
// Bit 7 of the acc register belongs to the converter row.
inline constexpr uint32_t kAccMax = 127;

inline uint32_t caliKey(uint32_t func, uint32_t range) { return func * 64 + range; }

// "<dir>/cali_<func>_<range>.cal" of a key.
inline std::string caliPointPath(uint32_t key) {
    return std::string(kCaliDir) + "/cali_" + std::to_string(static_cast<int>(key / 64)) + "_" +
           std::to_string(static_cast<int>(key % 64)) + ".cal";
}

} // namespace cali
