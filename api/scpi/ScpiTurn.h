#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <thread>

// Whose program message runs its commands now. A message runs whole: no
// other client's command runs between two of its commands, except while one
// of them waits (for readings, a trigger, a file operation, *OPC?), when it
// lends the turn (ListWait::Waiting) and takes it back, in line, once the
// wait ends.
//
// Messages take the turn in the order they ask for it, so a flood of short
// messages on the first poller cannot starve a worker that waits for it. The
// first poller never waits for it (tryTake): a message that finds it taken
// goes to its client's worker instead, so no handler that holds the turn can
// hold up the poller's other work.
//
// A client that has left goes first: until the lists it sent before leaving
// have run, no other client's message begins, so what it sent lands before
// what others send after it has gone.
class ScpiTurn {
public:
    using Client = const void*;

    // Takes the turn when it is free, no message waits for it and no other
    // departed client's lists are left; then this thread holds it. Not
    // again by the thread that holds it: a list posted while one runs there
    // runs after it.
    bool tryTake(Client client);
    // Waits for the turn. The thread that holds it takes it again at no cost
    // (a list run by the poller that took it to run the list).
    void take(Client client);
    // Gives back one take.
    void give();

    // `client` has left and still has lists to run: other clients' messages
    // wait for them. Ended by drained(client).
    void depart(Client client);
    void drained(Client client);
    bool departing();

private:
    bool freeForLocked(Client client) const;
    void holdLocked();

    std::mutex m_mtx;
    std::condition_variable m_cv;
    std::thread::id m_owner;
    uint32_t m_depth = 0;
    // Tickets in the order of asking: the next one to hand out and the one
    // whose turn it is. Departed clients go past the line.
    uint64_t m_next = 0;
    uint64_t m_serving = 0;
    std::multiset<Client> m_departing;
};
