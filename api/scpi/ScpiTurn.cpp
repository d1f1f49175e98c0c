#include "ScpiTurn.h"

#include <algorithm>

ScpiTurn::Line::iterator ScpiTurn::departedPlace(Client client) {
    return std::find_if(m_line.begin(), m_line.end(),
                        [client](const Place& place) { return place.departed && place.client == client; });
}

bool ScpiTurn::passableLocked(const Place& place) const {
    // A departed client's place stops no one while its file job runs.
    return place.departed && m_runningJobs.count(place.client) != 0;
}

bool ScpiTurn::freeAtLocked(Line::const_iterator at) const {
    if (m_depth != 0) {
        return false;
    }
    return std::all_of(m_line.cbegin(), at, [this](const Place& place) { return passableLocked(place); });
}

void ScpiTurn::holdLocked() {
    m_owner = std::this_thread::get_id();
    m_depth = 1;
}

bool ScpiTurn::tryTake(Client client) {
    std::lock_guard<std::mutex> lock(m_mtx);
    if (!freeAtLocked(departedPlace(client))) {
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
    // A departed client's lists run at its place, which stays theirs until
    // its last list has run; anyone else waits at a place of its own, kept
    // once taken even if its client leaves meanwhile (its departed place
    // comes later).
    Line::iterator own = m_line.end();
    auto place = [&] {
        if (own != m_line.end()) return own;
        Line::iterator departed = departedPlace(client);
        if (departed != m_line.end()) return departed;
        return own = m_line.insert(m_line.end(), Place{client, false});
    };
    const auto hasEnded = [&] { return ended && ended(); };
    m_cv.wait(lock, [&] { return hasEnded() || freeAtLocked(place()); });
    if (own != m_line.end()) {
        m_line.erase(own);
    }
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

void ScpiTurn::lend(Client client, bool job) {
    if (job) {
        std::lock_guard<std::mutex> lock(m_mtx);
        ++m_runningJobs[client];
    }
    give();
}

bool ScpiTurn::takeBack(Client client, bool job, const std::function<bool()>& ended) {
    if (job) {
        std::lock_guard<std::mutex> lock(m_mtx);
        auto it = m_runningJobs.find(client);
        if (it != m_runningJobs.end() && --it->second == 0) {
            m_runningJobs.erase(it);
        }
    }
    return take(client, ended);
}

void ScpiTurn::wake() {
    // Taken once: a waiter that looked before the lists were stopped is
    // asleep by the time the lock is had, and hears the notification.
    { std::lock_guard<std::mutex> lock(m_mtx); }
    m_cv.notify_all();
}

void ScpiTurn::depart(Client client) {
    std::lock_guard<std::mutex> lock(m_mtx);
    if (departedPlace(client) == m_line.end()) {
        m_line.push_back(Place{client, true});
    }
}

void ScpiTurn::drained(Client client) {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        Line::iterator at = departedPlace(client);
        if (at == m_line.end()) {
            return;
        }
        m_line.erase(at);
    }
    m_cv.notify_all();
}

bool ScpiTurn::departing() {
    std::lock_guard<std::mutex> lock(m_mtx);
    return std::any_of(m_line.begin(), m_line.end(), [](const Place& place) { return place.departed; });
}

size_t ScpiTurn::waiting() {
    std::lock_guard<std::mutex> lock(m_mtx);
    return static_cast<size_t>(
        std::count_if(m_line.begin(), m_line.end(), [](const Place& place) { return !place.departed; }));
}
