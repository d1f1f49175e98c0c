#pragma once
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

// Runs the SCPI command lists that may wait (for readings, a trigger, a file
// operation) on a thread of their own, in the order they are handed over.
//
// Every socket session lives on the first event poller: a list that waits
// there would stop every client, and an ABORt sent meanwhile would not even
// be read. Here it holds up only its own client: while the strand holds lists
// of a client, that client's later lists queue behind them, so each client's
// lists still run one at a time in the order sent and its replies come in
// that order. Other clients' lists go on running on the caller's thread, with
// no hand-off.
class ScpiStrand {
public:
    using Task = std::function<void()>;
    // Whose lists keep their order: a session, a link. Null orders a list
    // behind everything the strand holds.
    using Client = const void*;

    ScpiStrand() = default;
    ~ScpiStrand();
    ScpiStrand(const ScpiStrand&) = delete;
    ScpiStrand& operator=(const ScpiStrand&) = delete;

    // Queues `task` when it may wait or its client has lists here; otherwise
    // runs it here. Called on one thread (the first poller), so that the
    // lists of a client reach the strand in the order they were handed over.
    void runHereOrQueue(Task task, bool mayWait, Client client);
    // Drops the tasks not yet started, of `client` or with null of every
    // client; the running one goes on. Result: how many were dropped.
    size_t clear(Client client = nullptr);

private:
    // Queues `task` when it may wait or its client has lists here (true).
    bool queueIfHeld(Task& task, bool mayWait, Client client);
    bool holdsLocked(Client client) const;
    void loop();

    std::mutex m_mtx;
    std::condition_variable m_cv;
    std::deque<std::pair<Client, Task>> m_queue;
    bool m_executing = false;  // the strand's thread runs a task of m_current
    Client m_current = nullptr;
    bool m_stop = false;
    std::thread m_thread;
};
