#include "sim_spi.h"

#include <linux/spi/spidev.h>
#include <sys/ioctl.h>

#include <cstring>
#include <vector>

namespace platform {

namespace {

// Copies `size` bytes between the caller's argument and a setting, recording
// what went across.
void exchange(SimIoctl& call, void* setting, size_t size, bool write) {
    auto* arg = reinterpret_cast<void*>(call.arg);
    if (write) {
        std::memcpy(setting, arg, size);
    } else {
        std::memcpy(arg, setting, size);
    }
    const auto* bytes = static_cast<const uint8_t*>(setting);
    call.data.assign(bytes, bytes + size);
}

} // namespace

int SimSpi::ioctl(SimIoctl& call) {
    if (_IOC_TYPE(call.request) != SPI_IOC_MAGIC) {
        return -ENOTTY;
    }
    if (call.arg == 0) {
        return -EFAULT;
    }
    if (_IOC_NR(call.request) == 0 && _IOC_DIR(call.request) == _IOC_WRITE) {
        size_t size = _IOC_SIZE(call.request);
        if (size == 0 || size % sizeof(spi_ioc_transfer) != 0) {
            return -EINVAL;
        }
        return message(call, size / sizeof(spi_ioc_transfer));
    }
    return setting(call, _IOC_DIR(call.request) == _IOC_WRITE);
}

int SimSpi::setting(SimIoctl& call, bool write) {
    std::lock_guard<std::mutex> lock(_mtx);
    switch (_IOC_NR(call.request)) {
        case _IOC_NR(SPI_IOC_WR_MODE):
            exchange(call, &_mode, sizeof(_mode), write);
            return 0;
        case _IOC_NR(SPI_IOC_WR_BITS_PER_WORD):
            exchange(call, &_bits, sizeof(_bits), write);
            return 0;
        case _IOC_NR(SPI_IOC_WR_MAX_SPEED_HZ):
            exchange(call, &_speed, sizeof(_speed), write);
            return 0;
        default:
            return -ENOTTY;
    }
}

int SimSpi::message(SimIoctl& call, size_t count) {
    const auto* xfers = reinterpret_cast<const spi_ioc_transfer*>(call.arg);
    int total = 0;
    for (size_t i = 0; i < count; ++i) {
        const spi_ioc_transfer& xfer = xfers[i];
        std::vector<uint8_t> tx(xfer.len, 0);
        if (xfer.tx_buf != 0) {
            std::memcpy(tx.data(), reinterpret_cast<const void*>(static_cast<uintptr_t>(xfer.tx_buf)), xfer.len);
        }
        std::vector<uint8_t> rx(xfer.len, 0);
        transfer(tx.data(), rx.data(), xfer.len);
        if (xfer.rx_buf != 0) {
            std::memcpy(reinterpret_cast<void*>(static_cast<uintptr_t>(xfer.rx_buf)), rx.data(), xfer.len);
        }
        call.data.insert(call.data.end(), tx.begin(), tx.end());
        total += static_cast<int>(xfer.len);
    }
    return total;
}

void SimSpi::transfer(const uint8_t* tx, uint8_t* rx, size_t len) {
    (void)tx;
    std::memset(rx, 0, len);
}

uint8_t SimSpi::mode() const {
    std::lock_guard<std::mutex> lock(_mtx);
    return _mode;
}

uint8_t SimSpi::bitsPerWord() const {
    std::lock_guard<std::mutex> lock(_mtx);
    return _bits;
}

uint32_t SimSpi::maxSpeedHz() const {
    std::lock_guard<std::mutex> lock(_mtx);
    return _speed;
}

} // namespace platform
