#include "Thread/TaskExecutorGetter.h"

#include <climits>
#include <thread>

#include "Poller/EventPoller.h"
#include "Thread/ThreadPool.h"
#include "Util/util.h"

namespace toolkit {

TaskExecutor::Ptr TaskExecutorGetterImp::getExecutor() {
    const size_t count = _threads.size();
    if (count == 0) {
        return nullptr;
    }
    size_t pos = _thread_pos.load();
    if (pos >= count) {
        pos = 0;
    }
    TaskExecutor::Ptr best;
    int min_load = INT_MAX;
    for (size_t i = 0; i < count; ++i) {
        if (pos >= count) {
            pos = 0;
        }
        int load = _threads[pos]->load();
        if (load < min_load) {
            min_load = load;
            best = _threads[pos];
        }
        if (min_load == 0) {
            // An idle executor: take it and start the next search right here.
            break;
        }
        ++pos;
    }
    _thread_pos = pos;
    return best;
}

std::vector<int> TaskExecutorGetterImp::getExecutorLoad() {
    std::vector<int> ret;
    ret.reserve(_threads.size());
    for (auto& executor : _threads) {
        ret.push_back(executor->load());
    }
    return ret;
}

void TaskExecutorGetterImp::for_each(const std::function<void(const TaskExecutor::Ptr&)>& cb) {
    for (auto& executor : _threads) {
        cb(executor);
    }
}

size_t TaskExecutorGetterImp::addPoller(const std::string& name, size_t size, int priority, bool register_thread,
                                        bool enable_cpu_affinity) {
    const unsigned cpus = std::thread::hardware_concurrency();
    if (size == 0) {
        size = cpus > 0 ? cpus : 1;
    }
    for (size_t i = 0; i < size; ++i) {
        auto full_name = name + " " + std::to_string(i);
        auto poller = std::make_shared<EventPoller>(full_name, static_cast<ThreadPool::Priority>(priority));
        poller->runLoop(false, register_thread);
        poller->async([i, cpus, full_name, enable_cpu_affinity]() {
            setThreadName(full_name.c_str());
            if (enable_cpu_affinity && cpus > 0) {
                setThreadAffinity(static_cast<int>(i % cpus));
            }
        });
        _threads.emplace_back(std::move(poller));
    }
    return size;
}

} // namespace toolkit
