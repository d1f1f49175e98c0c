#pragma once
#include <cstdint>

// The measurement front end: the converter chip on SPI ("/dev/spidev3.0") and
// the range/relay shift register ("/dev/sn74ahc_ctl"). One instance in the
// process; the devices stay open for its life.
class CVORNA_ADC {
public:
    virtual ~CVORNA_ADC() = default;

    static CVORNA_ADC& instance();

    // Opens what is not open yet: the SPI device (set to mode 0, 8 bits per
    // word, 1 MHz) and the relay device. True when both are open. A call that
    // fails closes what it opened itself, so retrying every 2 s leaks nothing.
    bool VORNA_ADC_Connect();

private:
    bool openSpi();

    int32_t m_s32SpiFD = -1;   // descriptor of the SPI device
    int32_t m_s32GpioFD = -1;  // descriptor of the relay device
};
