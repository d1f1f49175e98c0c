#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>

#include "misc/Singelton.h"
#include "device_test_support.h"
#include "drv/beeper/CBeeper.h"
#include "drv/extTrig/CExtTrigger.h"
#include "drv/vmc/CVMC.h"

using testing_support::eventually;
using testing_support::kDeviceWait;

namespace {

class GpioDevices : public testing_support::SimulatedDeviceTest {};

} // namespace

TEST_F(GpioDevices, CommandsUseTheirRequestCodes) {
    CGpioCtl* gpio = CGpioCtl::instance();
    int32_t value = -1;
    ASSERT_TRUE(gpio->GPIO_IOWrite(4, 1));
    ASSERT_TRUE(gpio->GPIO_IORead(5, value));
    ASSERT_TRUE(gpio->GPIO_IO(7));
    auto calls = gpioCalls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].request, 0x40047804u);
    EXPECT_EQ(calls[0].arg, 1u);  // the value itself, not its address
    EXPECT_EQ(calls[1].request, 0x80047805u);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(calls[2].request, 0x7807u);
}

TEST_F(GpioDevices, BeeperStateIsOnOnlyWhenTheDeviceSaysExactlyOne) {
    CBeeper* beeper = CBeeper::instance();
    ASSERT_TRUE(beeper->Beeper_StateSet(true));
    EXPECT_TRUE(beeper->Beeper_StateGet());
    ASSERT_TRUE(beeper->Beeper_StateSet(false));
    EXPECT_FALSE(beeper->Beeper_StateGet());
    ASSERT_TRUE(CGpioCtl::instance()->GPIO_IOWrite(4, 2));
    EXPECT_FALSE(beeper->Beeper_StateGet());

    // A failed read is "off", with the failure printed.
    ASSERT_TRUE(beeper->Beeper_StateSet(true));
    gpioNode().failNextIoctls(1, EIO);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(beeper->Beeper_StateGet());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "GPIO_IORead ioctl type=5 error=Input/output error\n");
    EXPECT_TRUE(beeper->Beeper_StateGet());
}

TEST_F(GpioDevices, BeeperSwitchAndBeepReachTheDevice) {
    CBeeper* beeper = CBeeper::instance();
    const unsigned long beeps = platform::simGpio().beeps();
    ASSERT_TRUE(beeper->Beeper_Switch(true));
    EXPECT_EQ(platform::simGpio().lastWritten(8), 1);
    ASSERT_TRUE(beeper->Beeper_Switch(false));
    EXPECT_EQ(platform::simGpio().lastWritten(8), 0);
    EXPECT_TRUE(beeper->Beeper_Test());
    // System settings' own object drives the same device.
    EXPECT_TRUE(Copperwren::Singleton<CBeeper>::Instance()->Beeper_Test());
    EXPECT_NE(Copperwren::Singleton<CBeeper>::Instance(), beeper);
    EXPECT_EQ(platform::simGpio().beeps(), beeps + 2);

    gpioNode().failNextIoctls(1, EIO);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(beeper->Beeper_Test());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "GPIO_IO ioctl type=7 error=Input/output error\n");
    EXPECT_EQ(platform::simGpio().beeps(), beeps + 2);
}

TEST_F(GpioDevices, TriggerEdgeIsWrittenAsABit) {
    CExtTrigger* trigger = CExtTrigger::instance();
    ASSERT_TRUE(trigger->Trig_EdgeSet(0));
    EXPECT_EQ(platform::simGpio().lastWritten(6), 1);
    ASSERT_TRUE(trigger->Trig_EdgeSet(1));
    EXPECT_EQ(platform::simGpio().lastWritten(6), 2);
    auto calls = gpioCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].request, 0x40047806u);
    EXPECT_EQ(calls[1].arg, 2u);
    // No edge has such a bit: nothing is sent.
    EXPECT_FALSE(trigger->Trig_EdgeSet(-1));
    EXPECT_FALSE(trigger->Trig_EdgeSet(31));
    EXPECT_EQ(gpioCalls().size(), 2u);
}

TEST_F(GpioDevices, VoltmeterCompleteUsesCommandsTwoAndNine) {
    ASSERT_TRUE(CVMC::instance()->VMC_StateSet(true));
    EXPECT_TRUE(platform::simGpio().vmcActive());
    ASSERT_TRUE(CVMC::instance()->VMC_StateSet(false));
    EXPECT_FALSE(platform::simGpio().vmcActive());
    auto calls = gpioCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].request, 0x7802u);
    EXPECT_EQ(calls[1].request, 0x7809u);
}

TEST_F(GpioDevices, TriggerWaitIsReleasedByATriggerWhileCommandsGoOn) {
    std::atomic<bool> fired{false};
    std::thread waiter([&] {
        CExtTrigger::instance()->Trig_ExtIrq();
        fired = true;
    });
    ASSERT_TRUE(eventually([] { return platform::simGpio().blockedReaders() == 1; }));

    const unsigned long beeps = platform::simGpio().beeps();
    auto commands = std::async(std::launch::async, [] {
        return CBeeper::instance()->Beeper_Test() && CExtTrigger::instance()->Trig_EdgeSet(1) &&
               CVMC::instance()->VMC_StateSet(true) && CVMC::instance()->VMC_StateSet(false);
    });
    bool finished = commands.wait_for(kDeviceWait) == std::future_status::ready;
    EXPECT_TRUE(finished);
    EXPECT_EQ(platform::simGpio().beeps(), beeps + 1);
    EXPECT_FALSE(fired.load());

    platform::simGpio().injectTrigger();
    waiter.join();
    EXPECT_TRUE(fired.load());
    if (finished) {
        EXPECT_TRUE(commands.get());
    }
}

TEST_F(GpioDevices, ConnectFailsAsLongAsTheDeviceIsMissing) {
    platform::SimDevice& node = gpioNode();
    const int open_before = node.openDescriptors();
    CGpioCtl gpio;  // a second wrapper, not yet connected
    int32_t value = 0;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(gpio.GPIO_IORead(5, value));  // nothing reaches a descriptor before the connect
    node.failNextOpens(2);
    EXPECT_FALSE(gpio.GPIO_Connect());
    EXPECT_FALSE(gpio.GPIO_Connect());
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed,
              "GPIO_IORead ioctl type=5 error=Bad file descriptor\n"
              "open device /dev/ord_gpio_ctl failed, error=No such file or directory\n"
              "open device /dev/ord_gpio_ctl failed, error=No such file or directory\n");
    EXPECT_EQ(node.openDescriptors(), open_before);

    EXPECT_TRUE(gpio.GPIO_Connect());
    EXPECT_TRUE(gpio.GPIO_Connect());  // already open: no second descriptor
    EXPECT_EQ(node.openDescriptors(), open_before + 1);
    EXPECT_TRUE(gpio.GPIO_IORead(5, value));
}
