#include "Thread/ThreadPool.h"

#include <atomic>
#include <cstring>
#include <exception>
#include <sched.h>

#include "Util/logger.h"
#include "Util/util.h"

namespace toolkit {

ThreadPool::ThreadPool(int num, Priority priority, bool auto_run, bool set_affinity, const std::string& pool_name)
    : TaskExecutor(32, 2 * 1000 * 1000), _thread_num(num > 0 ? static_cast<size_t>(num) : 0) {
    _on_setup = [pool_name, priority, set_affinity](int index) {
        setPriority(priority);
        std::string name = pool_name + ' ' + std::to_string(index);
        setThreadName(name.c_str());
        if (set_affinity) {
            // hardware_concurrency() may report 0 when it cannot tell.
            int cpus = static_cast<int>(std::thread::hardware_concurrency());
            setThreadAffinity(cpus > 0 ? index % cpus : 0);
        }
    };
    // Workers log until they stop, so the logger must outlive the pool. It is
    // shared only when the logger itself lives in a shared pointer.
    _logger = Logger::Instance().weak_from_this().lock();
    if (auto_run) {
        try {
            start();
        } catch (...) {
            // No destructor runs for a half-made pool: stop what did start.
            shutdown();
            throw;
        }
    }
}

ThreadPool::~ThreadPool() {
    shutdown();
}

void ThreadPool::shutdown() {
    // One exit unit per worker; each is found only after the queued tasks.
    _queue.push_exit(_thread_group.size());
    _thread_group.join_all();
}

void ThreadPool::start() {
    if (_thread_num == 0 || _thread_group.size() >= _thread_num) {
        return;
    }
    for (size_t index = _thread_group.size(); index < _thread_num; ++index) {
        _thread_group.create_thread([this, index]() { run(index); });
    }
}

Task::Ptr ThreadPool::async(TaskIn task, bool may_sync) {
    return post(std::move(task), may_sync, false);
}

Task::Ptr ThreadPool::async_first(TaskIn task, bool may_sync) {
    return post(std::move(task), may_sync, true);
}

bool ThreadPool::isCurrentThread() const {
    return _thread_group.is_this_thread_in();
}

Task::Ptr ThreadPool::post(TaskIn task, bool may_sync, bool first) {
    if (may_sync && _thread_group.is_this_thread_in()) {
        // Already on a worker: run inline (an empty task throws bad_function_call).
        task();
        return nullptr;
    }
    auto ret = std::make_shared<Task>(std::move(task));
    if (first) {
        _queue.push_task_first(ret);
    } else {
        _queue.push_task(ret);
    }
    return ret;
}

void ThreadPool::run(size_t index) {
    _on_setup(static_cast<int>(index));
    Task::Ptr task;
    while (true) {
        startSleep();
        if (!_queue.get_task(task)) {
            break;
        }
        sleepWakeUp();
        try {
            (*task)();
        } catch (std::exception& ex) {
            ErrorL << "ThreadPool catch a exception: " << ex.what();
        }
        // Release the task (and what it captured) before waiting again.
        task = nullptr;
    }
}

namespace {

struct PriorityTable {
    bool valid = false;
    int levels[ThreadPool::PRIORITY_HIGHEST + 1] = {};
};

const PriorityTable& priorityTable() {
    static const PriorityTable table = [] {
        PriorityTable t;
        int min = sched_get_priority_min(SCHED_OTHER);
        int max = sched_get_priority_max(SCHED_OTHER);
        if (min == -1 || max == -1) {
            return t;
        }
        t.levels[0] = min;
        t.levels[1] = min + (max - min) / 4;
        t.levels[2] = min + (max - min) / 2;
        t.levels[3] = min + (max - min) * 3 / 4;
        t.levels[4] = max;
        t.valid = true;
        return t;
    }();
    return table;
}

} // namespace

bool ThreadPool::setPriority(Priority priority, pthread_t thread) {
    const auto& table = priorityTable();
    if (!table.valid || priority < PRIORITY_LOWEST || priority > PRIORITY_HIGHEST) {
        return false;
    }
    if (thread == 0) {
        thread = pthread_self();
    }
    struct sched_param params;
    memset(&params, 0, sizeof(params));
    params.sched_priority = table.levels[priority];
    int err = pthread_setschedparam(thread, SCHED_OTHER, &params);
    if (err == 0) {
        return true;
    }
    // Without the right to change priorities every thread runs at normal
    // priority; say so once rather than on every worker and poller.
    static std::atomic<bool> s_warned{false};
    if (!s_warned.exchange(true)) {
        WarnL << "Thread priority not changed, running at normal priority: " << strerror(err);
    }
    return false;
}

} // namespace toolkit
