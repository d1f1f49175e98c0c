#include "Poller/EventPollerPool.h"

#include "Thread/ThreadPool.h"
#include "Util/NoticeCenter.h"
#include "Util/logger.h"

namespace toolkit {

namespace {
std::atomic<size_t> s_pool_size{0};
std::atomic<bool> s_enable_cpu_affinity{true};
} // namespace

EventPollerPool& EventPollerPool::Instance() {
    // Never destroyed: the pollers run until the process ends and reach the
    // pool (getPoller) even while static objects are being torn down.
    static Ptr* s_instance = new Ptr(new EventPollerPool());
    return **s_instance;
}

void EventPollerPool::setPoolSize(size_t size) {
    s_pool_size = size;
}

void EventPollerPool::enableCpuAffinity(bool enable) {
    s_enable_cpu_affinity = enable;
}

EventPollerPool::EventPollerPool() {
    auto size = addPoller("event poller", s_pool_size, ThreadPool::PRIORITY_HIGHEST, true, s_enable_cpu_affinity);
    NoticeCenter::Instance().emitEvent(kOnStarted, *this, size);
    InfoL << "EventPoller created size: " << size;
}

EventPoller::Ptr EventPollerPool::getFirstPoller() {
    return std::dynamic_pointer_cast<EventPoller>(_threads.front());
}

EventPoller::Ptr EventPollerPool::getPoller(bool prefer_current_thread) {
    if (prefer_current_thread && _prefer_current_thread) {
        auto poller = EventPoller::getCurrentPoller();
        if (poller) {
            return poller;
        }
    }
    return std::dynamic_pointer_cast<EventPoller>(getExecutor());
}

} // namespace toolkit
