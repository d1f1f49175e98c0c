#pragma once
#include <cstdint>
#include <mutex>

#include "sim_device_handler.h"

namespace platform {

// The I2C bus node "/dev/i2c-4" with the TMP275 temperature chip at address
// 0x48. It takes the slave-address ioctl (I2C_SLAVE) followed by plain reads
// and writes, and combined transfers (I2C_RDWR). The chip has a pointer
// register choosing temperature (0, read-only, 12 bits left-justified),
// configuration (1, one byte) or the two limits (2, 3). A message to any other
// address is not acknowledged (ENXIO).
class SimI2c : public SimDeviceHandler {
public:
    static constexpr uint16_t kChipAddress = 0x48;

    int ioctl(SimIoctl& call) override;
    ssize_t read(void* buf, size_t len) override;
    ssize_t write(const void* buf, size_t len) override;

    // Test hooks.
    void setTemperature(double celsius);
    uint8_t configRegister() const;
    unsigned long slaveAddress() const;  // set by I2C_SLAVE; 0 until then

private:
    int transfer(SimIoctl& call);
    // The chip's side of one message; the lock is held by the caller.
    void chipWrite(const uint8_t* bytes, size_t len);
    void chipRead(uint8_t* bytes, size_t len) const;

    mutable std::mutex _mtx;
    unsigned long _slave = 0;
    uint8_t _pointer = 0;
    uint8_t _config = 0;
    uint16_t _regs[4] = {25 << 8, 0, 75 << 8, 80 << 8};  // temperature, -, low and high limits
};

} // namespace platform
