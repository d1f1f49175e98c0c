#include "Thread/TaskExecutor.h"

#include "Util/util.h"

namespace toolkit {

ThreadLoadCounter::ThreadLoadCounter(uint64_t max_size, uint64_t max_usec)
    : ThreadLoadCounter(max_size, max_usec, getCurrentMicrosecond(false)) {}

ThreadLoadCounter::ThreadLoadCounter(uint64_t max_size, uint64_t max_usec, uint64_t start_usec)
    : _last_sleep_time(start_usec), _last_wake_time(start_usec), _max_size(max_size), _max_usec(max_usec) {}

uint64_t ThreadLoadCounter::nowMicrosecond() {
    return getCurrentMicrosecond(false);
}

void ThreadLoadCounter::startSleep() {
    std::lock_guard<std::mutex> lock(_mtx);
    _sleeping = true;
    auto now = nowMicrosecond();
    // The busy stretch that ends here.
    _time_list.push_back(TimeRecord{false, now - _last_wake_time});
    _last_sleep_time = now;
    if (_time_list.size() > _max_size) {
        _time_list.pop_front();
    }
}

void ThreadLoadCounter::sleepWakeUp() {
    std::lock_guard<std::mutex> lock(_mtx);
    _sleeping = false;
    auto now = nowMicrosecond();
    // The wait that ends here.
    _time_list.push_back(TimeRecord{true, now - _last_sleep_time});
    _last_wake_time = now;
    if (_time_list.size() > _max_size) {
        _time_list.pop_front();
    }
}

int ThreadLoadCounter::load() {
    std::lock_guard<std::mutex> lock(_mtx);
    uint64_t total_sleep = 0;
    uint64_t total_busy = 0;
    for (auto& rec : _time_list) {
        if (rec._sleep) {
            total_sleep += rec._time;
        } else {
            total_busy += rec._time;
        }
    }

    // The stretch in progress counts too, so a thread stuck in one long task
    // (or one long wait) is seen as such without waiting for its next switch.
    auto now = nowMicrosecond();
    if (_sleeping) {
        total_sleep += now - _last_sleep_time;
    } else {
        total_busy += now - _last_wake_time;
    }

    // Keep the window to the recent past: bounded in time and in records.
    uint64_t total_time = total_busy + total_sleep;
    while (!_time_list.empty() && (total_time > _max_usec || _time_list.size() > _max_size)) {
        auto& front = _time_list.front();
        total_time -= front._time;
        if (!front._sleep) {
            total_busy -= front._time;
        }
        _time_list.pop_front();
    }
    if (total_time == 0) {
        return 0;
    }
    return static_cast<int>(total_busy * 100 / total_time);
}

} // namespace toolkit
