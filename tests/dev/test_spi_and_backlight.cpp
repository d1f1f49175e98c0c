#include <fcntl.h>
#include <linux/spi/spidev.h>

#include <gtest/gtest.h>

#include <cstring>

#include "dev/spi/spi2dev.h"
#include "device_test_support.h"
#include "drv/brightness/CBrightness.h"
#include "sim_display.h"
#include "sim_spi.h"

namespace {

class SpiBus : public testing_support::SimulatedDeviceTest {
protected:
    void SetUp() override {
        SimulatedDeviceTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        _fd = platform::devOpen("/dev/spidev3.0", O_RDWR);
        ASSERT_GE(_fd, 0);
        node().clearRecord();
    }
    void TearDown() override {
        if (_fd >= 0) {
            platform::devClose(_fd);
        }
    }
    static platform::SimDevice& node() { return platform::simDevice("/dev/spidev3.0"); }

    int _fd = -1;
};

class Backlight : public testing_support::SimulatedDeviceTest {
protected:
    // The hardware level the display received for a user's level.
    static uint32_t levelSentFor(int32_t value) {
        platform::SimDevice& disp = platform::simDevice("/dev/disp");
        disp.clearRecord();
        const int open_before = disp.openDescriptors();
        CBrightness brightness;
        EXPECT_TRUE(brightness.BrightnessSet(value));
        EXPECT_EQ(disp.openDescriptors(), open_before);  // opened for the change only
        auto calls = disp.ioctls();
        EXPECT_EQ(calls.size(), 1u);
        if (calls.size() != 1 || calls[0].data.size() != 8) {
            return 0;
        }
        EXPECT_EQ(calls[0].request, 0x102u);
        uint32_t words[2];
        std::memcpy(words, calls[0].data.data(), sizeof(words));
        EXPECT_EQ(words[0], 0u);  // the first screen
        return words[1];
    }
};

} // namespace

TEST_F(SpiBus, TransferSendsOneFullDuplexMessage) {
    uint8_t tx[4] = {0x01, 0xFF, 0x00, 0x00};
    uint8_t rx[4] = {9, 9, 9, 9};
    EXPECT_EQ(SPI_Transfer(_fd, tx, rx, 4), 4);
    auto calls = node().ioctls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].request, static_cast<unsigned long>(SPI_IOC_MESSAGE(1)));
    EXPECT_EQ(calls[0].data, std::vector<uint8_t>({0x01, 0xFF, 0x00, 0x00}));
    EXPECT_EQ(rx[0], 0);  // the bare bus answers zeros

    testing::internal::CaptureStderr();
    EXPECT_EQ(SPI_Transfer(-1, tx, rx, 4), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "can't send spi message: Bad file descriptor\n");
}

TEST_F(SpiBus, WriteIsAPlainWrite) {
    uint8_t pair[2] = {0x28, 0x60};
    EXPECT_EQ(SPI_Write(_fd, pair, 2), 2);
    auto writes = node().writes();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0], std::vector<uint8_t>({0x28, 0x60}));

    testing::internal::CaptureStderr();
    EXPECT_EQ(SPI_Write(-1, pair, 2), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "SPI Write error: Bad file descriptor\n");
}

TEST_F(SpiBus, SettingsAreWrittenThenReadBack) {
    SPI_Set_Mode(_fd, 3);
    SPI_Set_Bits(_fd, 16);
    SPI_Set_Speed(_fd, 2000000);
    EXPECT_EQ(platform::simSpi().mode(), 3);
    EXPECT_EQ(platform::simSpi().bitsPerWord(), 16);
    EXPECT_EQ(platform::simSpi().maxSpeedHz(), 2000000u);
    auto calls = node().ioctls();
    ASSERT_EQ(calls.size(), 6u);
    EXPECT_EQ(calls[0].request, static_cast<unsigned long>(SPI_IOC_WR_MODE));
    EXPECT_EQ(calls[1].request, static_cast<unsigned long>(SPI_IOC_RD_MODE));
    EXPECT_EQ(calls[4].request, static_cast<unsigned long>(SPI_IOC_WR_MAX_SPEED_HZ));
    EXPECT_EQ(calls[5].request, static_cast<unsigned long>(SPI_IOC_RD_MAX_SPEED_HZ));
    EXPECT_EQ(calls[5].data, std::vector<uint8_t>({0x80, 0x84, 0x1E, 0x00}));
}

TEST_F(SpiBus, AFailedSettingEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(SPI_Set_Speed(-1, 1000000), "can't set max speed hz: Bad file descriptor");
    // The failure is armed inside the dying process, so none is left over here.
    EXPECT_DEATH(
        {
            node().failNextIoctls(1);
            SPI_Set_Mode(_fd, 0);
        },
        "can't set spi mode: Input/output error");
}

TEST_F(Backlight, UserLevelIsScaledAndKeptInTheHardwareRange) {
    EXPECT_EQ(levelSentFor(60), 150u);
    EXPECT_EQ(levelSentFor(100), 250u);
    EXPECT_EQ(levelSentFor(1), 5u);
    EXPECT_EQ(levelSentFor(0), 5u);
    EXPECT_EQ(levelSentFor(-20), 5u);
    EXPECT_EQ(levelSentFor(200), 252u);
    EXPECT_EQ(platform::simDisplay().brightness(0), 252);
}

TEST_F(Backlight, MissingDisplayIsReported) {
    platform::simDevice("/dev/disp").failNextOpens(1);
    CBrightness brightness;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(brightness.BrightnessSet(50));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Can't open /dev/disp device\n");
}
