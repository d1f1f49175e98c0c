#pragma once
#include <atomic>

#include "misc/Singelton.h"

// The front-panel beeper.
//
// Host build: no GPIO device is driven. Each beep is counted and logged, so
// that the service runs on a development machine and tests can see how often
// it would have sounded. The device call replaces the body of Beeper_Test.
class CBeeper {
public:
    // The one beeper, created on first use.
    static CBeeper* instance() { return Copperwren::Singleton<CBeeper>::Instance(); }

    // Sounds one beep; true when the device took the command.
    bool Beeper_Test();

    // Test hook: beeps sounded since the process started.
    unsigned long beepCount() const { return _beeps.load(std::memory_order_relaxed); }

private:
    std::atomic<unsigned long> _beeps{0};
};
