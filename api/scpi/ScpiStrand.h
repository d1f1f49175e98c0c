#pragma once
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

// Runs the SCPI command lists that may wait (for readings, a trigger, a file
// operation) off the first event poller, each client's on a worker of its
// own, in the order that client handed them over.
//
// Every socket session lives on the first poller: a list that waits there
// would stop every client, and an ABORt sent meanwhile would not even be
// read. On a worker it holds up only its own client: while a client has lists
// here, its later lists queue behind them, so its lists still run one at a
// time in the order sent and its replies come in that order. Other clients'
// lists run on their own workers, or on the caller's thread with no hand-off
// when they neither wait nor have lists here.
//
// A worker is started when its client's first list is queued and ends once
// that client's queue is empty, so the threads are bounded by the clients
// that exist (connections, links, the USB host).
class ScpiStrand {
public:
    using Task = std::function<void()>;
    // Whose lists keep their order: a session, a link. Null is one more
    // client of its own.
    using Client = const void*;

    // Lists one client may have queued here; a list beyond is refused.
    static constexpr size_t kMaxQueuedPerClient = 256;
    // No bound: the lists a client posts as it leaves.
    static constexpr size_t kUnbounded = static_cast<size_t>(-1);
    // A worker's stack: a handler's frames, not a thread's default megabytes,
    // times as many workers as there are clients.
    static constexpr size_t kWorkerStackBytes = 512 * 1024;

    ScpiStrand() = default;
    ~ScpiStrand();
    ScpiStrand(const ScpiStrand&) = delete;
    ScpiStrand& operator=(const ScpiStrand&) = delete;

    // Queues `task` when it may wait, its client has lists here or
    // `mayRunHere` (asked last, when given) says no; otherwise runs it here.
    // Each client's lists are handed over on one thread at a time (its
    // transport's), so that they reach its worker in the order sent. False
    // when the client has `most` tasks queued: the task was dropped.
    bool runHereOrQueue(Task task, bool mayWait, Client client, size_t most = kMaxQueuedPerClient,
                        const std::function<bool()>& mayRunHere = nullptr);
    // Whether `client` has lists queued or running on its worker.
    bool busy(Client client);
    // How many clients have lists queued or running here.
    size_t clients();
    // Drops the tasks not yet started, of `client` or with null of every
    // client; running ones go on. Result: how many were dropped.
    size_t clear(Client client = nullptr);

private:
    enum class Placed { Here, Queued, Full };
    Placed place(Task& task, bool mayWait, Client client, size_t most, const std::function<bool()>& mayRunHere);
    bool startWorker(Client client);
    static void* workerEntry(void* start);
    void work(Client client);

    std::mutex m_mtx;
    std::condition_variable m_idle;  // the last worker has ended
    // A client's entry lives from its first queued task until its worker
    // has run the last one.
    std::map<Client, std::deque<Task>> m_clients;
    bool m_stop = false;
};
