#pragma once
#include <ctime>

namespace platform {

// The instrument's wall clock. On the instrument setting it sets the system
// clock and the RTC ("date", "hwclock --systohc"). A host build never touches
// the machine's clock: it keeps the offset between the time set and the host
// time in "<root>/sim/clock_offset" and reports time through it, so the
// offset survives a restart.
time_t clockNow();

// Makes `stamp` the current time; false when it could not be set.
bool clockSet(time_t stamp);

} // namespace platform
