#pragma once
#include <functional>
#include <memory>

#include "Poller/EventPoller.h"

namespace toolkit {

// Calls a function periodically on one poller until it returns false or the
// timer is destroyed. The first call comes one period after construction.
class Timer {
public:
    using Ptr = std::shared_ptr<Timer>;

    // second: the period. A null poller means the caller's own poller when it
    // runs on one, else the least loaded poller of the pool. A std::exception
    // from cb is logged and the timer goes on.
    Timer(float second, const std::function<bool()>& cb, const EventPoller::Ptr& poller);
    // Stops further calls; a call already running finishes.
    ~Timer();

private:
    // Weak: the poller alone keeps the scheduled task alive.
    std::weak_ptr<EventPoller::DelayTask> _tag;
    EventPoller::Ptr _poller;
};

} // namespace toolkit
