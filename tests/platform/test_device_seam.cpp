#include <fcntl.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "device_io.h"
#include "device_io_host.h"
#include "sim_gpio.h"
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
