// What the SCPI library needs of the operating system: its one lock.
#pragma once

#include <mutex>

// Guards the interface records, the error queue and every status register.
// They are written from the UI link's pollers, the SCPI executor, the
// network-status thread, the measurement loop and the transports' receiving
// threads. Every public operation of the library takes it; it is recursive
// because operations call each other (a reset clears the error queue).
std::recursive_mutex& SCP_LibMutex();

using SCP_LockGuard = std::lock_guard<std::recursive_mutex>;
