#pragma once
// Calibration targets chosen against the fixed hash the calibration index
// once used, which is invertible: whoever writes a file can choose targets
// whose hashes all fall into one bucket of the table that n points grow.
// The index's tests and its benchmark join the same ones, and spaced ones.
#include <cstdint>
#include <cstring>
#include <unordered_set>
#include <vector>

namespace fixed_hash_targets {

inline uint64_t fixedHash(uint64_t bits, uint64_t funcRange) {
    uint64_t h = bits ^ (funcRange * 0x9E3779B97F4A7C15ULL);
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDULL;
    return h ^ (h >> 33);
}

inline uint64_t fixedHashPreimage(uint64_t h, uint64_t funcRange) {
    uint64_t inverse = 0xFF51AFD7ED558CCDULL;  // of the multiplier, by Newton's steps
    for (int i = 0; i < 5; ++i) inverse *= 2 - 0xFF51AFD7ED558CCDULL * inverse;
    h ^= h >> 33;
    h *= inverse;
    return (h ^ (h >> 33)) ^ (funcRange * 0x9E3779B97F4A7C15ULL);
}

// The bucket count of a table grown by n insertions.
inline uint64_t grownBuckets(size_t n) {
    std::unordered_set<size_t> grown;
    for (size_t i = 0; i < n; ++i) grown.insert(i);
    return grown.bucket_count();
}

// n evenly spaced targets, what a benign file holds.
inline std::vector<double> spaced(size_t n) {
    std::vector<double> targets;
    for (size_t k = 1; k <= n; ++k) targets.push_back(k * 0.5);
    return targets;
}

// n targets of function 0, range 1 whose fixed hashes fall into bucket 0 of
// a table of `buckets` buckets.
inline std::vector<double> sharingABucket(size_t n, uint64_t buckets) {
    std::vector<double> targets;
    for (uint64_t k = 1; targets.size() < n; ++k) {
        const uint64_t bits = fixedHashPreimage(k * buckets, 1);
        double target;
        std::memcpy(&target, &bits, sizeof target);
        if (target == target && target != 0.0) targets.push_back(target);
    }
    return targets;
}

}  // namespace fixed_hash_targets
