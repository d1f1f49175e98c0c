#pragma once
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <list>
#include <mutex>
#include <utility>

// Blocking hand-over queue between threads, oldest element first. Any number of
// producers and consumers; every access to the list is under the one mutex and
// wake-ups are given after it is released.
template <typename T>
class CSafeQueue {
public:
    // Appends a copy of `value` and wakes one waiter.
    void Push(T value) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queue_.push_back(std::move(value));
        }
        condition_variable_.notify_one();
    }

    // Appends `value` after dropping the oldest elements, so that at most
    // `max_size` remain (a producer that keeps only the newest few values).
    // Returns how many were dropped. A bound of 0 is taken as 1.
    size_t PushBounded(T value, size_t max_size) {
        size_t dropped = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            size_t keep = max_size > 0 ? max_size - 1 : 0;
            while (queue_.size() > keep) {
                queue_.pop_front();
                ++dropped;
            }
            queue_.push_back(std::move(value));
        }
        condition_variable_.notify_one();
        return dropped;
    }

    // Waits at most `timeout_ms` for an element and moves the oldest into
    // `out`. False on time-out, with `out` unchanged. A time-out of 0 or less
    // only looks once.
    bool WaitForPop(T& out, int timeout_ms) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (timeout_ms > 0) {
            auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
            // wait_until with a predicate looks once more after the deadline.
            condition_variable_.wait_until(lock, deadline, [this] { return !queue_.empty(); });
        }
        return PopLocked(out);
    }

    // Waits without time limit for an element and moves the oldest into `out`.
    void WaitAndPop(T& out) {
        std::unique_lock<std::mutex> lock(mutex_);
        condition_variable_.wait(lock, [this] { return !queue_.empty(); });
        PopLocked(out);
    }

    // As WaitForPop, for a consumer that may stop wanting elements while it
    // waits: `wanted()` is asked under the lock at every wake-up, and an
    // element is taken only while it holds. A consumer that no longer wants
    // one passes its wake-up on to the next waiter, so nothing it was woken
    // for is lost. The caller re-checks `wanted()` after a false result.
    template <typename Wanted>
    bool WaitForPopIf(T& out, int timeout_ms, Wanted wanted) {
        std::unique_lock<std::mutex> lock(mutex_);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms > 0 ? timeout_ms : 0);
        condition_variable_.wait_until(lock, deadline, [&] { return !queue_.empty() || !wanted(); });
        if (wanted()) {
            return PopLocked(out);
        }
        if (!queue_.empty()) {
            condition_variable_.notify_one();
        }
        return false;
    }

    // Drops the oldest element, if any; true when one was dropped.
    bool PopOldest() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.empty()) {
            return false;
        }
        queue_.pop_front();
        return true;
    }

    // Drops every element.
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.clear();
    }

    size_t Size() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return queue_.size();
    }

    bool Empty() const { return Size() == 0; }

private:
    bool PopLocked(T& out) {
        if (queue_.empty()) {
            return false;
        }
        out = std::move(queue_.front());
        queue_.pop_front();
        return true;
    }

    mutable std::mutex mutex_;
    std::list<T> queue_;
    std::condition_variable condition_variable_;
};
