// Opening the hardware: a device that fails is retried every 2 s with one
// error line per failure, and nothing after it runs meanwhile.
#include "connectDev.h"

#include <gtest/gtest.h>

#include <chrono>

#include "../toolkit/log_records.h"
#include "platform/device_io.h"
#include "platform/sim_frontend.h"
#include "platform/sim_gpio.h"
#include "platform/sim_registry.h"
#include "temp_root.h"

using testing_support::LogCapture;

// The drivers stay connected for the rest of the process: one run per process.
TEST(ConnectDev, RetriesTheGpioDeviceEveryTwoSecondsThenBeeps) {
    if (!platform::devSimulated()) {
        GTEST_SKIP() << "needs the simulated devices";
    }
    testing_support::TempRoot root;
    LogCapture log;
    platform::SimDevice& gpio = platform::simDevice("/dev/ord_gpio_ctl");
    if (gpio.openDescriptors() > 0) {
        GTEST_SKIP() << "the GPIO device was connected earlier in this process";
    }
    unsigned long opensBefore = gpio.opens();
    unsigned long beepsBefore = platform::simGpio().beeps();
    gpio.failNextOpens(2);

    auto start = std::chrono::steady_clock::now();
    connectDev();
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    auto errors = log.matching("GPIO CONNECT ERROR, try again 2s later!");
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0]->_level, toolkit::LError);
    // Two pauses of 2 s; generous margins for a loaded machine.
    const double apart = static_cast<double>(errors[1]->_tv.tv_sec - errors[0]->_tv.tv_sec) +
                         static_cast<double>(errors[1]->_tv.tv_usec - errors[0]->_tv.tv_usec) / 1e6;
    EXPECT_GE(apart, 1.8);
    EXPECT_LT(apart, 10.0);
    EXPECT_GE(took, 3.8);

    EXPECT_EQ(gpio.opens(), opensBefore + 1);
    EXPECT_TRUE(log.matching("CTempDrv CONNECT ERROR").empty());
    EXPECT_TRUE(log.matching("VORNA_ADC CONNECT ERROR").empty());
    // The beeper is switched on and sounds its one test beep.
    EXPECT_EQ(platform::simGpio().lastWritten(4), 1);
    EXPECT_EQ(platform::simGpio().beeps(), beepsBefore + 1);
    // Nothing reads what the simulated devices were sent in a service: it
    // keeps no record of it, so its memory does not creep while one fills.
    EXPECT_TRUE(gpio.ioctls().empty());
    EXPECT_TRUE(platform::simDevice("/dev/spidev3.0").ioctls().empty());
    EXPECT_TRUE(platform::simDevice("/dev/sn74ahc_ctl").writes().empty());
    EXPECT_TRUE(platform::simFrontEnd().transactions().empty());
}
