#include "CGpioCtl.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/device_io.h"

namespace {

constexpr const char* kDevicePath = "/dev/ord_gpio_ctl";

void reportFailure(const char* operation, uint32_t type) {
    std::printf("%s ioctl type=%d error=%s\n", operation, static_cast<int>(type), std::strerror(errno));
    std::fflush(stdout);
}

} // namespace

CGpioCtl* CGpioCtl::instance() {
    static CGpioCtl gpio;
    return &gpio;
}

bool CGpioCtl::GPIO_Connect() {
    if (m_s32FD.load() >= 0) {
        return true;
    }
    int fd = platform::devOpen(kDevicePath, O_RDWR);
    if (fd < 0) {
        std::printf("open device %s failed, error=%s\n", kDevicePath, std::strerror(errno));
        std::fflush(stdout);
        return false;
    }
    int32_t expected = -1;
    if (!m_s32FD.compare_exchange_strong(expected, fd)) {
        platform::devClose(fd);  // another thread connected first
    }
    return true;
}

bool CGpioCtl::GPIO_IORead(uint32_t type, int32_t& data) {
    if (platform::devIoctl(m_s32FD.load(), kReadInt | type, &data) < 0) {
        reportFailure("GPIO_IORead", type);
        return false;
    }
    return true;
}

bool CGpioCtl::GPIO_IOWrite(uint32_t type, int32_t val) {
    if (platform::devIoctl(m_s32FD.load(), kWriteInt | type, static_cast<unsigned long>(val)) < 0) {
        reportFailure("GPIO_IOWrite", type);
        return false;
    }
    return true;
}

bool CGpioCtl::GPIO_IO(uint32_t type) {
    if (platform::devIoctl(m_s32FD.load(), kNoData | type) < 0) {
        reportFailure("GPIO_IO", type);
        return false;
    }
    return true;
}

int32_t CGpioCtl::GPIO_Read() {
    uint8_t value = 0;
    if (platform::devRead(m_s32FD.load(), &value, 1) != 1) {
        return -1;
    }
    return value;
}
