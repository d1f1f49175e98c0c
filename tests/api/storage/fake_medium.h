#pragma once
#include <cerrno>
#include <string>

#include "storage_host.h"

namespace testing_support {

// A medium of the free space the test sets, on which renames may cross file
// systems; in place while it lives.
struct FakeMedium : platform::StorageHost {
    explicit FakeMedium(unsigned long long free = 0) : previous(platform::setStorageHost(this)) { setFree(free); }
    ~FakeMedium() override { platform::setStorageHost(previous); }
    void setFree(unsigned long long free) { info.free = info.available = free; }
    bool space(const std::string&, platform::SpaceInfo& out) override {
        out = info;
        return true;
    }
    int rename(const std::string& from, const std::string& to) override {
        return crossDevice ? EXDEV : platform::StorageHost::rename(from, to);
    }
    platform::SpaceInfo info;
    bool crossDevice = false;
    platform::StorageHost* previous;
};

} // namespace testing_support
