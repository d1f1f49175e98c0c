#include <linux/i2c-dev.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "../toolkit/log_records.h"
#include "device_test_support.h"
#include "drv/tempDrv/CTempDrv.h"
#include "drv/vorna_adc/CVORNA_ADC.h"
#include "sim_i2c.h"
#include "sim_spi.h"

using DriverConnect = testing_support::SimulatedDeviceTest;

// The start-up retries a failed connect every 2 s for as long as it takes; an
// attempt that opened the SPI device but not the relay device must not leave
// the SPI descriptor behind, and one without the SPI device opens nothing else.
TEST_F(DriverConnect, ConverterRetriesLeakNoDescriptor) {
    auto log = std::make_shared<testing_support::RecordingChannel>("connect-test");
    toolkit::getLogger().add(log);
    // The logger folds a line into the one before when it repeats within
    // 500 ms; a line of our own ends any chain an earlier test left.
    PrintI("converter connect test");
    platform::SimDevice& spi = platform::simDevice("/dev/spidev3.0");
    platform::SimDevice& relay = platform::simDevice("/dev/sn74ahc_ctl");
    const int open_before = platform::simOpenDescriptors();
    const unsigned long spi_opens = spi.opens(), relay_opens = relay.opens();
    CVORNA_ADC adc;
    spi.failNextOpens(1);
    EXPECT_FALSE(adc.VORNA_ADC_Connect());
    EXPECT_EQ(relay.opens(), relay_opens);
    relay.failNextOpens(3);
    for (int attempt = 0; attempt < 3; ++attempt) {
        EXPECT_FALSE(adc.VORNA_ADC_Connect());
        EXPECT_EQ(platform::simOpenDescriptors(), open_before) << "attempt " << attempt;
    }
    EXPECT_EQ(spi.opens(), spi_opens + 3);  // each attempt got as far as the relay device
    toolkit::getLogger().del("connect-test");
    auto texts = log->texts();
    EXPECT_NE(std::find(texts.begin(), texts.end(), "CVORNA_ADC Open failed: No such file or directory"), texts.end());
    // (Repeats within 500 ms are folded into the first line.)
    EXPECT_NE(std::find(texts.begin(), texts.end(), "595PWR Open failed: No such file or directory, /dev/sn74ahc_ctl"),
              texts.end());

    EXPECT_TRUE(adc.VORNA_ADC_Connect());
    EXPECT_EQ(platform::simSpi().mode(), 0);
    EXPECT_EQ(platform::simSpi().bitsPerWord(), 8);
    EXPECT_EQ(platform::simSpi().maxSpeedHz(), 1000000u);
    // Connected: a further call opens nothing.
    EXPECT_TRUE(adc.VORNA_ADC_Connect());
    EXPECT_EQ(spi.opens(), spi_opens + 4);
    EXPECT_EQ(platform::simOpenDescriptors(), open_before + 2);
}

TEST_F(DriverConnect, TemperatureChipIsConfiguredWithOneWriteAndFailuresLeaveNothingOpen) {
    platform::SimDevice& bus = platform::simDevice("/dev/i2c-4");
    const int open_before = bus.openDescriptors();
    CTempDrv temp;
    bus.failNextOpens(1);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(temp.Temp_Connect());
    bus.failNextIoctls(1, EIO);
    EXPECT_FALSE(temp.Temp_Connect());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Unable to open tmp275 control file: No such file or directory\n"
              "Unable to send data: Input/output error\n");
    EXPECT_EQ(bus.openDescriptors(), open_before);

    bus.clearRecord();
    ASSERT_TRUE(temp.Temp_Connect());
    auto calls = bus.ioctls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].request, static_cast<unsigned long>(I2C_RDWR));
    EXPECT_EQ(calls[0].data, std::vector<uint8_t>({0x01, 0x60}));
    EXPECT_EQ(platform::simI2c().configRegister(), 0x60);  // it reached the chip at 0x48
    EXPECT_TRUE(temp.Temp_Connect());
    EXPECT_EQ(bus.openDescriptors(), open_before + 1);
}
