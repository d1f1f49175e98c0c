#pragma once
// A keyed hash of two 64-bit words (SipHash-2-4) for indexes whose keys come
// from outside, such as the calibration files: under a key drawn at start
// nobody can choose keys that share a bucket, while any fixed function, being
// known, can be inverted to make them all collide.

#include <array>
#include <cstdint>

namespace keyed_hash {

using Key = std::array<uint64_t, 2>;

// The key of this process, drawn from the system's random source on first use.
const Key& processKey();

uint64_t hash(const Key& key, uint64_t first, uint64_t second);

inline uint64_t hash(uint64_t first, uint64_t second) { return hash(processKey(), first, second); }

}  // namespace keyed_hash
