#include "Util/WallClockWatch.h"

#include "Util/logger.h"

namespace toolkit {

bool WallClockWatch::update(uint64_t wall_us, uint64_t monotonic_us) {
    int64_t now = distance(wall_us, monotonic_us);
    int64_t jump = now - _distance_us;
    _distance_us = now;
    if (jump < -kMaxSetBackUs || jump >= kMaxStepUs) {
        WarnL << "Stamp expired is abnormal: " << jump;
        return false;
    }
    return true;
}

} // namespace toolkit
