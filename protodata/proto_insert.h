#pragma once
// Put one typed Value under a key of an argument, reply or notification map.
//
// None of them ever overwrites: when the key is already present the map is left
// as it is and the new value is dropped, so a handler that writes the same key
// twice keeps the first value. Text given to insertStr must be valid UTF-8 (the
// peer's parse of the whole message fails otherwise); bytes go through insertRaw.

#include <cstdint>
#include <string>
#include <utility>

#include "proto_data.pb.h"

namespace proto_insert_detail {

// Adds a fresh Value under `key` and lets `fill` set its one member, unless the
// key is taken.
template <typename Fill>
inline void insertValue(google::protobuf::Map<int, Value>& map, int key, Fill fill) {
    if (map.find(key) != map.end()) {
        return;
    }
    fill(map[key]);
}

} // namespace proto_insert_detail

inline void insertU32(google::protobuf::Map<int, Value>& map, int key, unsigned int val) {
    proto_insert_detail::insertValue(map, key, [val](Value& v) { v.set_u32val(val); });
}

// Takes the bits of a signed number in an unsigned argument and stores them
// unchanged into the signed member.
inline void insertS32(google::protobuf::Map<int, Value>& map, int key, unsigned int val) {
    proto_insert_detail::insertValue(map, key,
                                     [val](Value& v) { v.set_s32val(static_cast<int32_t>(val)); });
}

inline void insertU64(google::protobuf::Map<int, Value>& map, int key, unsigned long long val) {
    proto_insert_detail::insertValue(map, key, [val](Value& v) { v.set_u64val(val); });
}

inline void insertF64(google::protobuf::Map<int, Value>& map, int key, double val) {
    proto_insert_detail::insertValue(map, key, [val](Value& v) { v.set_f64val(val); });
}

inline void insertF32(google::protobuf::Map<int, Value>& map, int key, float val) {
    proto_insert_detail::insertValue(map, key, [val](Value& v) { v.set_f32val(val); });
}

inline void insertBval(google::protobuf::Map<int, Value>& map, int key, bool val) {
    proto_insert_detail::insertValue(map, key, [val](Value& v) { v.set_bval(val); });
}

// Text up to its terminating NUL; a null pointer counts as the empty text.
inline void insertStr(google::protobuf::Map<int, Value>& map, int key, const char* text) {
    proto_insert_detail::insertValue(map, key,
                                     [text](Value& v) { v.set_strval(text != nullptr ? text : ""); });
}

// Every byte of `bytes`, NULs included.
inline void insertRaw(google::protobuf::Map<int, Value>& map, int key, std::string bytes) {
    proto_insert_detail::insertValue(map, key,
                                     [&bytes](Value& v) { v.set_rawval(std::move(bytes)); });
}

// Exactly `len` bytes from `data`; a null pointer counts as no bytes.
inline void insertRaw(google::protobuf::Map<int, Value>& map, int key, const void* data,
                      unsigned int len) {
    proto_insert_detail::insertValue(map, key, [data, len](Value& v) {
        v.set_rawval(data != nullptr ? std::string(static_cast<const char*>(data), len) : std::string());
    });
}
