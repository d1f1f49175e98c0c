#pragma once
#include <sys/types.h>

#include <cerrno>
#include <cstdint>
#include <vector>

namespace platform {

// One ioctl as a simulated device received it.
struct SimIoctl {
    unsigned long request = 0;
    unsigned long arg = 0;      // the argument as passed: a value, or the address of the data
    std::vector<uint8_t> data;  // for arguments that point at data: the bytes the call carried
};

// The behaviour behind one simulated device node. The device records every
// call before it hands it here, so a handler only answers. Handlers are called
// without any lock of the device held and from any thread; each guards its own
// state. Results follow the kernel's convention: a count or 0, or -errno.
class SimDeviceHandler {
public:
    virtual ~SimDeviceHandler() = default;

    // May fill call.data with what the argument carried.
    virtual int ioctl(SimIoctl& call) {
        (void)call;
        return -ENOTTY;
    }
    // A plain node: reads find nothing, writes are taken whole.
    virtual ssize_t read(void* buf, size_t len) {
        (void)buf;
        (void)len;
        return 0;
    }
    virtual ssize_t write(const void* buf, size_t len) {
        (void)buf;
        return static_cast<ssize_t>(len);
    }
};

} // namespace platform
