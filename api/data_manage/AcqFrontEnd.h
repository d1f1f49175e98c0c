#pragma once
// What the engine's decode and calibration use of the front-end converter and
// of time. The engine talks to the converter driver and to the clock only
// through these two, so that tests can hand it frames of their own and run
// the capacitance methods (which wait for hundreds of milliseconds) in
// virtual time.

#include <cstdint>

#include "inc_type.h"

class AcqFrontEnd {
public:
    virtual ~AcqFrontEnd() = default;
    // Reads `len` bytes from register 0 into `buf` under the driver's lock and
    // reports the configuration that frame belongs to. False: nothing read.
    virtual bool acqData(uint32_t& func, structFuncConfig& config, uint8_t* buf, int32_t len) = 0;
    // Re-applies the configuration in force (forced row write).
    virtual void configRecover() = 0;
    // Stops, presets and restarts the counters; `status` is control register 0x20.
    virtual void countReset(uint8_t status) = 0;
    // Capacitance charge-slope: start charging / discharge.
    virtual void charge() = 0;
    virtual void discharge() = 0;
    // Stores a converter acc value for (function, range).
    virtual void setAcc(uint32_t func, uint32_t range, uint32_t acc) = 0;
    // The loop's own range change: applied only while the front end still
    // runs (func, fromRange); false when a handler configured it meanwhile.
    virtual bool changeRange(MeasureTypeEnum func, int32_t fromRange, const structFuncConfig& config) = 0;

    // The converter driver of the process.
    static AcqFrontEnd& converter();
};

class EngineClock {
public:
    virtual ~EngineClock() = default;
    // Monotonic milliseconds.
    virtual uint64_t nowMs() = 0;
    virtual void sleepUs(uint64_t us) = 0;

    // Real time: the toolkit's millisecond clock and thread sleeps.
    static EngineClock& steady();
};
