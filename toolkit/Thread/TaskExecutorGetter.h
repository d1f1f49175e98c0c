#pragma once
#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Thread/TaskExecutor.h"

namespace toolkit {

// Hands out one executor of a set.
class TaskExecutorGetter {
public:
    using Ptr = std::shared_ptr<TaskExecutorGetter>;

    virtual ~TaskExecutorGetter() = default;
    virtual TaskExecutor::Ptr getExecutor() = 0;
    virtual size_t getExecutorSize() const = 0;
};

// Holds a fixed set of executors and hands out the least loaded one, searching
// round from where the previous search stopped.
class TaskExecutorGetterImp : public TaskExecutorGetter {
public:
    TaskExecutorGetterImp() = default;
    ~TaskExecutorGetterImp() override = default;

    // The least loaded executor; ties go to the first met from the stored
    // position, and an idle one is taken at once. Null for an empty set.
    TaskExecutor::Ptr getExecutor() override;
    size_t getExecutorSize() const override { return _threads.size(); }
    // The load of each executor, in creation order.
    std::vector<int> getExecutorLoad();
    void for_each(const std::function<void(const TaskExecutor::Ptr&)>& cb);

protected:
    // Creates `size` pollers (0: one per hardware thread, at least one) named
    // `name` plus " " plus their index, each running on a thread of its own
    // that carries that name. Returns the number created.
    size_t addPoller(const std::string& name, size_t size, int priority, bool register_thread,
                     bool enable_cpu_affinity = true);

    // Where the next search starts; callers on several threads share it.
    std::atomic<size_t> _thread_pos{0};
    // Filled before the getter is shared and never changed afterwards.
    std::vector<TaskExecutor::Ptr> _threads;
};

} // namespace toolkit
