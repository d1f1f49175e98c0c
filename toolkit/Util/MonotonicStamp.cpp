#include "Util/MonotonicStamp.h"

#include "Util/logger.h"

namespace toolkit {

bool MonotonicStamp::update(uint64_t now_us) {
    // Unsigned subtraction reinterpreted as signed gives the negative step
    // when the clock was set back.
    int64_t step = static_cast<int64_t>(now_us - _previous_us);
    _previous_us = now_us;
    if (step > 0 && step < kMaxStepUs) {
        _monotonic_us += static_cast<uint64_t>(step);
        return true;
    }
    if (step != 0) {
        WarnL << "Stamp expired is abnormal: " << step;
        return false;
    }
    return true;
}

} // namespace toolkit
