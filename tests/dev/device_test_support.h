#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "../platform/eventually.h"
#include "dev/gpio/CGpioCtl.h"
#include "platform/device_io.h"
#include "sim_device.h"
#include "sim_gpio.h"
#include "sim_registry.h"

namespace testing_support {

// The drivers' tests talk to the simulated nodes; a build with the kernel's
// devices skips them.
class SimulatedDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!platform::devSimulated()) {
            GTEST_SKIP() << "built with the kernel's devices";
        }
        ASSERT_TRUE(CGpioCtl::instance()->GPIO_Connect());
        gpioNode().clearRecord();
    }

    static platform::SimDevice& gpioNode() { return platform::simDevice("/dev/ord_gpio_ctl"); }

    // The GPIO ioctls since the test began.
    static std::vector<platform::SimIoctl> gpioCalls() { return gpioNode().ioctls(); }
};

} // namespace testing_support
