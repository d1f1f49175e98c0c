#include "CTempDrv.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/device_io.h"

namespace {

constexpr const char* kBusPath = "/dev/i2c-4";
constexpr uint16_t kChipAddress = 0x48;
constexpr uint8_t kConfigRegister = 0x01;
constexpr uint8_t kConfigValue = 0x60;

void printSystemError(const char* text, int error) { std::fprintf(stderr, "%s: %s\n", text, std::strerror(error)); }

} // namespace

CTempDrv& CTempDrv::instance() {
    static CTempDrv drv;
    return drv;
}

bool CTempDrv::Temp_Connect() {
    if (mFD >= 0) {
        return true;
    }
    int fd = platform::devOpen(kBusPath, O_RDWR);
    if (fd < 0) {
        printSystemError("Unable to open tmp275 control file", errno);
        return false;
    }
    uint8_t config[2] = {kConfigRegister, kConfigValue};
    i2c_msg msg;
    msg.addr = kChipAddress;
    msg.flags = 0;
    msg.len = sizeof(config);
    msg.buf = config;
    i2c_rdwr_ioctl_data transfer;
    transfer.msgs = &msg;
    transfer.nmsgs = 1;
    if (platform::devIoctl(fd, I2C_RDWR, &transfer) < 0) {
        printSystemError("Unable to send data", errno);
        // The next attempt opens afresh: keeping this descriptor would leak one
        // per retry.
        platform::devClose(fd);
        return false;
    }
    mFD = fd;
    return true;
}
