#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "dev/gpio/CGpioCtl.h"
#include "platform/device_io.h"
#include "sim_device.h"
#include "sim_gpio.h"
#include "sim_registry.h"

namespace testing_support {

constexpr auto kDeviceWait = std::chrono::seconds(20);

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

// Waits (generously) until `done` holds; false when it never did.
template <typename Pred>
bool eventually(Pred done) {
    auto deadline = std::chrono::steady_clock::now() + kDeviceWait;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

} // namespace testing_support
