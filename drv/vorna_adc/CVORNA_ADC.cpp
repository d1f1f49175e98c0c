#include "CVORNA_ADC.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "Util/logger.h"
#include "dev/spi/spi2dev.h"
#include "platform/device_io.h"

namespace {

constexpr const char* kSpiPath = "/dev/spidev3.0";
constexpr const char* kRelayPath = "/dev/sn74ahc_ctl";
constexpr uint8_t kSpiMode = 0;
constexpr uint8_t kSpiBits = 8;
constexpr uint32_t kSpiSpeedHz = 1000000;

} // namespace

CVORNA_ADC& CVORNA_ADC::instance() {
    static CVORNA_ADC adc;
    return adc;
}

bool CVORNA_ADC::openSpi() {
    int fd = platform::devOpen(kSpiPath, O_RDWR);
    if (fd < 0) {
        PrintE("CVORNA_ADC Open failed: %s", std::strerror(errno));
        return false;
    }
    m_s32SpiFD = fd;
    SPI_Set_Mode(fd, kSpiMode);
    SPI_Set_Bits(fd, kSpiBits);
    SPI_Set_Speed(fd, kSpiSpeedHz);
    return true;
}

bool CVORNA_ADC::VORNA_ADC_Connect() {
    bool opened_spi = false;
    if (m_s32SpiFD < 0) {
        if (!openSpi()) {
            return false;
        }
        opened_spi = true;
    }
    if (m_s32GpioFD < 0) {
        int fd = platform::devOpen(kRelayPath, O_RDWR);
        if (fd < 0) {
            PrintE("595PWR Open failed: %s, %s", std::strerror(errno), kRelayPath);
            if (opened_spi) {
                platform::devClose(m_s32SpiFD);
                m_s32SpiFD = -1;
            }
            return false;
        }
        m_s32GpioFD = fd;
    }
    return true;
}
