#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <linux/spi/spidev.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>

#include "device_io.h"
#include "device_io_host.h"
#include "sim_display.h"
#include "sim_gpio.h"
#include "sim_i2c.h"
#include "sim_registry.h"
#include "sim_spi.h"
#include "temp_root.h"

using testing_support::TempRoot;

namespace {

constexpr auto kLongWait = std::chrono::seconds(20);

// Waits (generously) until `done` holds; false when it never did.
template <typename Pred>
bool eventually(Pred done) {
    auto deadline = std::chrono::steady_clock::now() + kLongWait;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

class SimulatedDevices : public ::testing::Test {
protected:
    void SetUp() override {
        if (!platform::devSimulated()) {
            GTEST_SKIP() << "built with the kernel's devices";
        }
    }
};

} // namespace

TEST(HostDevices, NodePathsReachTheOsUnderTheDataRoot) {
    TempRoot root;
    testing_support::writeFile(root.host("/dev/fake_node"), "abc");
    int fd = platform::hostDevOpen("/dev/fake_node", O_RDWR);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    char text[8] = {0};
    EXPECT_EQ(platform::hostDevRead(fd, text, sizeof(text)), 3);
    EXPECT_STREQ(text, "abc");
    EXPECT_EQ(platform::hostDevWrite(fd, "d", 1), 1);
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);  // shell commands must not inherit it
    EXPECT_EQ(platform::hostDevClose(fd), 0);
    EXPECT_EQ(testing_support::readFile(root.host("/dev/fake_node")), "abcd");

    // The machine's own /dev/null is not under the root.
    EXPECT_EQ(platform::hostDevOpen("/dev/null", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(SimulatedDevices, OpensFailAsToldThenSucceedAndDescriptorsAreCounted) {
    platform::SimDevice& disp = platform::simDevice("/dev/disp");
    const int before = disp.openDescriptors();
    const unsigned long opens_before = disp.opens();
    disp.failNextOpens(2);
    for (int i = 0; i < 2; ++i) {
        errno = 0;
        EXPECT_EQ(platform::devOpen("/dev/disp", O_RDWR), -1);
        EXPECT_EQ(errno, ENOENT);
    }
    int fd = platform::devOpen("/dev/disp", O_RDWR);
    ASSERT_GE(fd, 0x100000);  // never a number the kernel hands out
    EXPECT_EQ(disp.openDescriptors(), before + 1);
    EXPECT_EQ(disp.opens(), opens_before + 1);
    EXPECT_EQ(platform::devClose(fd), 0);
    EXPECT_EQ(disp.openDescriptors(), before);

    // A closed descriptor is gone for every call.
    EXPECT_EQ(platform::devClose(fd), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(platform::devWrite(fd, "x", 1), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(platform::devIoctl(fd, 0x102), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST_F(SimulatedDevices, OnlyNamedNodesExist) {
    EXPECT_EQ(platform::devOpen("/dev/no_such_node", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    platform::simDevice("/dev/test_node").clearRecord();
    int fd = platform::devOpen("/dev/test_node", O_RDWR);
    ASSERT_GE(fd, 0);
    const uint8_t bytes[] = {1, 2, 3};
    EXPECT_EQ(platform::devWrite(fd, bytes, sizeof(bytes)), 3);
    char buf[4];
    EXPECT_EQ(platform::devRead(fd, buf, sizeof(buf)), 0);
    EXPECT_EQ(platform::devIoctl(fd, 0x1234), -1);
    EXPECT_EQ(errno, ENOTTY);
    auto writes = platform::simDevice("/dev/test_node").writes();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0], std::vector<uint8_t>({1, 2, 3}));
    platform::devClose(fd);
}

TEST_F(SimulatedDevices, RecordKeepsTheNewestCallsOnly) {
    platform::SimDevice& relay = platform::simDevice("/dev/sn74ahc_ctl");
    relay.clearRecord();
    int fd = platform::devOpen("/dev/sn74ahc_ctl", O_RDWR);
    ASSERT_GE(fd, 0);
    for (size_t i = 0; i <= platform::SimDevice::kRecordLimit; ++i) {
        uint8_t byte = static_cast<uint8_t>(i);
        ASSERT_EQ(platform::devWrite(fd, &byte, 1), 1);
    }
    auto writes = relay.writes();
    ASSERT_EQ(writes.size(), platform::SimDevice::kRecordLimit);
    EXPECT_EQ(writes.front()[0], 1);  // the very first write fell out
    EXPECT_EQ(writes.back()[0], static_cast<uint8_t>(platform::SimDevice::kRecordLimit));
    platform::devClose(fd);
    relay.clearRecord();
}

// The converter simulation will answer SPI messages itself; the seam lets a
// handler of its own take over a node.
TEST_F(SimulatedDevices, APluggedInHandlerAnswersSpiMessages) {
    class EchoPlusOne : public platform::SimSpi {
    protected:
        void transfer(const uint8_t* tx, uint8_t* rx, size_t len) override {
            for (size_t i = 0; i < len; ++i) {
                rx[i] = static_cast<uint8_t>(tx[i] + 1);
            }
        }
    };
    platform::SimDevice& spi = platform::simDevice("/dev/spidev3.0");
    auto original = spi.handler();
    spi.setHandler(std::make_shared<EchoPlusOne>());
    spi.clearRecord();
    int fd = platform::devOpen("/dev/spidev3.0", O_RDWR);
    ASSERT_GE(fd, 0);

    uint8_t tx[3] = {0x10, 0x20, 0xFF};
    uint8_t rx[3] = {0};
    spi_ioc_transfer tr;
    std::memset(&tr, 0, sizeof(tr));
    tr.tx_buf = reinterpret_cast<uintptr_t>(tx);
    tr.rx_buf = reinterpret_cast<uintptr_t>(rx);
    tr.len = 3;
    EXPECT_EQ(platform::devIoctl(fd, SPI_IOC_MESSAGE(1), &tr), 3);
    EXPECT_EQ(rx[0], 0x11);
    EXPECT_EQ(rx[1], 0x21);
    EXPECT_EQ(rx[2], 0x00);
    auto calls = spi.ioctls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].request, static_cast<unsigned long>(SPI_IOC_MESSAGE(1)));
    EXPECT_EQ(calls[0].data, std::vector<uint8_t>({0x10, 0x20, 0xFF}));

    spi.setHandler(original);
    EXPECT_EQ(platform::devIoctl(fd, SPI_IOC_MESSAGE(1), &tr), 3);
    EXPECT_EQ(rx[0], 0x00);  // the bare bus answers zeros
    platform::devClose(fd);
}

TEST_F(SimulatedDevices, IoctlsFailAsToldAndAreStillRecorded) {
    platform::SimDevice& gpio = platform::simDevice("/dev/ord_gpio_ctl");
    int fd = platform::devOpen("/dev/ord_gpio_ctl", O_RDWR);
    ASSERT_GE(fd, 0);
    gpio.clearRecord();
    const unsigned long beeps = platform::simGpio().beeps();
    gpio.failNextIoctls(1, EIO);
    EXPECT_EQ(platform::devIoctl(fd, 0x7807), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(platform::devIoctl(fd, 0x7807), 0);
    EXPECT_EQ(platform::simGpio().beeps(), beeps + 1);  // only the call that went through sounded
    EXPECT_EQ(gpio.ioctls().size(), 2u);
    // An unknown command is refused as the kernel refuses it.
    EXPECT_EQ(platform::devIoctl(fd, 0x7803), -1);
    EXPECT_EQ(errno, ENOTTY);
    platform::devClose(fd);
}

TEST_F(SimulatedDevices, GpioReadBlocksUntilATriggerWhileCommandsGoThrough) {
    int fd = platform::devOpen("/dev/ord_gpio_ctl", O_RDWR);
    ASSERT_GE(fd, 0);
    platform::SimGpio& gpio = platform::simGpio();
    std::atomic<bool> returned{false};
    uint8_t byte = 0;
    std::thread waiter([&] {
        EXPECT_EQ(platform::devRead(fd, &byte, 1), 1);
        returned = true;
    });
    ASSERT_TRUE(eventually([&] { return gpio.blockedReaders() == 1; }));

    // Commands from other threads are not held up by the waiting reader.
    auto commands = std::async(std::launch::async, [&] {
        int32_t state = -1;
        bool ok = platform::devIoctl(fd, 0x40047804, 1UL) == 0 && platform::devIoctl(fd, 0x80047805, &state) == 0 &&
                  platform::devIoctl(fd, 0x7802) == 0;
        return ok && state == 1;
    });
    bool finished = commands.wait_for(kLongWait) == std::future_status::ready;
    EXPECT_TRUE(finished);
    EXPECT_FALSE(returned.load());
    EXPECT_TRUE(gpio.vmcActive());

    gpio.injectTrigger(5);
    waiter.join();
    EXPECT_EQ(byte, 5);
    if (finished) {
        EXPECT_TRUE(commands.get());
    }
    // A trigger that comes first is kept for the next read.
    gpio.injectTrigger(7);
    EXPECT_EQ(platform::devRead(fd, &byte, 1), 1);
    EXPECT_EQ(byte, 7);
    EXPECT_EQ(gpio.blockedReaders(), 0);
    platform::devClose(fd);
}

TEST_F(SimulatedDevices, TemperatureChipAnswersAtItsAddressOnly) {
    int fd = platform::devOpen("/dev/i2c-4", O_RDWR);
    ASSERT_GE(fd, 0);
    platform::SimI2c& i2c = platform::simI2c();
    i2c.setTemperature(-10.5);

    uint8_t reg = 0;
    EXPECT_EQ(platform::devIoctl(fd, I2C_SLAVE, 0x10UL), 0);
    EXPECT_EQ(platform::devWrite(fd, &reg, 1), -1);  // nothing answers there
    EXPECT_EQ(errno, ENXIO);
    EXPECT_EQ(platform::devIoctl(fd, I2C_SLAVE, 0x80UL), -1);  // not a 7-bit address
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(platform::devIoctl(fd, I2C_SLAVE, 0x48UL), 0);
    EXPECT_EQ(i2c.slaveAddress(), 0x48u);
    EXPECT_EQ(platform::devWrite(fd, &reg, 1), 1);
    uint8_t temp[2] = {0};
    EXPECT_EQ(platform::devRead(fd, temp, 2), 2);
    // -10.5 degrees is -168 sixteenths, left-justified: 0xF58 << 4.
    EXPECT_EQ(temp[0], 0xF5);
    EXPECT_EQ(temp[1], 0x80);

    uint8_t config[2] = {0x01, 0x20};
    i2c_msg msg{0x49, 0, 2, config};
    i2c_rdwr_ioctl_data data{&msg, 1};
    EXPECT_EQ(platform::devIoctl(fd, I2C_RDWR, &data), -1);
    EXPECT_EQ(errno, ENXIO);
    msg.addr = 0x48;
    EXPECT_EQ(platform::devIoctl(fd, I2C_RDWR, &data), 1);
    EXPECT_EQ(i2c.configRegister(), 0x20);
    i2c.setTemperature(25.0);
    platform::devClose(fd);
}
