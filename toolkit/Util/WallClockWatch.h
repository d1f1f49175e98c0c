#pragma once
#include <cstdint>

namespace toolkit {

// Notices the wall clock being set back or jumping ahead. The monotonic clock
// never jumps, so the distance between the two changes only when the wall
// clock does: a change of it is a jump, whenever the clocks were last read.
// Kept apart from the clocks so the rule can be exercised without setting the
// system time.
class WallClockWatch {
public:
    // A jump ahead of this many microseconds or more is reported...
    static constexpr int64_t kMaxStepUs = 1000000;
    // ...and so is a set-back beyond this, which leaves room for the two
    // clocks being read one after the other rather than at once.
    static constexpr int64_t kMaxSetBackUs = 1000;

    WallClockWatch(uint64_t wall_us, uint64_t monotonic_us) : _distance_us(distance(wall_us, monotonic_us)) {}

    // Takes a reading of both clocks (microseconds). Returns false, after the
    // warning "Stamp expired is abnormal: " with the jump, when the wall clock
    // jumped since the last reading; the jump is taken in either way.
    bool update(uint64_t wall_us, uint64_t monotonic_us);

private:
    static int64_t distance(uint64_t wall_us, uint64_t monotonic_us) {
        return static_cast<int64_t>(wall_us - monotonic_us);
    }

    int64_t _distance_us;
};

} // namespace toolkit
