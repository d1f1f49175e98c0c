#pragma once
#include <atomic>
#include <memory>

#include "Poller/EventPoller.h"
#include "Thread/TaskExecutorGetter.h"

namespace toolkit {

// The process-wide pollers, "event poller 0" upwards, one per hardware thread
// unless setPoolSize says otherwise. Made by the first Instance() call and
// kept until the process ends.
class EventPollerPool : public std::enable_shared_from_this<EventPollerPool>, public TaskExecutorGetterImp {
public:
    using Ptr = std::shared_ptr<EventPollerPool>;

    // Announced through NoticeCenter with (EventPollerPool&, size_t&) once the
    // pollers run.
    static constexpr const char* kOnStarted = "kBroadcastEventPollerPoolStarted";

    static EventPollerPool& Instance();
    // The number of pollers (0: one per hardware thread). Only effective
    // before the first Instance() call.
    static void setPoolSize(size_t size = 0);
    // Only effective before the first Instance() call.
    static void enableCpuAffinity(bool enable);

    ~EventPollerPool() override = default;

    EventPoller::Ptr getFirstPoller();
    // With prefer_current_thread, a caller running on a poller's loop gets that
    // poller; otherwise the least loaded one.
    EventPoller::Ptr getPoller(bool prefer_current_thread = true);
    void preferCurrentThread(bool flag = true) { _prefer_current_thread = flag; }

private:
    EventPollerPool();

    std::atomic<bool> _prefer_current_thread{true};
};

} // namespace toolkit
