#include "CBrightness.h"

#include <fcntl.h>

#include <cstdio>

#include "platform/device_io.h"

namespace {

constexpr const char* kDevicePath = "/dev/disp";
constexpr unsigned long kSetBrightness = 0x102;

// The user's level 0 to 100 onto the hardware's scale, kept within 5 to 252.
uint32_t hardwareLevel(int32_t value) {
    double level = value * 2.5;
    if (level < 5.0) {
        level = 5.0;
    }
    if (level > 252.0) {
        level = 252.0;
    }
    return static_cast<uint32_t>(level);
}

} // namespace

bool CBrightness::BrightnessSet(int32_t value) {
    uint32_t level = hardwareLevel(value);
    int fd = platform::devOpen(kDevicePath, O_RDWR);
    if (fd < 0) {
        std::printf("Can't open /dev/disp device\n");
        std::fflush(stdout);
        return false;
    }
    // Screen 0 first, then the level; the driver's result tells nothing useful.
    uint32_t args[4] = {0, level, 0, 0};
    platform::devIoctl(fd, kSetBrightness, args);
    platform::devClose(fd);
    return true;
}
