#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>

#include "device_test_support.h"
#include "drv/beeper/CBeeper.h"
#include "drv/extTrig/CExtTrigger.h"
#include "drv/vmc/CVMC.h"
#include "misc/Singelton.h"

using GpioDevices = testing_support::SimulatedDeviceTest;

TEST_F(GpioDevices, CommandsUseTheirRequestCodesAndPassValuesNotAddresses) {
    int32_t value = -1;
    ASSERT_TRUE(CGpioCtl::instance()->GPIO_IOWrite(4, 1));
    ASSERT_TRUE(CGpioCtl::instance()->GPIO_IORead(5, value));
    EXPECT_EQ(value, 1);
    // The trigger edge is written as a bit; the input has four edge settings.
    ASSERT_TRUE(CExtTrigger::instance()->Trig_EdgeSet(1));
    for (int32_t refused : {-1, 4, 31}) {
        EXPECT_FALSE(CExtTrigger::instance()->Trig_EdgeSet(refused)) << refused;
    }
    ASSERT_TRUE(CVMC::instance()->VMC_StateSet(true));
    EXPECT_TRUE(platform::simGpio().vmcActive());
    ASSERT_TRUE(CVMC::instance()->VMC_StateSet(false));
    EXPECT_FALSE(platform::simGpio().vmcActive());
    auto calls = gpioCalls();
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_TRUE(calls[0].request == 0x40047804u && calls[0].arg == 1u);
    EXPECT_EQ(calls[1].request, 0x80047805u);
    EXPECT_TRUE(calls[2].request == 0x40047806u && calls[2].arg == 2u);
    EXPECT_EQ(calls[3].request, 0x7802u);
    EXPECT_EQ(calls[4].request, 0x7809u);
}

TEST_F(GpioDevices, BeeperStateSwitchAndBeepReachTheDevice) {
    CBeeper* beeper = CBeeper::instance();
    ASSERT_TRUE(beeper->Beeper_StateSet(true));
    EXPECT_TRUE(beeper->Beeper_StateGet());
    ASSERT_TRUE(CGpioCtl::instance()->GPIO_IOWrite(4, 2));
    EXPECT_FALSE(beeper->Beeper_StateGet());  // on only when the device says exactly one
    ASSERT_TRUE(beeper->Beeper_Switch(true));
    EXPECT_EQ(platform::simGpio().lastWritten(8), 1);
    ASSERT_TRUE(beeper->Beeper_Switch(false));
    EXPECT_EQ(platform::simGpio().lastWritten(8), 0);
    const unsigned long beeps = platform::simGpio().beeps();
    EXPECT_TRUE(beeper->Beeper_Test());
    // System settings' own object drives the same device.
    EXPECT_NE(Copperwren::Singleton<CBeeper>::Instance(), beeper);
    EXPECT_TRUE(Copperwren::Singleton<CBeeper>::Instance()->Beeper_Test());
    EXPECT_EQ(platform::simGpio().beeps(), beeps + 2);

    // Failures are printed; a failed read is "off".
    ASSERT_TRUE(beeper->Beeper_StateSet(true));
    gpioNode().failNextIoctls(2, EIO);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(beeper->Beeper_StateGet());
    EXPECT_FALSE(beeper->Beeper_Test());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "GPIO_IORead ioctl type=5 error=Input/output error\nGPIO_IO ioctl type=7 error=Input/output error\n");
    EXPECT_TRUE(beeper->Beeper_StateGet());
    EXPECT_EQ(platform::simGpio().beeps(), beeps + 2);
}

TEST_F(GpioDevices, TriggerWaitIsReleasedByATriggerWhileCommandsGoOn) {
    std::atomic<bool> fired{false};
    std::thread waiter([&] {
        CExtTrigger::instance()->Trig_ExtIrq();
        fired = true;
    });
    ASSERT_TRUE(testing_support::eventually([] { return platform::simGpio().blockedReaders() == 1; }));
    auto commands = std::async(std::launch::async, [] {
        return CBeeper::instance()->Beeper_Test() && CExtTrigger::instance()->Trig_EdgeSet(1) &&
               CVMC::instance()->VMC_StateSet(false);
    });
    const bool finished = commands.wait_for(testing_support::kDeviceWait) == std::future_status::ready;
    EXPECT_TRUE(finished);
    EXPECT_FALSE(fired.load());
    platform::simGpio().injectTrigger();
    waiter.join();
    EXPECT_TRUE(fired.load());
    EXPECT_TRUE(finished && commands.get());
    // A trigger that comes first is kept for the next wait.
    platform::simGpio().injectTrigger();
    auto kept = std::async(std::launch::async, [] { return CExtTrigger::instance()->Trig_ExtIrq(); });
    const bool returned = kept.wait_for(testing_support::kDeviceWait) == std::future_status::ready;
    if (!returned) platform::simGpio().injectTrigger();  // releases a wait that missed it
    EXPECT_TRUE(returned && kept.get());
}

// A writer flooding the trigger input: edges beyond those waiting for a read
// are counted and dropped, not kept without end.
TEST_F(GpioDevices, TriggerEdgesBeyondTheBoundAreCountedAndDropped) {
    platform::SimGpio& gpio = platform::simGpio();
    const size_t bound = platform::SimGpio::kPendingTriggersMax;
    const unsigned long dropped = gpio.droppedTriggers();
    size_t kept = 0;
    for (size_t i = 0; i < bound + 10; ++i) kept += gpio.injectTrigger();
    EXPECT_EQ(kept, bound);
    EXPECT_EQ(gpio.droppedTriggers(), dropped + 10);
    for (size_t i = 0; i < bound; ++i) EXPECT_TRUE(CExtTrigger::instance()->Trig_ExtIrq());
    // None of the dropped ones is left: the next wait blocks until a new edge.
    std::thread waiter([] { CExtTrigger::instance()->Trig_ExtIrq(); });
    EXPECT_TRUE(testing_support::eventually([&] { return gpio.blockedReaders() == 1; }));
    gpio.injectTrigger();
    waiter.join();
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
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "GPIO_IORead ioctl type=5 error=Bad file descriptor\n"
              "open device /dev/ord_gpio_ctl failed, error=No such file or directory\n"
              "open device /dev/ord_gpio_ctl failed, error=No such file or directory\n");
    EXPECT_EQ(node.openDescriptors(), open_before);
    EXPECT_TRUE(gpio.GPIO_Connect());
    EXPECT_TRUE(gpio.GPIO_Connect());  // already open: no second descriptor
    EXPECT_EQ(node.openDescriptors(), open_before + 1);
    EXPECT_TRUE(gpio.GPIO_IORead(5, value));
}
