#pragma once
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <vector>

// Runs the SCPI command lists that may wait (for readings, a trigger, a file
// operation) off the first event poller, each connected client's on a worker
// of its own, in the order that client handed them over.
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
// that client's queue is empty, so the threads are bounded by the connected
// clients (connections, links, the USB host). Clients that have left wait
// for no one and no one waits for their replies: what they left runs on one
// worker shared by all of them, from one queue held to kMaxLeftBehind lists
// service-wide, so that neither threads nor memory grow with how many leave.
// A client's worker that runs a list as its client leaves hands the rest
// over once that list has ended; a list that still needs the message turn,
// not begun or waiting as its client left, is handed over too, from the
// command it has not run (handBack), and the worker ends.
class ScpiStrand {
public:
    using Task = std::function<void()>;
    // Whose lists keep their order: a session, a link. Null is one more
    // client of its own.
    using Client = const void*;

    // What is handed over, for its bound.
    enum class Kind {
        List,     // a list of a connected client: kMaxQueuedPerClient of them queued
        Report,   // errors of what ran nothing: as many more, apart from its lists
        LeftBehind,  // posted after its client left: in the queue of those that left
        // The rest of a list its client's worker goes on with, holding the
        // message turn (ScpiTurn::handOver): run there even once its client
        // has left, since no other list can take the turn until it has.
        Continued,
    };

    static constexpr size_t kMaxQueuedPerClient = 256;
    // Lists that clients which have left may have queued, all of them
    // together: about what one connected client may queue. Beyond, the
    // latest list of the client with the most queued is dropped, and so is
    // every later one of that client, so that none of them runs with a gap
    // and a long backlog does not crowd out another client's few lists.
    static constexpr size_t kMaxLeftBehind = kMaxQueuedPerClient;
    // A worker's stack: a handler's frames, not a thread's default megabytes,
    // times as many workers as there are clients.
    static constexpr size_t kWorkerStackBytes = 512 * 1024;

    ScpiStrand() = default;
    ~ScpiStrand();
    ScpiStrand(const ScpiStrand&) = delete;
    ScpiStrand& operator=(const ScpiStrand&) = delete;

    // Queues `task` when it may wait, its client has lists here, it is left
    // behind or `mayRunHere` (asked last, when given) says no; otherwise runs
    // it here. Each client's lists are handed over on one thread at a time
    // (its transport's), so that they reach its worker in the order sent.
    // False when the task was dropped at its bound.
    bool runHereOrQueue(Task task, bool mayWait, Client client, Kind kind = Kind::List,
                        const std::function<bool()>& mayRunHere = nullptr);
    // `client` has left: its worker, once the list it runs has ended, hands
    // the rest to the queue of those that left and ends.
    void depart(Client client);
    // Whether this thread is a connected client's worker.
    static bool onClientsOwnWorker();
    // On a worker of a client that has left: `task`, the rest of a list
    // that was refused the turn, goes ahead of that client's other lists to
    // the queue of those that left, rather than hold this thread (see
    // ListTicket::handsBack).
    void handBack(Task task);
    // Whether `client` has lists queued or running here.
    bool busy(Client client);
    // How many workers run: one per connected client with lists here, and
    // the one of those that left while it has their lists.
    size_t clients();
    // Drops the tasks not yet started, of `client` or with null of every
    // client; running ones go on. Result: how many were dropped.
    size_t clear(Client client = nullptr);

private:
    struct Item {
        Task task;
        Kind kind;
        Client client;
    };
    struct Entry {
        Client client;
        std::deque<Item> items;
        size_t lists = 0;    // of the items, those that are not reports
        bool gone = false;   // its client has left: the worker hands over and ends
    };
    enum class Placed { Here, Queued, Full };
    // Tasks dropped to make room go to `evicted`, to be destroyed outside
    // the lock.
    Placed place(Task& task, bool mayWait, Client client, Kind kind, const std::function<bool()>& mayRunHere,
                 std::vector<Task>& evicted);
    Placed placeLeftLocked(Task& task, Client client, std::vector<Task>& evicted);
    // Appends to the queue of those that left; false (and its client cut
    // off) at the bound.
    bool leaveBehindLocked(Item& item, std::vector<Task>& evicted);
    // At the bound, the latest list of the client with the most queued
    // makes room for `newcomer`, unless that is the newcomer itself: one
    // long backlog does not crowd out what the others left.
    bool evictLocked(Client newcomer, std::vector<Task>& evicted);
    // Marks `client`'s later lists to be dropped too; logs once per spell
    // of drops.
    void refuseLeftLocked(Client client);
    bool cutOffLocked(Client client) const;
    void clearLocked(Client client, std::vector<Task>& dropped);
    // A worker for `entry`, or with null for the queue of those that left.
    bool startWorker(Entry* entry);
    static void* workerEntry(void* start);
    void work(Entry* entry);
    // Runs the queue of those that left until it is empty (lock held).
    void workLeftBehind(std::unique_lock<std::mutex>& lock);
    void endWorkerLocked();

    std::mutex m_mtx;
    std::condition_variable m_idle;  // the last worker has ended
    // A connected client's entry lives from its first queued task until its
    // worker has run the last one; as its client leaves it moves to
    // m_leaving until its worker has ended the list it runs.
    std::list<Entry> m_entries;
    std::map<Client, Entry*> m_clients;
    std::map<Client, Entry*> m_leaving;  // the latest of that address
    // What clients that have left still run, in the order handed over, and
    // whose list runs now.
    std::deque<Item> m_left;
    bool m_leftWorker = false;
    Client m_leftRunning = nullptr;
    bool m_leftRuns = false;
    // Clients that have left whose list was dropped at the bound: their later
    // lists are dropped too. Forgotten as the address leaves again, or as
    // kMaxCutOff later ones are marked (by then that client has long had
    // its next post refused).
    static constexpr size_t kMaxCutOff = 1024;
    std::deque<Client> m_cutOff;
    size_t m_droppedLeft = 0;  // since the queue last ran empty
    size_t m_workers = 0;
    bool m_stop = false;
};
