#pragma once
#include "usb_gadget.h"

namespace platform {

// The gadget kernel driver behind "/dev/usbtmc_dev": bulk data by read and
// write, control-endpoint requests by ioctl, control events on a netlink
// socket, modules loaded through su without a shell. A build with simulated
// devices has no gadget: every call fails with ENODEV.
class UsbGadgetKernel : public UsbGadgetPort {
public:
    int runModuleCommand(const std::vector<std::string>& argv) override;
    int open(const std::string& node, int flags) override;
    int close(int fd) override;
    ssize_t read(int fd, void* buf, size_t len) override;
    ssize_t write(int fd, const void* buf, size_t len) override;
    int controlAnswer(int fd, const uint8_t* data, uint8_t len) override;
    int readSetup(int fd, uint8_t setup[8]) override;
    int readSignal(int fd, uint32_t& type) override;
    int haltBulkOut(int fd) override;
    int haltBulkIn(int fd) override;
    int eventOpen() override;
    int eventBind(int eventFd) override;
    int eventWait(int eventFd, int wakeFd, int timeoutMs) override;
    void eventClose(int eventFd) override;
};

} // namespace platform
