#pragma once
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>

#include "Thread/TaskCancelable.h"

namespace toolkit {

// Measures the busy share of a thread from the times at which it goes to sleep
// and wakes up, over a window bounded in records and in time.
class ThreadLoadCounter {
public:
    ThreadLoadCounter(uint64_t max_size, uint64_t max_usec);
    virtual ~ThreadLoadCounter() = default;

    void startSleep();
    void sleepWakeUp();
    // Busy share in percent (0..100) of the recent window; 0 for an empty window.
    int load();

protected:
    // Starts the window at `start_usec` instead of the monotonic clock's now, for
    // a subclass whose nowMicrosecond() runs on another time base (a virtual
    // call cannot reach the subclass while the base is being constructed).
    ThreadLoadCounter(uint64_t max_size, uint64_t max_usec, uint64_t start_usec);

    // The monotonic microsecond clock; tests inject their own.
    virtual uint64_t nowMicrosecond();

private:
    struct TimeRecord {
        bool _sleep;
        uint64_t _time;
    };

    bool _sleeping = true;
    uint64_t _last_sleep_time = 0;
    uint64_t _last_wake_time = 0;
    uint64_t _max_size;
    uint64_t _max_usec;
    std::mutex _mtx;
    std::list<TimeRecord> _time_list;
};

class TaskExecutorInterface {
public:
    TaskExecutorInterface() = default;
    virtual ~TaskExecutorInterface() = default;

    // Runs `task` on the executor; with may_sync and a caller already on the
    // executor's thread it runs at once and the handle is empty.
    virtual Task::Ptr async(TaskIn task, bool may_sync = true) = 0;
    // As async, but ahead of the tasks already queued.
    virtual Task::Ptr async_first(TaskIn task, bool may_sync = true) { return async(std::move(task), may_sync); }
};

// An executor that also reports how busy its thread is.
class TaskExecutor : public ThreadLoadCounter, public TaskExecutorInterface {
public:
    using Ptr = std::shared_ptr<TaskExecutor>;

    TaskExecutor(uint64_t max_size = 32, uint64_t max_usec = 2 * 1000 * 1000) : ThreadLoadCounter(max_size, max_usec) {}
    ~TaskExecutor() override = default;
};

} // namespace toolkit
