#include "storage_host.h"

#include <sys/statvfs.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace platform {

namespace {

StorageHost s_real;
std::atomic<StorageHost*> s_current{&s_real};

} // namespace

bool StorageHost::space(const std::string& hostPath, SpaceInfo& out) {
    struct statvfs info;
    if (::statvfs(hostPath.c_str(), &info) != 0) {
        return false;
    }
    // Block counts are in fragment units.
    const unsigned long long unit = info.f_frsize != 0 ? info.f_frsize : info.f_bsize;
    out.total = unit * static_cast<unsigned long long>(info.f_blocks);
    out.free = unit * static_cast<unsigned long long>(info.f_bfree);
    out.available = unit * static_cast<unsigned long long>(info.f_bavail);
    return true;
}

int StorageHost::rename(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

StorageHost& storageHost() {
    return *s_current.load();
}

StorageHost* setStorageHost(StorageHost* host) {
    return s_current.exchange(host != nullptr ? host : &s_real);
}

} // namespace platform
