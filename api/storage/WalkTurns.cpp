#include "WalkTurns.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "Poller/EventPoller.h"
#include "Util/DescriptorLimit.h"

namespace walk_turns {

namespace {

struct Turns {
    std::mutex mutex;
    std::condition_variable freed;  // a turn freed, or a cancel raised
    size_t running = 0;
    size_t waiting = 0;
};

Turns& turns() {
    static Turns instance;
    return instance;
}

thread_local bool t_holding = false;

} // namespace

size_t share() {
    return std::max<size_t>(1, toolkit::descriptorLimit() / toolkit::kDescriptorShare / kDescriptors);
}

Turn::Turn(const std::function<bool()>& cancelled)
    : m_taken(!t_holding && !toolkit::EventPoller::getCurrentPoller()) {
    if (!m_taken) {
        return;
    }
    Turns& t = turns();
    std::unique_lock<std::mutex> lock(t.mutex);
    ++t.waiting;
    while (t.running >= share()) {
        if (cancelled && cancelled()) {
            m_taken = false;
            break;
        }
        t.freed.wait(lock);
    }
    --t.waiting;
    if (m_taken) {
        ++t.running;
        t_holding = true;
    }
}

Turn::~Turn() {
    if (!m_taken) {
        return;
    }
    t_holding = false;
    Turns& t = turns();
    {
        std::lock_guard<std::mutex> lock(t.mutex);
        --t.running;
    }
    t.freed.notify_all();
}

void wake() {
    Turns& t = turns();
    {
        // Taken so that a walk between its look at the cancel and its wait
        // cannot miss this.
        std::lock_guard<std::mutex> lock(t.mutex);
    }
    t.freed.notify_all();
}

size_t waiting() {
    Turns& t = turns();
    std::lock_guard<std::mutex> lock(t.mutex);
    return t.waiting;
}

} // namespace walk_turns
