#include "HCopy.h"

HCopy* HCopy::instance() {
    static HCopy* manager = new HCopy();
    return manager;
}

HCopy::HCopy() : Manager("hcopy_manager") {}

void HCopy::getCallbacks(std::map<unsigned int, cb_func>& /*entries*/) {
    // The screen-copy handlers (group 0x22) are not bound yet.
}
