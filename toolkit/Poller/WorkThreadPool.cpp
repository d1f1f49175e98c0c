#include "Poller/WorkThreadPool.h"

#include <atomic>

#include "Thread/ThreadPool.h"

namespace toolkit {

namespace {
std::atomic<size_t> s_pool_size{0};
std::atomic<bool> s_enable_cpu_affinity{true};
} // namespace

WorkThreadPool& WorkThreadPool::Instance() {
    // Never destroyed, like the event poller pool: its threads outlive main.
    static Ptr* s_instance = new Ptr(new WorkThreadPool());
    return **s_instance;
}

void WorkThreadPool::setPoolSize(size_t size) {
    s_pool_size = size;
}

void WorkThreadPool::enableCpuAffinity(bool enable) {
    s_enable_cpu_affinity = enable;
}

WorkThreadPool::WorkThreadPool() {
    // Not registered as their threads' current pollers: work posted from one of
    // them must not stay there by preference.
    addPoller("work poller", s_pool_size, ThreadPool::PRIORITY_LOWEST, false, s_enable_cpu_affinity);
}

EventPoller::Ptr WorkThreadPool::getFirstPoller() {
    return std::dynamic_pointer_cast<EventPoller>(_threads.front());
}

EventPoller::Ptr WorkThreadPool::getPoller() {
    return std::dynamic_pointer_cast<EventPoller>(getExecutor());
}

} // namespace toolkit
