#pragma once
// Calls the handlers the system manager binds, as the hub would.
#include <gtest/gtest.h>

#include <map>

#include "CSystemManage.h"
#include "Singelton.h"
#include "proto_values.h"

namespace testing_support {

using ValueMap = google::protobuf::Map<int, Value>;

inline std::map<unsigned int, cb_func>& systemHandlers() {
    static std::map<unsigned int, cb_func> entries = [] {
        std::map<unsigned int, cb_func> e;
        Copperwren::Singleton<CSystemManage>::Instance()->getCallbacks(e);
        return e;
    }();
    return entries;
}

// The handler's result; its reply in `out` when given.
inline int callSystem(unsigned int id, unsigned int source, const ValueMap& in, ValueMap* out = nullptr) {
    ValueMap reply;
    auto& entries = systemHandlers();
    EXPECT_EQ(entries.count(id), 1u) << std::hex << id;
    int rc = entries.count(id) ? entries[id](source, in, &reply) : -1;
    if (out != nullptr) {
        *out = reply;
    }
    return rc;
}

// A query's reply value under the item of its id.
inline Value querySystem(unsigned int id, unsigned int source = 0) {
    ValueMap out;
    EXPECT_EQ(callSystem(id, source, {}, &out), 0);
    const int key = static_cast<int>(id & 0xFFFF);
    return out.count(key) ? out.at(key) : Value();
}

} // namespace testing_support
