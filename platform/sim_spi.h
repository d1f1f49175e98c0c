#pragma once
#include <cstdint>
#include <mutex>

#include "sim_device_handler.h"

namespace platform {

// A spidev node ("/dev/spidev3.0"): keeps the mode, word size and clock it is
// set to and answers their read-backs; full-duplex messages (SPI_IOC_MESSAGE)
// are recorded with their transmit bytes and answered by transfer(). Plain
// writes are half-duplex transactions the device record keeps. A simulated
// front end derives from this class and answers transfer() and write() itself.
class SimSpi : public SimDeviceHandler {
public:
    int ioctl(SimIoctl& call) override;

    uint8_t mode() const;
    uint8_t bitsPerWord() const;
    uint32_t maxSpeedHz() const;

protected:
    // One full-duplex transfer of `len` bytes; `rx` is never null. The bare
    // bus answers zeros.
    virtual void transfer(const uint8_t* tx, uint8_t* rx, size_t len);

private:
    int message(SimIoctl& call, size_t count);
    int setting(SimIoctl& call, bool write);

    mutable std::mutex _mtx;
    uint8_t _mode = 0;
    uint8_t _bits = 8;
    uint32_t _speed = 500000;
};

} // namespace platform
