#include <chrono>
#include <thread>

#include "AcqFrontEnd.h"
#include "Util/util.h"

namespace {

class SteadyClock : public EngineClock {
public:
    uint64_t nowMs() override { return toolkit::getCurrentMillisecond(false); }
    void sleepUs(uint64_t us) override { std::this_thread::sleep_for(std::chrono::microseconds(us)); }
};

} // namespace

EngineClock& EngineClock::steady() {
    static SteadyClock clock;
    return clock;
}
