#pragma once
#include <cstdint>
#include <map>
#include <mutex>

#include "sim_device_handler.h"

namespace platform {

// The display node "/dev/disp": takes the backlight request (0x102) with an
// argument block of unsigned 32-bit words, the screen first and the hardware
// level second. The record keeps those two words.
class SimDisplay : public SimDeviceHandler {
public:
    static constexpr unsigned long kSetBrightness = 0x102;

    int ioctl(SimIoctl& call) override;

    // Test hook: the level last set on a screen (-1 when never set).
    long brightness(uint32_t screen) const;

private:
    mutable std::mutex _mtx;
    std::map<uint32_t, uint32_t> _levels;
};

} // namespace platform
