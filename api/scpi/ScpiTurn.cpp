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

void ScpiTurn::take(Client client) {
    std::unique_lock<std::mutex> lock(m_mtx);
    if (m_depth != 0 && m_owner == std::this_thread::get_id()) {
        ++m_depth;
        return;
    }
    // A place of its own at the end of the line, whoever the client is and
    // whether it is still connected.
    const Line::iterator own = m_line.insert(m_line.end(), client);
    m_cv.wait(lock, [&] { return freeAtLocked(own); });
    m_line.erase(own);
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

void ScpiTurn::lend(Client /*client*/, bool /*job*/) {
    give();
}

void ScpiTurn::takeBack(Client client, bool /*job*/) {
    take(client);
}

size_t ScpiTurn::waiting() {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_line.size();
}
