#include "Poller/Timer.h"

#include <cstdint>

#include "Poller/EventPollerPool.h"
#include "Util/logger.h"

namespace toolkit {

Timer::Timer(float second, const std::function<bool()>& cb, const EventPoller::Ptr& poller) : _poller(poller) {
    if (!_poller) {
        _poller = EventPollerPool::Instance().getPoller();
    }
    const auto period_ms = static_cast<uint64_t>(second * 1000.0f);
    _tag = _poller->doDelayTask(period_ms, [cb, period_ms]() -> uint64_t {
        try {
            return cb() ? period_ms : 0;
        } catch (std::exception& ex) {
            ErrorL << "Exception occurred when do timer task: " << ex.what();
            return period_ms;
        }
    });
}

Timer::~Timer() {
    auto tag = _tag.lock();
    if (tag) {
        tag->cancel();
    }
}

} // namespace toolkit
