#include "ScpiStrand.h"

#include <algorithm>

#include <pthread.h>

ScpiStrand::~ScpiStrand() {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_stop = true;
        m_queue.clear();
    }
    m_cv.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

bool ScpiStrand::holdsLocked(Client client) const {
    if (client == nullptr) {
        return m_executing || !m_queue.empty();
    }
    return (m_executing && m_current == client) ||
           std::any_of(m_queue.begin(), m_queue.end(), [client](const auto& entry) { return entry.first == client; });
}

bool ScpiStrand::queueIfHeld(Task& task, bool mayWait, Client client) {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        // Held from the moment a task is queued, not only once the thread has
        // picked it up: the client's next list must queue behind it.
        if (!mayWait && !holdsLocked(client)) {
            return false;
        }
        m_queue.emplace_back(client, std::move(task));
        if (!m_thread.joinable()) {
            // Started on first use: a service no client waits on has no thread.
            m_thread = std::thread([this] { loop(); });
        }
    }
    m_cv.notify_one();
    return true;
}

void ScpiStrand::runHereOrQueue(Task task, bool mayWait, Client client) {
    if (!queueIfHeld(task, mayWait, client)) {
        task();
    }
}

size_t ScpiStrand::clear(Client client) {
    std::deque<std::pair<Client, Task>> dropped;
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        if (client == nullptr) {
            dropped.swap(m_queue);
        } else {
            std::deque<std::pair<Client, Task>> kept;
            for (auto& entry : m_queue) {
                (entry.first == client ? dropped : kept).push_back(std::move(entry));
            }
            m_queue.swap(kept);
        }
    }
    // Destroyed outside the lock: a task holds its list and reply callback,
    // whose ends may post to a poller.
    return dropped.size();
}

void ScpiStrand::loop() {
    pthread_setname_np(pthread_self(), "scpi strand");
    std::unique_lock<std::mutex> lock(m_mtx);
    for (;;) {
        m_cv.wait(lock, [this] { return m_stop || !m_queue.empty(); });
        if (m_stop) {
            return;
        }
        m_current = m_queue.front().first;
        Task task = std::move(m_queue.front().second);
        m_queue.pop_front();
        m_executing = true;
        lock.unlock();
        task();
        task = nullptr;
        lock.lock();
        m_executing = false;
    }
}
