#include "CExtTrigger.h"

#include "dev/gpio/CGpioCtl.h"

namespace {

constexpr uint32_t kEdgeSet = 6;

} // namespace

CExtTrigger* CExtTrigger::instance() {
    static CExtTrigger trigger;
    return &trigger;
}

bool CExtTrigger::Trig_ExtIrq() { return CGpioCtl::instance()->GPIO_Read() >= 0; }

bool CExtTrigger::Trig_EdgeSet(int32_t val) {
    if (val < 0 || val > 3) {
        return false;  // the input knows four edge settings
    }
    return CGpioCtl::instance()->GPIO_IOWrite(kEdgeSet, 1 << val);
}
