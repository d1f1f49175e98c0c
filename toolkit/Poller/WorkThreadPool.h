#pragma once
#include <memory>

#include "Poller/EventPoller.h"
#include "Thread/TaskExecutorGetter.h"

namespace toolkit {

// A second, low-priority set of pollers ("work poller 0" upwards) for blocking
// side work such as name resolution. Made by the first Instance() call.
class WorkThreadPool : public std::enable_shared_from_this<WorkThreadPool>, public TaskExecutorGetterImp {
public:
    using Ptr = std::shared_ptr<WorkThreadPool>;

    static WorkThreadPool& Instance();
    // Only effective before the first Instance() call.
    static void setPoolSize(size_t size = 0);
    static void enableCpuAffinity(bool enable);

    ~WorkThreadPool() override = default;

    EventPoller::Ptr getFirstPoller();
    EventPoller::Ptr getPoller();

private:
    WorkThreadPool();
};

} // namespace toolkit
