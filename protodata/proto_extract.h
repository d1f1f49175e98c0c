#pragma once
// Read typed Values out of an argument, reply or notification map: the reading
// side of proto_insert.h.
//
// A handler trusts no sender, so a value counts only when it has the kind asked
// for; any other kind reads as the fallback (false, 0, 0.0 or the empty text),
// exactly as an absent key does.

#include <cstdint>
#include <string>

#include "proto_data.pb.h"

using ValueMap = google::protobuf::Map<int, Value>;

// The value under `key`, or null when the map has none.
inline const Value* findValue(const ValueMap& map, int key) {
    auto it = map.find(key);
    return it == map.end() ? nullptr : &it->second;
}

inline bool hasValue(const ValueMap& map, int key) { return map.find(key) != map.end(); }

inline bool boolOf(const Value& v) { return v.value_case() == Value::kBVal && v.bval(); }

inline int32_t s32Of(const Value& v, int32_t otherwise = 0) {
    return v.value_case() == Value::kS32Val ? v.s32val() : otherwise;
}

// Either floating member; integers are not numbers here, as no sender puts a
// measured quantity in one.
inline double numberOf(const Value& v) {
    switch (v.value_case()) {
    case Value::kF32Val: return v.f32val();
    case Value::kF64Val: return v.f64val();
    default: return 0.0;
    }
}

inline std::string textOf(const Value& v) {
    return v.value_case() == Value::kStrVal ? v.strval() : std::string();
}

// Text or raw bytes alike: names and contents that may hold any byte.
inline std::string bytesOf(const Value& v) {
    switch (v.value_case()) {
    case Value::kStrVal: return v.strval();
    case Value::kRawVal: return v.rawval();
    default: return std::string();
    }
}

// The same readings by key; an absent key reads as the fallback.
inline bool boolOf(const ValueMap& map, int key) {
    const Value* v = findValue(map, key);
    return v != nullptr && boolOf(*v);
}

inline int32_t s32Of(const ValueMap& map, int key, int32_t otherwise = 0) {
    const Value* v = findValue(map, key);
    return v != nullptr ? s32Of(*v, otherwise) : otherwise;
}

inline std::string textOf(const ValueMap& map, int key) {
    const Value* v = findValue(map, key);
    return v != nullptr ? textOf(*v) : std::string();
}

inline std::string bytesOf(const ValueMap& map, int key) {
    const Value* v = findValue(map, key);
    return v != nullptr ? bytesOf(*v) : std::string();
}
