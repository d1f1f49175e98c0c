#include "ScpiStrand.h"

#include <pthread.h>

#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "Util/logger.h"

namespace {

struct WorkerStart {
    ScpiStrand* strand;
    ScpiStrand::Client client;
};

}  // namespace

ScpiStrand::~ScpiStrand() {
    std::vector<Task> dropped;
    std::unique_lock<std::mutex> lock(m_mtx);
    m_stop = true;
    for (auto& entry : m_clients) {
        for (Task& task : entry.second) {
            dropped.push_back(std::move(task));
        }
        entry.second.clear();
    }
    // Each worker ends after the task it runs; none starts another.
    m_idle.wait(lock, [this] { return m_clients.empty(); });
}

bool ScpiStrand::runHereOrQueue(Task task, bool mayWait, Client client, size_t most,
                                const std::function<bool()>& mayRunHere) {
    switch (place(task, mayWait, client, most, mayRunHere)) {
        case Placed::Queued:
            return true;
        case Placed::Full:
            return false;
        case Placed::Here:
            break;
    }
    task();
    return true;
}

ScpiStrand::Placed ScpiStrand::place(Task& task, bool mayWait, Client client, size_t most,
                                     const std::function<bool()>& mayRunHere) {
    std::lock_guard<std::mutex> lock(m_mtx);
    auto it = m_clients.find(client);
    // Held from the moment a task is queued, not only once the worker has
    // picked it up: the client's next list must queue behind it.
    if (it == m_clients.end()) {
        // Asked last: a yes is a promise to run it here.
        if (m_stop || (!mayWait && (!mayRunHere || mayRunHere()))) {
            return Placed::Here;
        }
        it = m_clients.emplace(client, std::deque<Task>()).first;
        if (!startWorker(client)) {
            // No thread to be had: the list runs here, late rather than never.
            m_clients.erase(it);
            return Placed::Here;
        }
    }
    if (it->second.size() >= most) {
        return Placed::Full;
    }
    it->second.push_back(std::move(task));
    return Placed::Queued;
}

bool ScpiStrand::startWorker(Client client) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, kWorkerStackBytes);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    auto* start = new WorkerStart{this, client};
    pthread_t thread;
    const int rc = pthread_create(&thread, &attr, &ScpiStrand::workerEntry, start);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete start;
        PrintE("no SCPI worker thread: %s", std::strerror(rc));
        return false;
    }
    return true;
}

bool ScpiStrand::busy(Client client) {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_clients.count(client) != 0;
}

size_t ScpiStrand::clients() {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_clients.size();
}

size_t ScpiStrand::clear(Client client) {
    std::vector<Task> dropped;
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        for (auto& entry : m_clients) {
            if (client != nullptr && entry.first != client) {
                continue;
            }
            for (Task& task : entry.second) {
                dropped.push_back(std::move(task));
            }
            entry.second.clear();
        }
    }
    // Destroyed outside the lock: a task holds its list and reply callback,
    // whose ends may post to a poller.
    return dropped.size();
}

void* ScpiStrand::workerEntry(void* arg) {
    std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(arg));
    pthread_setname_np(pthread_self(), "scpi client");
    start->strand->work(start->client);
    return nullptr;
}

void ScpiStrand::work(Client client) {
    std::unique_lock<std::mutex> lock(m_mtx);
    for (;;) {
        auto it = m_clients.find(client);
        if (it->second.empty()) {
            m_clients.erase(it);
            if (m_clients.empty()) {
                m_idle.notify_all();
            }
            return;
        }
        Task task = std::move(it->second.front());
        it->second.pop_front();
        lock.unlock();
        task();
        task = nullptr;
        lock.lock();
    }
}
