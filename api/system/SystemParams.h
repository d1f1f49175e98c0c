#pragma once
#include "Util/logger.h"
#include "proto_extract.h"

// Shared by the system handlers, which read their arguments with
// proto_extract.h.
namespace SystemParams {

// The item code of a message id: the key a query answers under and a setter
// reads from.
inline int itemOf(unsigned int id) { return static_cast<int>(id & 0xFFFF); }
inline bool isRemote(unsigned int source) { return source >= 1 && source <= 3; }

// The value under `key`; null, with the log line of a set handler, when absent.
inline const Value* findOrLogMissing(const ValueMap& in, int key) {
    const Value* v = findValue(in, key);
    if (v == nullptr) {
        PrintE("param size not right");
    }
    return v;
}

} // namespace SystemParams
