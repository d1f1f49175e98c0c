#include "sim_display.h"

#include <cstring>

namespace platform {

int SimDisplay::ioctl(SimIoctl& call) {
    if (call.request != kSetBrightness) {
        return -ENOTTY;
    }
    if (call.arg == 0) {
        return -EFAULT;
    }
    uint32_t words[2];
    std::memcpy(words, reinterpret_cast<const void*>(call.arg), sizeof(words));
    const auto* bytes = reinterpret_cast<const uint8_t*>(words);
    call.data.assign(bytes, bytes + sizeof(words));
    std::lock_guard<std::mutex> lock(_mtx);
    _levels[words[0]] = words[1];
    return 0;
}

long SimDisplay::brightness(uint32_t screen) const {
    std::lock_guard<std::mutex> lock(_mtx);
    auto it = _levels.find(screen);
    return it == _levels.end() ? -1 : static_cast<long>(it->second);
}

} // namespace platform
