#include "sim_i2c.h"

#include <linux/i2c-dev.h>
#include <linux/i2c.h>

#include <cmath>

namespace platform {

namespace {

constexpr uint8_t kTemperature = 0;
constexpr uint8_t kConfig = 1;

} // namespace

int SimI2c::ioctl(SimIoctl& call) {
    switch (call.request) {
        case I2C_SLAVE:
        case I2C_SLAVE_FORCE: {
            if (call.arg > 0x7F) {
                return -EINVAL;
            }
            std::lock_guard<std::mutex> lock(_mtx);
            _slave = call.arg;
            return 0;
        }
        case I2C_RDWR:
            return transfer(call);
        default:
            return -ENOTTY;
    }
}

int SimI2c::transfer(SimIoctl& call) {
    const auto* data = reinterpret_cast<const i2c_rdwr_ioctl_data*>(call.arg);
    if (data == nullptr || data->msgs == nullptr || data->nmsgs == 0 || data->nmsgs > I2C_RDWR_IOCTL_MAX_MSGS) {
        return -EINVAL;
    }
    std::lock_guard<std::mutex> lock(_mtx);
    for (uint32_t i = 0; i < data->nmsgs; ++i) {
        const i2c_msg& msg = data->msgs[i];
        if (msg.addr != kChipAddress) {
            return -ENXIO;
        }
        if (msg.flags & I2C_M_RD) {
            chipRead(msg.buf, msg.len);
        } else {
            chipWrite(msg.buf, msg.len);
            call.data.insert(call.data.end(), msg.buf, msg.buf + msg.len);
        }
    }
    // The kernel answers a combined transfer with the number of messages.
    return static_cast<int>(data->nmsgs);
}

ssize_t SimI2c::read(void* buf, size_t len) {
    std::lock_guard<std::mutex> lock(_mtx);
    if (_slave != kChipAddress) {
        return -ENXIO;
    }
    chipRead(static_cast<uint8_t*>(buf), len);
    return static_cast<ssize_t>(len);
}

ssize_t SimI2c::write(const void* buf, size_t len) {
    std::lock_guard<std::mutex> lock(_mtx);
    if (_slave != kChipAddress) {
        return -ENXIO;
    }
    chipWrite(static_cast<const uint8_t*>(buf), len);
    return static_cast<ssize_t>(len);
}

void SimI2c::chipWrite(const uint8_t* bytes, size_t len) {
    if (len == 0) {
        return;
    }
    _pointer = bytes[0] & 0x03;
    if (len < 2 || _pointer == kTemperature) {
        return;
    }
    if (_pointer == kConfig) {
        _config = bytes[1];
    } else if (len >= 3) {
        _regs[_pointer] = static_cast<uint16_t>(bytes[1] << 8 | bytes[2]);
    }
}

void SimI2c::chipRead(uint8_t* bytes, size_t len) const {
    for (size_t i = 0; i < len; ++i) {
        if (_pointer == kConfig) {
            bytes[i] = _config;
        } else {
            uint16_t value = _regs[_pointer];
            bytes[i] = static_cast<uint8_t>(i % 2 == 0 ? value >> 8 : value & 0xFF);
        }
    }
}

void SimI2c::setTemperature(double celsius) {
    // Twelve bits in steps of 1/16 degree, left-justified in the register.
    auto steps = static_cast<int16_t>(std::lround(celsius * 16.0));
    std::lock_guard<std::mutex> lock(_mtx);
    _regs[kTemperature] = static_cast<uint16_t>(static_cast<uint16_t>(steps) << 4);
}

uint8_t SimI2c::configRegister() const {
    std::lock_guard<std::mutex> lock(_mtx);
    return _config;
}

unsigned long SimI2c::slaveAddress() const {
    std::lock_guard<std::mutex> lock(_mtx);
    return _slave;
}

} // namespace platform
