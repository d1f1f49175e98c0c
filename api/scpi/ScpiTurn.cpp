#include "ScpiTurn.h"

#include <iterator>

namespace {

// What the seat of the clients that have left stands for in the line.
const char kSeat = 0;

}  // namespace

bool ScpiTurn::freeAtLocked(Line::const_iterator at) const {
    return m_depth == 0 && !m_handed && at == m_line.cbegin();
}

bool ScpiTurn::seatFreeAtLocked(Line::const_iterator at) const {
    return m_seatInLine && freeAtLocked(m_seat) && at == m_gone.cbegin();
}

void ScpiTurn::placeSeatLocked() {
    if (m_gone.empty()) {
        if (m_seatInLine) {
            m_line.erase(m_seat);
            m_seatInLine = false;
        }
    } else if (!m_seatInLine && !m_seatHeld) {
        m_seat = m_line.insert(m_line.end(), Place{&kSeat, false});
        m_seatInLine = true;
    }
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

bool ScpiTurn::take(Client client, const std::function<bool()>& ended, bool gone) {
    std::unique_lock<std::mutex> lock(m_mtx);
    if (m_depth != 0 && m_owner == std::this_thread::get_id()) {
        ++m_depth;
        return true;
    }
    // A place of its own at the end of the line, or of the seat's queue. It
    // may move to the seat's queue while it waits (depart).
    Line& queue = gone ? m_gone : m_line;
    const Line::iterator own = queue.insert(queue.end(), Place{client, gone});
    if (gone) {
        placeSeatLocked();
    }
    const auto hasEnded = [&] { return ended && ended(); };
    const auto isFree = [&] { return own->gone ? seatFreeAtLocked(own) : freeAtLocked(own); };
    m_cv.wait(lock, [&] { return hasEnded() || isFree(); });
    const bool took = !hasEnded();
    gone = own->gone;
    (gone ? m_gone : m_line).erase(own);
    if (gone && took) {
        m_line.erase(m_seat);
        m_seatInLine = false;
        m_seatHeld = true;
    }
    if (!took) {
        if (gone) {
            placeSeatLocked();
        }
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
        if (m_seatHeld) {
            // Behind everyone who asked while the gone client's list ran.
            m_seatHeld = false;
            placeSeatLocked();
        }
    }
    m_cv.notify_all();
}

void ScpiTurn::handOver() {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_handed = true;
}

void ScpiTurn::claim() {
    std::unique_lock<std::mutex> lock(m_mtx);
    if (m_depth != 0 && m_owner == std::this_thread::get_id()) {
        ++m_depth;
    } else {
        m_cv.wait(lock, [this] { return m_depth == 0; });
        holdLocked();
    }
    m_handed = false;
}

void ScpiTurn::release() {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_handed = false;
    }
    m_cv.notify_all();
}

void ScpiTurn::depart(Client client) {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        for (auto it = m_line.begin(); it != m_line.end();) {
            const auto next = std::next(it);
            if (it->client == client) {
                // The seat takes the first place it held, unless it is
                // ahead already.
                if (!m_seatInLine && !m_seatHeld) {
                    m_seat = m_line.insert(it, Place{&kSeat, false});
                    m_seatInLine = true;
                }
                // Spliced: the waiter's iterator stays valid.
                it->gone = true;
                m_gone.splice(m_gone.end(), m_line, it);
            }
            it = next;
        }
        placeSeatLocked();
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
    return m_line.size() + m_gone.size() - (m_seatInLine ? 1 : 0);
}
