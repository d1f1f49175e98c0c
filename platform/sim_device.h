#pragma once
#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim_device_handler.h"

namespace platform {

// One simulated device node: counts its open descriptors, keeps a record of
// what it was sent, can be told to fail, and passes every call on to its
// handler. Thread-safe; a handler that blocks (the GPIO read) blocks only its
// caller.
class SimDevice {
public:
    // The record keeps the newest calls only, so that a service running for
    // days on simulated hardware does not grow without bound.
    static constexpr size_t kRecordLimit = 4096;

    // Whether the devices and the simulated front end keep records at all:
    // on by default, for tests. A service on the simulator reads none of
    // them, and switches them off: within their bound they would go on
    // filling for hours, as slowly as clients change settings, before its
    // memory stays level.
    static void keepRecords(bool keep);
    static bool recordsKept();

    SimDevice(std::string path, std::shared_ptr<SimDeviceHandler> handler);

    const std::string& path() const { return _path; }

    // Test hooks: the next `count` opens (ioctls) fail with `error`.
    void failNextOpens(int count, int error = ENOENT);
    void failNextIoctls(int count, int error = EIO);

    // Swaps the behaviour behind the node (the converter simulation plugs in
    // its own SPI handler this way); calls already running finish on the old one.
    void setHandler(std::shared_ptr<SimDeviceHandler> handler);
    std::shared_ptr<SimDeviceHandler> handler() const;

    int openDescriptors() const;  // descriptors open on this node now
    unsigned long opens() const;  // successful opens so far
    std::vector<SimIoctl> ioctls() const;
    std::vector<std::vector<uint8_t>> writes() const;
    void clearRecord();

    // The registry's side: 0 or -errno for open; results as the handler's.
    int open();
    void closed();
    ssize_t read(void* buf, size_t len);
    ssize_t write(const void* buf, size_t len);
    int ioctl(unsigned long request, unsigned long arg);

private:
    const std::string _path;
    mutable std::mutex _mtx;
    std::shared_ptr<SimDeviceHandler> _handler;
    int _fail_opens = 0;
    int _fail_open_error = ENOENT;
    int _fail_ioctls = 0;
    int _fail_ioctl_error = EIO;
    int _open = 0;
    unsigned long _opens = 0;
    std::deque<SimIoctl> _ioctls;
    std::deque<std::vector<uint8_t>> _writes;
};

} // namespace platform
