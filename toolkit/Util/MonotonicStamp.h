#pragma once
#include <cstdint>

namespace toolkit {

// The stamp thread's rule for a monotonic clock built from wall-clock readings:
// only plausible steps (0 < step < 1 s) are added up, so the sum never goes
// backwards and ignores the wall clock being set back or jumping ahead. Kept
// apart from the thread so the rule can be exercised without touching the clock.
class MonotonicStamp {
public:
    // Steps at or above this many microseconds count as a clock jump.
    static constexpr int64_t kMaxStepUs = 1000000;

    explicit MonotonicStamp(uint64_t first_reading_us) : _previous_us(first_reading_us) {}

    // Takes a new wall-clock reading (microseconds). Returns false, after a
    // warning, when the step from the previous reading was not plausible; the
    // sum is then left as it was. The reading becomes the previous one either way.
    bool update(uint64_t now_us);

    // Sum of the plausible steps seen so far, in microseconds.
    uint64_t monotonicMicrosecond() const { return _monotonic_us; }

private:
    uint64_t _previous_us;
    uint64_t _monotonic_us = 0;
};

} // namespace toolkit
