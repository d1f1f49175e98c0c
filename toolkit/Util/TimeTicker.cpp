#include "Util/TimeTicker.h"

namespace toolkit {

Ticker::Ticker(uint64_t min_ms, LogContextCapture ctx, bool print_log) : _min_ms(min_ms), _ctx(ctx) {
    if (!print_log) {
        _ctx.clear();
    }
    _created = _begin = getCurrentMillisecond();
}

Ticker::~Ticker() {
    uint64_t taken = createdTime();
    if (taken > _min_ms) {
        _ctx << "take time: " << taken << "ms" << ", thread may be overloaded";
    } else {
        _ctx.clear();
    }
}

uint64_t Ticker::elapsedTime() const {
    return getCurrentMillisecond() - _begin;
}

uint64_t Ticker::createdTime() const {
    return getCurrentMillisecond() - _created;
}

void Ticker::resetTime() {
    _begin = getCurrentMillisecond();
}

} // namespace toolkit
