#include "ScpiTurn.h"

bool ScpiTurn::freeAtLocked(Line::const_iterator at) const {
    return m_depth == 0 && at == m_line.cbegin();
}

void ScpiTurn::holdLocked() {
    m_owner = std::this_thread::get_id();
    m_depth = 1;
}

bool ScpiTurn::tryTake(Client /*client*/) {
    std::lock_guard<std::mutex> lock(m_mtx);
    if (!freeAtLocked(m_line.cend())) {
        return false;
    }
    holdLocked();
    return true;
}

bool ScpiTurn::take(Client client, const std::function<bool()>& ended) {
    std::unique_lock<std::mutex> lock(m_mtx);
    if (m_depth != 0 && m_owner == std::this_thread::get_id()) {
        ++m_depth;
        return true;
    }
    // A place of its own at the end of the line, whoever the client is and
    // whether it is still connected.
    const Line::iterator own = m_line.insert(m_line.end(), client);
    const auto hasEnded = [&] { return ended && ended(); };
    m_cv.wait(lock, [&] { return hasEnded() || freeAtLocked(own); });
    m_line.erase(own);
    if (hasEnded()) {
        // The one behind its place may be the one the turn is free for now.
        lock.unlock();
        m_cv.notify_all();
        return false;
    }
    holdLocked();
    return true;
}

void ScpiTurn::give() {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        if (--m_depth != 0) {
            return;
        }
        m_owner = std::thread::id();
    }
    m_cv.notify_all();
}

void ScpiTurn::wake() {
    // Taken once: a waiter that looked before the lists were stopped is
    // asleep by the time the lock is had, and hears the notification.
    { std::lock_guard<std::mutex> lock(m_mtx); }
    m_cv.notify_all();
}

size_t ScpiTurn::waiting() {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_line.size();
}
