#pragma once
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Poller/EventPoller.h"
#include "log_records.h"

// Helpers of the thread, poller, timer and socket tests.
namespace poller_test {

constexpr std::chrono::milliseconds kWait{10000};

// A one-shot signal that copies share; tasks capture it by value, so it stays
// valid however late they run.
class Latch {
public:
    void set() const {
        std::lock_guard<std::mutex> lck(_state->mtx);
        _state->done = true;
        _state->cv.notify_all();
    }
    bool wait(std::chrono::milliseconds timeout = kWait) const {
        std::unique_lock<std::mutex> lck(_state->mtx);
        return _state->cv.wait_for(lck, timeout, [this]() { return _state->done; });
    }
    bool isSet() const {
        std::lock_guard<std::mutex> lck(_state->mtx);
        return _state->done;
    }

private:
    struct State {
        std::mutex mtx;
        std::condition_variable cv;
        bool done = false;
    };
    std::shared_ptr<State> _state = std::make_shared<State>();
};

// The calling thread's name as the system knows it.
inline std::string threadName() {
    char name[32] = {0};
    pthread_getname_np(pthread_self(), name, sizeof(name));
    return name;
}

// A predicate polled until true or the wait is over.
inline bool waitUntil(const std::function<bool()>& pred, std::chrono::milliseconds wait = kWait) {
    auto deadline = std::chrono::steady_clock::now() + wait;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A started poller (registered as its loop thread's current poller).
inline toolkit::EventPoller::Ptr startPoller(const std::string& name = "test poller") {
    auto poller = std::make_shared<toolkit::EventPoller>(name);
    poller->runLoop(false, true);
    return poller;
}

// Runs fn on the poller's thread and waits for it; false on time-out.
// With the default no-op it waits until all that was queued before has run.
template <typename FUNC>
bool runOn(const toolkit::EventPoller::Ptr& poller, FUNC fn) {
    Latch done;
    poller->async([fn, done]() mutable {
        fn();
        done.set();
    }, false);
    return done.wait();
}
inline bool runOn(const toolkit::EventPoller::Ptr& poller) {
    return runOn(poller, []() {});
}

// Keeps the loop busy inside one task until opened, so that the tasks posted
// meanwhile queue up and are taken together in the next batch.
class LoopGate {
public:
    explicit LoopGate(const toolkit::EventPoller::Ptr& poller) {
        Latch entered;
        Latch release = _release;
        poller->async([entered, release]() {
            entered.set();
            release.wait();
        }, false);
        entered.wait();
    }
    ~LoopGate() { open(); }
    void open() { _release.set(); }

private:
    Latch _release;
};

// A thread-safe list of labels in the order they were added.
class Trace {
public:
    void add(const std::string& label) {
        std::lock_guard<std::mutex> lck(_mtx);
        _labels.push_back(label);
    }
    std::vector<std::string> labels() {
        std::lock_guard<std::mutex> lck(_mtx);
        return _labels;
    }
    size_t size() { return labels().size(); }

private:
    std::mutex _mtx;
    std::vector<std::string> _labels;
};

} // namespace poller_test
