#pragma once
#include <cstddef>
#include <list>
#include <mutex>
#include <utility>

#include "Thread/semaphore.h"

namespace toolkit {

// Hand-over queue of a worker pool. The semaphore counts the queued tasks plus
// the exit signals; a waiter that wins a unit and then finds the list empty has
// received an exit signal. Exit signals therefore only take effect once every
// task queued before them has been handed out.
//
// The list mutex is released before the semaphore is posted, and a waiter
// takes the semaphore before the list mutex, so the two are never held together.
template <typename T>
class TaskQueue {
public:
    template <typename C>
    void push_task(C&& task) {
        {
            std::lock_guard<std::mutex> lock(_mutex);
            _queue.emplace_back(std::forward<C>(task));
        }
        _sem.post();
    }

    template <typename C>
    void push_task_first(C&& task) {
        {
            std::lock_guard<std::mutex> lock(_mutex);
            _queue.emplace_front(std::forward<C>(task));
        }
        _sem.post();
    }

    // Wakes `n` waiters without adding anything to the list.
    void push_exit(size_t n) { _sem.post(n); }

    // Blocks for a unit; false means an exit signal, true a task moved into `out`.
    bool get_task(T& out) {
        _sem.wait();
        std::lock_guard<std::mutex> lock(_mutex);
        if (_queue.empty()) {
            return false;
        }
        out = std::move(_queue.front());
        _queue.pop_front();
        return true;
    }

    size_t size() const {
        std::lock_guard<std::mutex> lock(_mutex);
        return _queue.size();
    }

private:
    std::list<T> _queue;
    mutable std::mutex _mutex;
    semaphore _sem;
};

} // namespace toolkit
