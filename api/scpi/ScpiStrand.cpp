#include "ScpiStrand.h"

#include <pthread.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

#include "Util/logger.h"

namespace {

// The entry whose worker this thread is, while it runs that entry's tasks.
thread_local void* t_entry = nullptr;

struct WorkerStart {
    ScpiStrand* strand;
    void* entry;  // null: the queue of the clients that have left
};

}  // namespace

ScpiStrand::~ScpiStrand() {
    std::vector<Task> dropped;
    std::unique_lock<std::mutex> lock(m_mtx);
    m_stop = true;
    clearLocked(nullptr, dropped);
    // Each worker ends after the task it runs; none starts another.
    m_idle.wait(lock, [this] { return m_workers == 0; });
}

bool ScpiStrand::runHereOrQueue(Task task, bool mayWait, Client client, Kind kind,
                                const std::function<bool()>& mayRunHere) {
    // Destroyed outside the lock, as clear does.
    std::vector<Task> evicted;
    switch (place(task, mayWait, client, kind, mayRunHere, evicted)) {
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

ScpiStrand::Placed ScpiStrand::place(Task& task, bool mayWait, Client client, Kind kind,
                                     const std::function<bool()>& mayRunHere, std::vector<Task>& evicted) {
    std::lock_guard<std::mutex> lock(m_mtx);
    if (kind == Kind::LeftBehind && !m_stop) {
        return placeLeftLocked(task, client, evicted);
    }
    auto it = m_clients.find(client);
    // Held from the moment a task is queued, not only once the worker has
    // picked it up: the client's next list must queue behind it.
    if (it == m_clients.end()) {
        // Asked last: a yes is a promise to run it here.
        if (m_stop || (!mayWait && (!mayRunHere || mayRunHere()))) {
            return Placed::Here;
        }
        m_entries.emplace_back();
        m_entries.back().client = client;
        Entry* entry = &m_entries.back();
        if (!startWorker(entry)) {
            // No thread to be had: the list runs here, late rather than never.
            m_entries.pop_back();
            return Placed::Here;
        }
        it = m_clients.emplace(client, entry).first;
    }
    Entry& entry = *it->second;
    const bool list = kind != Kind::Report;
    if ((list ? entry.lists : entry.items.size() - entry.lists) >= kMaxQueuedPerClient) {
        return Placed::Full;
    }
    // Past the stop a list left behind queues as a list.
    entry.items.push_back(Item{std::move(task), kind == Kind::LeftBehind ? Kind::List : kind, client});
    entry.lists += list ? 1 : 0;
    return Placed::Queued;
}

ScpiStrand::Placed ScpiStrand::placeLeftLocked(Task& task, Client client, std::vector<Task>& evicted) {
    if (cutOffLocked(client)) {
        return Placed::Full;
    }
    Item item{std::move(task), Kind::LeftBehind, client};
    // Behind its lists that its own worker still holds: its order holds.
    auto leaving = m_leaving.find(client);
    if (leaving != m_leaving.end()) {
        if (leaving->second->items.size() + m_left.size() >= kMaxLeftBehind) {
            refuseLeftLocked(client);
            task = std::move(item.task);
            return Placed::Full;
        }
        leaving->second->items.push_back(std::move(item));
        return Placed::Queued;
    }
    if (!leaveBehindLocked(item, evicted)) {
        task = std::move(item.task);
        return Placed::Full;
    }
    if (!m_leftWorker) {
        if (!startWorker(nullptr)) {
            task = std::move(m_left.back().task);
            m_left.pop_back();
            return Placed::Here;
        }
        m_leftWorker = true;
    }
    return Placed::Queued;
}

bool ScpiStrand::leaveBehindLocked(Item& item, std::vector<Task>& evicted) {
    if (cutOffLocked(item.client) || (m_left.size() >= kMaxLeftBehind && !evictLocked(item.client, evicted))) {
        refuseLeftLocked(item.client);
        return false;
    }
    item.kind = Kind::LeftBehind;
    m_left.push_back(std::move(item));
    return true;
}

bool ScpiStrand::evictLocked(Client newcomer, std::vector<Task>& evicted) {
    std::map<Client, size_t> queued;
    for (const Item& item : m_left) {
        ++queued[item.client];
    }
    const auto heaviest = std::max_element(queued.begin(), queued.end(), [](const auto& a, const auto& b) {
        return a.second < b.second;
    });
    if (heaviest->second <= queued[newcomer] + 1) {
        return false;  // the newcomer's own backlog is as long: it is the one refused
    }
    const Client client = heaviest->first;
    // Its latest list goes, and every later one: what runs of it has no gap.
    for (auto it = m_left.end(); it != m_left.begin();) {
        --it;
        if (it->client == client) {
            evicted.push_back(std::move(it->task));
            m_left.erase(it);
            break;
        }
    }
    refuseLeftLocked(client);
    return true;
}

void ScpiStrand::refuseLeftLocked(Client client) {
    if (!cutOffLocked(client)) {
        if (m_cutOff.size() >= kMaxCutOff) {
            m_cutOff.pop_front();
        }
        m_cutOff.push_back(client);
    }
    if (m_droppedLeft++ == 0) {
        PrintW("%zu lists of SCPI clients that have left are queued: their further lists are dropped",
               m_left.size());
    }
}

bool ScpiStrand::cutOffLocked(Client client) const {
    return std::find(m_cutOff.begin(), m_cutOff.end(), client) != m_cutOff.end();
}

void ScpiStrand::depart(Client client) {
    std::lock_guard<std::mutex> lock(m_mtx);
    // A client at this address before was another one.
    m_cutOff.erase(std::remove(m_cutOff.begin(), m_cutOff.end(), client), m_cutOff.end());
    auto it = m_clients.find(client);
    if (it == m_clients.end()) {
        return;
    }
    // Its worker hands the rest over once the list it runs has ended: the
    // worker of those that left must not run its next list meanwhile.
    it->second->gone = true;
    m_leaving[client] = it->second;
    m_clients.erase(it);
}

bool ScpiStrand::startWorker(Entry* entry) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, kWorkerStackBytes);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    auto* start = new WorkerStart{this, entry};
    pthread_t thread;
    const int rc = pthread_create(&thread, &attr, &ScpiStrand::workerEntry, start);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete start;
        PrintE("no SCPI worker thread: %s", std::strerror(rc));
        return false;
    }
    ++m_workers;
    return true;
}

bool ScpiStrand::busy(Client client) {
    std::lock_guard<std::mutex> lock(m_mtx);
    const auto of = [client](const Item& item) { return item.client == client; };
    return m_clients.count(client) != 0 || m_leaving.count(client) != 0 ||
           (m_leftRuns && m_leftRunning == client) || std::any_of(m_left.begin(), m_left.end(), of);
}

size_t ScpiStrand::clients() {
    std::lock_guard<std::mutex> lock(m_mtx);
    return m_entries.size() + (m_leftWorker ? 1 : 0);
}

size_t ScpiStrand::clear(Client client) {
    std::vector<Task> dropped;
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        clearLocked(client, dropped);
    }
    // Destroyed outside the lock: a task holds its list and reply callback,
    // whose ends may post to a poller.
    return dropped.size();
}

void ScpiStrand::clearLocked(Client client, std::vector<Task>& dropped) {
    const auto take = [&](std::deque<Item>& items) {
        for (auto it = items.begin(); it != items.end();) {
            if (client != nullptr && it->client != client) {
                ++it;
                continue;
            }
            dropped.push_back(std::move(it->task));
            it = items.erase(it);
        }
    };
    for (Entry& entry : m_entries) {
        take(entry.items);
        entry.lists = static_cast<size_t>(std::count_if(entry.items.begin(), entry.items.end(),
                                                        [](const Item& item) { return item.kind != Kind::Report; }));
    }
    take(m_left);
}

void* ScpiStrand::workerEntry(void* arg) {
    std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(arg));
    pthread_setname_np(pthread_self(), "scpi client");
    ScpiStrand* strand = start->strand;
    if (start->entry == nullptr) {
        std::unique_lock<std::mutex> lock(strand->m_mtx);
        strand->workLeftBehind(lock);
        strand->endWorkerLocked();
        return nullptr;
    }
    strand->work(static_cast<Entry*>(start->entry));
    return nullptr;
}

bool ScpiStrand::onClientsOwnWorker() {
    return t_entry != nullptr;
}

void ScpiStrand::handBack(Task task) {
    std::lock_guard<std::mutex> lock(m_mtx);
    auto* entry = static_cast<Entry*>(t_entry);
    entry->items.push_front(Item{std::move(task), Kind::LeftBehind, entry->client});
}

void ScpiStrand::work(Entry* entry) {
    std::unique_lock<std::mutex> lock(m_mtx);
    t_entry = entry;
    for (;;) {
        if (entry->items.empty() || (entry->gone && entry->items.front().kind != Kind::Continued)) {
            break;
        }
        Item item = std::move(entry->items.front());
        entry->items.pop_front();
        entry->lists -= item.kind != Kind::Report ? 1 : 0;
        lock.unlock();
        item.task();
        item.task = nullptr;
        lock.lock();
    }
    t_entry = nullptr;
    const Client client = entry->client;
    auto& owner = entry->gone ? m_leaving : m_clients;
    auto it = owner.find(client);
    if (it != owner.end() && it->second == entry) {
        owner.erase(it);
    }
    // What its client left goes behind the lists of those that left before.
    std::vector<Task> dropped;
    for (Item& item : entry->items) {
        if (!leaveBehindLocked(item, dropped)) {
            dropped.push_back(std::move(item.task));
        }
    }
    m_entries.remove_if([entry](const Entry& e) { return &e == entry; });
    if (!dropped.empty()) {
        // Destroyed outside the lock, as clear does.
        lock.unlock();
        dropped.clear();
        lock.lock();
    }
    if (!m_leftWorker && !m_left.empty()) {
        // This thread serves them, rather than another started for them.
        m_leftWorker = true;
        workLeftBehind(lock);
    }
    endWorkerLocked();
}

void ScpiStrand::workLeftBehind(std::unique_lock<std::mutex>& lock) {
    while (!m_left.empty()) {
        Item item = std::move(m_left.front());
        m_left.pop_front();
        m_leftRunning = item.client;
        m_leftRuns = true;
        lock.unlock();
        item.task();
        item.task = nullptr;
        lock.lock();
        m_leftRuns = false;
    }
    m_leftWorker = false;
    // One spell of drops ends as what those that left queued has run: one
    // line for its start and one for its count, however often the queue had
    // room for one more meanwhile.
    if (m_droppedLeft != 0) {
        PrintW("%zu lists of SCPI clients that had left were dropped", m_droppedLeft);
        m_droppedLeft = 0;
    }
}

void ScpiStrand::endWorkerLocked() {
    if (--m_workers == 0) {
        m_idle.notify_all();
    }
}
