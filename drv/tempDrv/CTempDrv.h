#pragma once
#include <cstdint>

// The TMP275 temperature chip on the I2C bus "/dev/i2c-4" (address 0x48),
// which gives the thermocouples' cold-junction temperature.
class CTempDrv {
public:
    virtual ~CTempDrv() = default;

    static CTempDrv& instance();

    // Opens the bus and configures the chip (configuration register := 0x60).
    // True on success or when already connected; a failed attempt leaves no
    // descriptor open, so the start-up may retry it without limit.
    bool Temp_Connect();
    // The chip's temperature in degrees Celsius (1/16 degree steps); -1.0
    // when it cannot be read or the chip is not connected.
    float Temp_GetColdTemp();
    // The same reading with the failure told apart from a reading of -1 degC.
    bool Temp_ReadColdTemp(float& celsius);

private:
    int32_t mFD = -1;  // descriptor of the I2C bus; -1 until connected
};
