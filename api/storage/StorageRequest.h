#pragma once
#include "proto_extract.h"

// The result numbers of the storage handlers. Their arguments are read with
// proto_extract.h; names and contents go through bytesOf, as they may hold any
// byte.
namespace storage_request {

constexpr int kMissing = 8;          // -109 "Missing parameter"
constexpr int kExecution = 44;       // -200 "Execution error"
constexpr int kNoSpace = 128;        // not enough space on the target medium
constexpr int kNameExists = 129;     // the new name already exists
// A copy or a save keeps 16 MiB + 16 KiB free on the medium.
constexpr unsigned long long kReserve = 0x1004001ULL;

inline bool isRemote(unsigned int source) { return source >= 1 && source <= 3; }

} // namespace storage_request
