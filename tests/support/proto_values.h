#pragma once
// One-line Values and request maps for handler tests.
#include <string>

#include "proto_data.pb.h"

inline Value s32(int v) { Value o; o.set_s32val(v); return o; }
inline Value f64(double v) { Value o; o.set_f64val(v); return o; }
inline Value str(const std::string& v) { Value o; o.set_strval(v); return o; }
inline Value bval(bool v) { Value o; o.set_bval(v); return o; }
inline google::protobuf::Map<int, Value> request(int key, const Value& v) {
    google::protobuf::Map<int, Value> map;
    map[key] = v;
    return map;
}
