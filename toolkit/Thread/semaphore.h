#pragma once
#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace toolkit {

// Counting semaphore: post adds units, wait takes one.
class semaphore {
public:
    void post(size_t n = 1) {
        std::lock_guard<std::recursive_mutex> lock(_mutex);
        _count += n;
        if (n == 1) {
            _condition.notify_one();
        } else {
            _condition.notify_all();
        }
    }

    void wait() {
        std::unique_lock<std::recursive_mutex> lock(_mutex);
        _condition.wait(lock, [this] { return _count > 0; });
        --_count;
    }

private:
    size_t _count = 0;
    std::recursive_mutex _mutex;
    std::condition_variable_any _condition;
};

} // namespace toolkit
