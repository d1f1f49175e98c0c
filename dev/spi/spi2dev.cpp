#include "spi2dev.h"

#include <linux/spi/spidev.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/device_io.h"

namespace {

void printSystemError(const char* text, int error) { std::fprintf(stderr, "%s: %s\n", text, std::strerror(error)); }

} // namespace

int32_t SPI_Transfer(int32_t fd, uint8_t* TxBuf, uint8_t* RxBuf, int32_t len) {
    spi_ioc_transfer tr;
    std::memset(&tr, 0, sizeof(tr));  // speed, delay, word size and cs change: device defaults
    tr.tx_buf = reinterpret_cast<uintptr_t>(TxBuf);
    tr.rx_buf = reinterpret_cast<uintptr_t>(RxBuf);
    tr.len = static_cast<uint32_t>(len);
    int32_t ret = platform::devIoctl(fd, SPI_IOC_MESSAGE(1), &tr);
    if (ret < 1) {
        printSystemError("can't send spi message", errno);
    }
    return ret;
}

int32_t SPI_Write(int32_t fd, uint8_t* TxBuf, int32_t len) {
    auto ret = static_cast<int32_t>(platform::devWrite(fd, TxBuf, static_cast<size_t>(len)));
    if (ret < 0) {
        printSystemError("SPI Write error", errno);
    }
    return ret;
}

namespace {

// Sets one bus setting and reads it back; the failing step's text, or nullptr.
template <typename T>
const char* setAndReadBack(int32_t fd, unsigned long wr, unsigned long rd, T value, const char* setText,
                           const char* getText) {
    if (platform::devIoctl(fd, wr, &value) < 0) {
        return setText;
    }
    if (platform::devIoctl(fd, rd, &value) < 0) {
        return getText;
    }
    return nullptr;
}

const char* setMode(int32_t fd, uint8_t mode) {
    return setAndReadBack(fd, SPI_IOC_WR_MODE, SPI_IOC_RD_MODE, mode, "can't set spi mode", "can't get spi mode");
}

const char* setBits(int32_t fd, uint8_t bits) {
    return setAndReadBack(fd, SPI_IOC_WR_BITS_PER_WORD, SPI_IOC_RD_BITS_PER_WORD, bits, "can't set bits per word",
                          "can't get bits per word");
}

const char* setSpeed(int32_t fd, uint32_t speed) {
    return setAndReadBack(fd, SPI_IOC_WR_MAX_SPEED_HZ, SPI_IOC_RD_MAX_SPEED_HZ, speed, "can't set max speed hz",
                          "can't get max speed hz");
}

void abortOn(const char* failure) {
    if (failure) {
        pabort(failure);
    }
}

} // namespace

void SPI_Set_Mode(int32_t fd, uint8_t mode) { abortOn(setMode(fd, mode)); }
void SPI_Set_Bits(int32_t fd, uint8_t bits) { abortOn(setBits(fd, bits)); }
void SPI_Set_Speed(int32_t fd, uint32_t speed) { abortOn(setSpeed(fd, speed)); }

bool SPI_Configure(int32_t fd, uint8_t mode, uint8_t bits, uint32_t speed) {
    const char* failure = setMode(fd, mode);
    if (!failure) failure = setBits(fd, bits);
    if (!failure) failure = setSpeed(fd, speed);
    if (failure) {
        int error = errno;
        printSystemError(failure, error);
        errno = error;
        return false;
    }
    return true;
}

void pabort(const char* text) {
    printSystemError(text, errno);
    std::abort();
}
