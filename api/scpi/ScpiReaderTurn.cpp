#include "ScpiReaderTurn.h"

#include <algorithm>
#include <iterator>


bool ScpiReaderTurn::reads(uint32_t funcId) {
    static constexpr uint32_t kReaders[] = {
        0x20000600, 0x20000601, 0x20000602, 0x20000603, 0x20000604, 0x20000605, 0x20000606,
        0x20000607, 0x20000608, 0x20000609, 0x2000060a, 0x1000060b, 0x2000060d, 0x1000060e, 0x2000060f,
    };
    return std::find(std::begin(kReaders), std::end(kReaders), funcId) != std::end(kReaders);
}

bool ScpiReaderTurn::take(const std::function<bool()>& stop, const Timeout& timeout, bool& timedOut) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    std::unique_lock<std::mutex> lock(m_mtx);
    const auto place = m_line.insert(m_line.end(), &stop);
    const auto ready = [&] { return (!m_taken && m_line.begin() == place) || stop(); };
    while (!ready()) {
        if (!timeout) {
            m_cv.wait(lock);
            continue;
        }
        const auto deadline = start + timeout();
        if (Clock::now() >= deadline) {
            timedOut = true;
            break;
        }
        m_cv.wait_until(lock, deadline);
    }
    const bool first = m_line.begin() == place;
    m_line.erase(place);
    if (stop() || timedOut) {
        if (first) {
            // The next in line may be the one the turn is free for now.
            lock.unlock();
            m_cv.notify_all();
        }
        return false;
    }
    m_taken = true;
    return true;
}

void ScpiReaderTurn::give() {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_taken = false;
    }
    m_cv.notify_all();
}

size_t ScpiReaderTurn::waiting() {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_line.size();
}

void ScpiReaderTurn::wake() {
    // Taken once: a waiter that looked at its list before the abort is
    // asleep by the time the lock is had, and hears the notification.
    { std::lock_guard<std::mutex> lock(m_mtx); }
    m_cv.notify_all();
}
