#pragma once
#include <string>

#include "proto_data.pb.h"

// Reading the request maps of the storage handlers and their result numbers.
// A value of another kind than the one asked for reads as empty text or 0.
namespace storage_request {

constexpr int kMissing = 8;          // -109 "Missing parameter"
constexpr int kExecution = 44;       // -200 "Execution error"
constexpr int kNoSpace = 128;        // not enough space on the target medium
constexpr int kNameExists = 129;     // the new name already exists
// A copy or a save keeps 16 MiB + 16 KiB free on the medium.
constexpr unsigned long long kReserve = 0x1004001ULL;

using ValueMap = google::protobuf::Map<int, Value>;

inline bool has(const ValueMap& in, int key) { return in.find(key) != in.end(); }

inline std::string textOf(const ValueMap& in, int key) {
    auto it = in.find(key);
    if (it == in.end()) {
        return "";
    }
    if (it->second.value_case() == Value::kStrVal) {
        return it->second.strval();
    }
    return it->second.value_case() == Value::kRawVal ? it->second.rawval() : "";
}

inline int s32Of(const ValueMap& in, int key) {
    auto it = in.find(key);
    return it != in.end() && it->second.value_case() == Value::kS32Val ? it->second.s32val() : 0;
}

inline bool boolOf(const ValueMap& in, int key) {
    auto it = in.find(key);
    return it != in.end() && it->second.value_case() == Value::kBVal && it->second.bval();
}

inline bool isRemote(unsigned int source) { return source >= 1 && source <= 3; }

} // namespace storage_request
