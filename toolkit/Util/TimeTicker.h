#pragma once
#include <cstdint>

#include "Util/logger.h"

namespace toolkit {

// Measures elapsed time on the monotonic clock. With print_log, destruction
// warns through `ctx` when the ticker lived longer than min_ms.
class Ticker {
public:
    Ticker(uint64_t min_ms = 0,
           LogContextCapture ctx = LogContextCapture(getLogger(), LWarn, __FILE__, "", __LINE__),
           bool print_log = false);
    ~Ticker();

    Ticker(const Ticker&) = delete;
    Ticker& operator=(const Ticker&) = delete;

    // Milliseconds since construction or the last resetTime().
    uint64_t elapsedTime() const;
    // Milliseconds since construction.
    uint64_t createdTime() const;
    void resetTime();

private:
    uint64_t _min_ms;
    uint64_t _begin;
    uint64_t _created;
    LogContextCapture _ctx;
};

} // namespace toolkit
