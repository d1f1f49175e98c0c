#pragma once
#include <cstdint>

// Plain SPI access on an open spidev descriptor (through the device seam).

// One full-duplex transfer of `len` bytes with the device's default speed,
// delay and word size. Returns the ioctl result; a result of 0 or less is also
// reported on standard error.
int32_t SPI_Transfer(int32_t fd, uint8_t* TxBuf, uint8_t* RxBuf, int32_t len);

// A plain (half-duplex) write of `len` bytes; a negative result is also
// reported on standard error.
int32_t SPI_Write(int32_t fd, uint8_t* TxBuf, int32_t len);

// Set the mode, bits per word or maximum clock, then read the value back. The
// front end cannot work on a misconfigured bus, so any failure ends the process.
void SPI_Set_Mode(int32_t fd, uint8_t mode);
void SPI_Set_Bits(int32_t fd, uint8_t bits);
void SPI_Set_Speed(int32_t fd, uint32_t speed);

// The same three settings without ending the process: a failure is printed
// as above and gives false (errno tells why), so a caller may close and retry.
bool SPI_Configure(int32_t fd, uint8_t mode, uint8_t bits, uint32_t speed);

// Prints `text` with the system error on standard error and aborts.
[[noreturn]] void pabort(const char* text);
