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
constexpr uint8_t kTemperatureRegister = 0x00;
constexpr float kFailed = -1.0f;

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

float CTempDrv::Temp_GetColdTemp() {
    float celsius = kFailed;
    return Temp_ReadColdTemp(celsius) ? celsius : kFailed;
}

bool CTempDrv::Temp_ReadColdTemp(float& celsius) {
    if (mFD < 0) {
        std::fprintf(stderr, "Unable to read data: not connected\n");
        return false;
    }
    uint8_t pointer = kTemperatureRegister;
    uint8_t value[2] = {0, 0};
    i2c_msg msgs[2];
    msgs[0].addr = kChipAddress;
    msgs[0].flags = 0;
    msgs[0].len = 1;
    msgs[0].buf = &pointer;
    msgs[1].addr = kChipAddress;
    msgs[1].flags = I2C_M_RD;
    msgs[1].len = sizeof(value);
    msgs[1].buf = value;
    i2c_rdwr_ioctl_data transfer;
    transfer.msgs = msgs;
    transfer.nmsgs = 2;
    if (platform::devIoctl(mFD, I2C_RDWR, &transfer) < 0) {
        printSystemError("Unable to read data", errno);
        return false;
    }
    // The whole degrees are a two's complement byte: a junction below 0 degrees
    // must not read as about +255.
    celsius = static_cast<float>(static_cast<int8_t>(value[0]) + (value[1] >> 4) * 0.0625);
    return true;
}
