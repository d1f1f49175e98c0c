#pragma once
#include <string>

#include "Util/logger.h"
#include "proto_data.pb.h"

// Reading the request maps of the system handlers: a value counts only when
// it has the expected kind, else it reads as 0, false or the empty text.
namespace SystemParams {

using ValueMap = google::protobuf::Map<int, Value>;

inline int keyOf(unsigned int id) { return static_cast<int>(id & 0xFFFF); }
inline bool isRemote(unsigned int source) { return source >= 1 && source <= 3; }

// The value under `key`; null, with the log line of a set handler, when absent.
inline const Value* param(const ValueMap& in, int key) {
    auto it = in.find(key);
    if (it == in.end()) {
        PrintE("param size not right");
        return nullptr;
    }
    return &it->second;
}

inline bool asBool(const Value& v) { return v.value_case() == Value::kBVal && v.bval(); }
inline int asS32(const Value& v) { return v.value_case() == Value::kS32Val ? v.s32val() : 0; }
inline std::string asStr(const Value& v) { return v.value_case() == Value::kStrVal ? v.strval() : std::string(); }

} // namespace SystemParams
