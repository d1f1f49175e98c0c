#include "sim_gpio.h"

#include <cstdio>
#include <cstring>

#include "console_log.h"

namespace platform {

namespace {

constexpr unsigned kBeeperState = 4;
constexpr unsigned kBeeperStateRead = 5;
constexpr unsigned kVmcOn = 2;
constexpr unsigned kBeep = 7;
constexpr unsigned kVmcOff = 9;

} // namespace

int SimGpio::ioctl(SimIoctl& call) {
    const unsigned command = call.request & 0xFF;
    const unsigned long kind = call.request & ~0xFFUL;
    if (kind == kWriteInt) {
        // The value itself is the argument, not a pointer to it.
        std::lock_guard<std::mutex> lock(_mtx);
        _written[command] = static_cast<int32_t>(call.arg);
        return 0;
    }
    if (kind == kReadInt) {
        if (command != kBeeperStateRead) {
            return -ENOTTY;
        }
        if (call.arg == 0) {
            return -EFAULT;
        }
        int32_t value = lastWritten(kBeeperState);
        std::memcpy(reinterpret_cast<void*>(call.arg), &value, sizeof(value));
        const auto* bytes = reinterpret_cast<const uint8_t*>(&value);
        call.data.assign(bytes, bytes + sizeof(value));
        return 0;
    }
    if (kind == kNoData) {
        return noData(command);
    }
    return -ENOTTY;
}

int SimGpio::noData(unsigned command) {
    unsigned long beep = 0;
    {
        std::lock_guard<std::mutex> lock(_mtx);
        if (command == kBeep) {
            beep = ++_beeps;
        } else if (command == kVmcOn || command == kVmcOff) {
            _vmc = command == kVmcOn;
        } else {
            return -ENOTTY;
        }
    }
    if (beep != 0) {
        char line[64];
        std::snprintf(line, sizeof(line), "beep %lu (simulated GPIO)", beep);
        consoleWrite(CONSOLE_INFO, "SimGpio", line);
    }
    return 0;
}

ssize_t SimGpio::read(void* buf, size_t len) {
    if (len == 0) {
        return 0;
    }
    std::unique_lock<std::mutex> lock(_mtx);
    ++_readers;
    // Waiting releases the lock, so ioctls go through while a reader sits here.
    _triggered.wait(lock, [this] { return !_triggers.empty(); });
    --_readers;
    *static_cast<uint8_t*>(buf) = _triggers.front();
    _triggers.pop_front();
    return 1;
}

bool SimGpio::injectTrigger(uint8_t value) {
    {
        std::lock_guard<std::mutex> lock(_mtx);
        if (_triggers.size() >= kPendingTriggersMax) {
            ++_dropped;
            return false;
        }
        _triggers.push_back(value);
    }
    _triggered.notify_one();
    return true;
}

unsigned long SimGpio::droppedTriggers() const {
    std::lock_guard<std::mutex> lock(_mtx);
    return _dropped;
}

int SimGpio::blockedReaders() const {
    std::lock_guard<std::mutex> lock(_mtx);
    return _readers;
}

unsigned long SimGpio::beeps() const {
    std::lock_guard<std::mutex> lock(_mtx);
    return _beeps;
}

int32_t SimGpio::lastWritten(unsigned command) const {
    std::lock_guard<std::mutex> lock(_mtx);
    auto it = _written.find(command);
    return it == _written.end() ? 0 : it->second;
}

bool SimGpio::vmcActive() const {
    std::lock_guard<std::mutex> lock(_mtx);
    return _vmc;
}

} // namespace platform
