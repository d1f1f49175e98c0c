#include "CBeeper.h"

#include "dev/gpio/CGpioCtl.h"

namespace {

// GPIO control commands of the beeper.
constexpr uint32_t kStateSet = 4;
constexpr uint32_t kStateGet = 5;
constexpr uint32_t kBeep = 7;
constexpr uint32_t kSwitch = 8;

} // namespace

CBeeper* CBeeper::instance() {
    static CBeeper beeper;
    return &beeper;
}

bool CBeeper::Beeper_StateSet(bool on) { return CGpioCtl::instance()->GPIO_IOWrite(kStateSet, on ? 1 : 0); }

bool CBeeper::Beeper_StateGet() {
    int32_t state = 0;
    if (!CGpioCtl::instance()->GPIO_IORead(kStateGet, state)) {
        return false;
    }
    return state == 1;
}

bool CBeeper::Beeper_Switch(bool on) { return CGpioCtl::instance()->GPIO_IOWrite(kSwitch, on ? 1 : 0); }

bool CBeeper::Beeper_Test() { return CGpioCtl::instance()->GPIO_IO(kBeep); }
