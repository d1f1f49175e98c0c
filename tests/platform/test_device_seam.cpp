#include <fcntl.h>
#include <linux/i2c-dev.h>

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
#include "eventually.h"
#include "sim_display.h"
#include "sim_gpio.h"
#include "sim_i2c.h"
#include "sim_registry.h"
#include "temp_root.h"

using testing_support::TempRoot;

namespace {

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
    for (const char* path : {"/dev/disp", "/dev/disp", "/dev/no_such_node"}) {
        errno = 0;
        EXPECT_EQ(platform::devOpen(path, O_RDWR), -1);
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

    // Ioctls fail as told and are still recorded; unknown commands are refused as the kernel does.
    platform::SimDevice& gpio = platform::simDevice("/dev/ord_gpio_ctl");
    fd = platform::devOpen("/dev/ord_gpio_ctl", O_RDWR);
    gpio.clearRecord();
    const unsigned long beeps = platform::simGpio().beeps();
    gpio.failNextIoctls(1, EIO);
    EXPECT_EQ(platform::devIoctl(fd, 0x7807), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(platform::devIoctl(fd, 0x7807), 0);
    EXPECT_EQ(platform::simGpio().beeps(), beeps + 1);  // only the call that went through sounded
    EXPECT_EQ(gpio.ioctls().size(), 2u);
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
    ASSERT_TRUE(testing_support::eventually([&] { return gpio.blockedReaders() == 1; }));

    // Commands from other threads are not held up by the waiting reader.
    auto commands = std::async(std::launch::async, [&] {
        int32_t state = -1;
        bool ok = platform::devIoctl(fd, 0x40047804, 1UL) == 0 && platform::devIoctl(fd, 0x80047805, &state) == 0 &&
                  platform::devIoctl(fd, 0x7802) == 0;
        return ok && state == 1;
    });
    const bool finished = commands.wait_for(testing_support::kDeviceWait) == std::future_status::ready;
    EXPECT_TRUE(finished);
    EXPECT_FALSE(returned.load());
    EXPECT_TRUE(gpio.vmcActive());
    gpio.injectTrigger(5);
    waiter.join();
    EXPECT_EQ(byte, 5);
    EXPECT_TRUE(finished && commands.get());
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
    platform::simI2c().setTemperature(-10.5);
    uint8_t reg = 0, temp[2] = {0};
    EXPECT_EQ(platform::devIoctl(fd, I2C_SLAVE, 0x10UL), 0);
    EXPECT_EQ(platform::devWrite(fd, &reg, 1), -1);  // nothing answers there
    EXPECT_EQ(errno, ENXIO);
    EXPECT_EQ(platform::devIoctl(fd, I2C_SLAVE, 0x80UL), -1);  // not a 7-bit address
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(platform::devIoctl(fd, I2C_SLAVE, 0x48UL), 0);
    EXPECT_EQ(platform::devWrite(fd, &reg, 1), 1);
    EXPECT_EQ(platform::devRead(fd, temp, 2), 2);
    EXPECT_EQ(temp[0] << 8 | temp[1], 0xF580);  // -168 sixteenths of a degree, left-justified
    platform::simI2c().setTemperature(25.0);
    platform::devClose(fd);
}
