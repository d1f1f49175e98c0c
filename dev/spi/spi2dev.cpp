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

void SPI_Set_Mode(int32_t fd, uint8_t mode) {
    if (platform::devIoctl(fd, SPI_IOC_WR_MODE, &mode) < 0) {
        pabort("can't set spi mode");
    }
    if (platform::devIoctl(fd, SPI_IOC_RD_MODE, &mode) < 0) {
        pabort("can't get spi mode");
    }
}

void SPI_Set_Bits(int32_t fd, uint8_t bits) {
    if (platform::devIoctl(fd, SPI_IOC_WR_BITS_PER_WORD, &bits) < 0) {
        pabort("can't set bits per word");
    }
    if (platform::devIoctl(fd, SPI_IOC_RD_BITS_PER_WORD, &bits) < 0) {
        pabort("can't get bits per word");
    }
}

void SPI_Set_Speed(int32_t fd, uint32_t speed) {
    if (platform::devIoctl(fd, SPI_IOC_WR_MAX_SPEED_HZ, &speed) < 0) {
        pabort("can't set max speed hz");
    }
    if (platform::devIoctl(fd, SPI_IOC_RD_MAX_SPEED_HZ, &speed) < 0) {
        pabort("can't get max speed hz");
    }
}

void pabort(const char* text) {
    printSystemError(text, errno);
    std::abort();
}
