#include "CVMC.h"

#include "dev/gpio/CGpioCtl.h"

namespace {

constexpr uint32_t kActive = 2;
constexpr uint32_t kInactive = 9;

} // namespace

CVMC* CVMC::instance() {
    static CVMC vmc;
    return &vmc;
}

bool CVMC::VMC_StateSet(bool on) { return CGpioCtl::instance()->GPIO_IO(on ? kActive : kInactive); }
