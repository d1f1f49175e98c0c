#pragma once
// The hub's error path as the service sets it up: the SCPI error queue and
// registers of interface 1, and the beeper on the simulated GPIO device, which
// counts the beeps; the log lines are recorded.
#include <algorithm>
#include <memory>
#include <string>

#include "../drv/scpi/scpi_status_fixture.h"
#include "../toolkit/log_records.h"
#include "dev/gpio/CGpioCtl.h"
#include "sim_gpio.h"
#include "sim_registry.h"

namespace testing_support {

class HubTest : public ScpiStatusTest {
protected:
    void SetUp() override {
        ScpiStatusTest::SetUp();
        ASSERT_TRUE(CGpioCtl::instance()->GPIO_Connect());
        _beeps_before = platform::simGpio().beeps();
        toolkit::getLogger().add(_log);
    }
    void TearDown() override { toolkit::getLogger().del(_log->name()); }

    unsigned long beeps() const { return platform::simGpio().beeps() - _beeps_before; }
    bool logged(const std::string& part) const {
        auto texts = _log->texts();
        return std::any_of(texts.begin(), texts.end(),
                           [&](const std::string& text) { return text.find(part) != std::string::npos; });
    }

private:
    std::shared_ptr<RecordingChannel> _log = std::make_shared<RecordingChannel>("hub-test");
    unsigned long _beeps_before = 0;
};

} // namespace testing_support
