#include "KeyedHash.h"

#include <chrono>
#include <random>

namespace keyed_hash {

namespace {

constexpr uint64_t rotl(uint64_t x, int bits) { return (x << bits) | (x >> (64 - bits)); }

struct State {
    uint64_t v0, v1, v2, v3;

    void round() {
        v0 += v1;
        v1 = rotl(v1, 13) ^ v0;
        v0 = rotl(v0, 32);
        v2 += v3;
        v3 = rotl(v3, 16) ^ v2;
        v0 += v3;
        v3 = rotl(v3, 21) ^ v0;
        v2 += v1;
        v1 = rotl(v1, 17) ^ v2;
        v2 = rotl(v2, 32);
    }

    void absorb(uint64_t word) {
        v3 ^= word;
        round();
        round();
        v0 ^= word;
    }
};

Key drawKey() {
    try {
        std::random_device source;
        auto word = [&source] { return uint64_t(source()) << 32 | source(); };
        return {word(), word()};
    } catch (...) {
        // No random source: the start time still differs between starts.
        const uint64_t now = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        const uint64_t wall = static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
        return {now ^ reinterpret_cast<uintptr_t>(&now), wall};
    }
}

}  // namespace

const Key& processKey() {
    static const Key key = drawKey();
    return key;
}

uint64_t hash(const Key& key, uint64_t first, uint64_t second) {
    State s{key[0] ^ 0x736f6d6570736575ULL, key[1] ^ 0x646f72616e646f6dULL, key[0] ^ 0x6c7967656e657261ULL,
            key[1] ^ 0x7465646279746573ULL};
    s.absorb(first);
    s.absorb(second);
    s.absorb(uint64_t(16) << 56);  // the message's length in bytes, in the last word's top byte
    s.v2 ^= 0xff;
    for (int i = 0; i < 4; ++i) s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace keyed_hash
