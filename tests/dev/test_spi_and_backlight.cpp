#include <fcntl.h>
#include <linux/spi/spidev.h>

#include <gtest/gtest.h>

#include <cstring>

#include "dev/spi/spi2dev.h"
#include "device_test_support.h"
#include "drv/brightness/CBrightness.h"
#include "sim_display.h"
#include "sim_spi.h"

using SpiBus = testing_support::SimulatedDeviceTest;

TEST_F(SpiBus, TransferWriteAndSettingsReachTheBusAndAFailedSettingEndsTheProcess) {
    platform::SimDevice& node = platform::simDevice("/dev/spidev3.0");
    const int fd = platform::devOpen("/dev/spidev3.0", O_RDWR);
    ASSERT_GE(fd, 0);
    node.clearRecord();
    uint8_t tx[4] = {0x01, 0xFF, 0x00, 0x00}, rx[4] = {9, 9, 9, 9};
    EXPECT_EQ(SPI_Transfer(fd, tx, rx, 4), 4);
    EXPECT_EQ(rx[0], 0);  // the bare bus answers zeros
    EXPECT_EQ(SPI_Write(fd, tx, 2), 2);
    SPI_Set_Mode(fd, 3);
    SPI_Set_Bits(fd, 16);
    SPI_Set_Speed(fd, 2000000);
    EXPECT_EQ(platform::simSpi().mode(), 3);
    EXPECT_EQ(platform::simSpi().bitsPerWord(), 16);
    EXPECT_EQ(platform::simSpi().maxSpeedHz(), 2000000u);
    EXPECT_EQ(node.writes(), (std::vector<std::vector<uint8_t>>{{0x01, 0xFF}}));
    auto calls = node.ioctls();  // one full-duplex message, then each setting written and read back
    ASSERT_EQ(calls.size(), 7u);
    EXPECT_EQ(calls[0].request, static_cast<unsigned long>(SPI_IOC_MESSAGE(1)));
    EXPECT_EQ(calls[0].data, std::vector<uint8_t>(tx, tx + 4));
    EXPECT_EQ(calls[6].request, static_cast<unsigned long>(SPI_IOC_RD_MAX_SPEED_HZ));
    EXPECT_EQ(calls[6].data, std::vector<uint8_t>({0x80, 0x84, 0x1E, 0x00}));

    testing::internal::CaptureStderr();
    EXPECT_EQ(SPI_Transfer(-1, tx, rx, 4), -1);
    EXPECT_EQ(SPI_Write(-1, tx, 2), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "can't send spi message: Bad file descriptor\nSPI Write error: Bad file descriptor\n");

    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(SPI_Set_Speed(-1, 1000000), "can't set max speed hz: Bad file descriptor");
    // The failure is armed inside the dying process, so none is left over here.
    EXPECT_DEATH(
        {
            node.failNextIoctls(1);
            SPI_Set_Mode(fd, 0);
        },
        "can't set spi mode: Input/output error");
    platform::devClose(fd);
}

using Backlight = testing_support::SimulatedDeviceTest;

TEST_F(Backlight, UserLevelIsScaledAndKeptInTheHardwareRange) {
    platform::SimDevice& disp = platform::simDevice("/dev/disp");
    const int open_before = disp.openDescriptors();
    for (auto [level, sent] : {std::pair{60, 150u}, {100, 250u}, {1, 5u}, {0, 5u}, {-20, 5u}, {200, 252u}}) {
        disp.clearRecord();
        EXPECT_TRUE(CBrightness().BrightnessSet(level));
        EXPECT_EQ(disp.openDescriptors(), open_before);  // opened for the change only
        auto calls = disp.ioctls();
        ASSERT_EQ(calls.size(), 1u);
        ASSERT_EQ(calls[0].data.size(), 8u);
        EXPECT_EQ(calls[0].request, 0x102u);
        uint32_t words[2];  // the screen, then the level
        std::memcpy(words, calls[0].data.data(), sizeof(words));
        EXPECT_EQ(words[0], 0u);
        EXPECT_EQ(words[1], sent) << level;
    }
    EXPECT_EQ(platform::simDisplay().brightness(0), 252);

    disp.failNextOpens(1);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(CBrightness().BrightnessSet(50));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Can't open /dev/disp device\n");
}
