#include "ScpiTurn.h"

bool ScpiTurn::freeForLocked(Client client) const {
    return m_depth == 0 && (m_departing.empty() || m_departing.count(client) != 0);
}

void ScpiTurn::holdLocked() {
    m_owner = std::this_thread::get_id();
    m_depth = 1;
}

bool ScpiTurn::tryTake(Client client) {
    std::lock_guard<std::mutex> lock(m_mtx);
    if (!freeForLocked(client) || m_next != m_serving) {
        return false;
    }
    ++m_next;
    ++m_serving;
    holdLocked();
    return true;
}

void ScpiTurn::take(Client client) {
    std::unique_lock<std::mutex> lock(m_mtx);
    if (m_depth != 0 && m_owner == std::this_thread::get_id()) {
        ++m_depth;
        return;
    }
    if (m_departing.count(client) != 0) {
        m_cv.wait(lock, [&] { return m_depth == 0; });
        holdLocked();
        return;
    }
    const uint64_t ticket = m_next++;
    m_cv.wait(lock, [&] { return ticket == m_serving && freeForLocked(client); });
    ++m_serving;
    holdLocked();
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

void ScpiTurn::depart(Client client) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_departing.insert(client);
}

void ScpiTurn::drained(Client client) {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        auto it = m_departing.find(client);
        if (it == m_departing.end()) {
            return;
        }
        m_departing.erase(it);
    }
    m_cv.notify_all();
}

bool ScpiTurn::departing() {
    std::lock_guard<std::mutex> lock(m_mtx);
    return !m_departing.empty();
}
