#pragma once
#include <string>

namespace platform {

// Sizes of a file system, in bytes.
struct SpaceInfo {
    unsigned long long total = 0;
    unsigned long long free = 0;       // free blocks, the reserved ones included
    unsigned long long available = 0;  // what an unprivileged writer may still use
};

// The few calls of user storage whose results depend on the medium: its space
// and whether a rename crosses file systems. Tests replace it to reach a full
// medium or a second file system that the host does not have.
class StorageHost {
public:
    virtual ~StorageHost() = default;
    // statvfs of a host path; false when it cannot be asked.
    virtual bool space(const std::string& hostPath, SpaceInfo& out);
    // rename(2) of host paths: 0, or the errno it failed with.
    virtual int rename(const std::string& from, const std::string& to);
};

// The host in use (the real one unless replaced).
StorageHost& storageHost();
// Puts `host` in place (nullptr: the real one again); returns the one before.
StorageHost* setStorageHost(StorageHost* host);

} // namespace platform
