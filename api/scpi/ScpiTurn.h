#pragma once
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
#include <mutex>
#include <thread>

// Whose program message runs its commands now. The rules, which every
// transport's clients share:
//
//  1. One message holds the turn at a time and runs its commands under it:
//     no other client's command runs between two of them, except while one
//     of them waits (for readings, a trigger, *OPC?) or runs a file job, when
//     it lends the turn (ListWait::Waiting: give) and then takes it back in
//     line. A list that ends meanwhile (stopped by its client's clear, or of
//     a client that left with nothing more to run) leaves the line at once
//     and never takes the turn: a clear waits for no other client's message.
//  2. The turn is taken in the order it is asked for: whoever asks takes a
//     place at the end of one line. The first poller never waits for it
//     (tryTake): it takes the turn only when no one is in line, and a message
//     that finds it taken goes to its client's worker instead, so no handler
//     that holds the turn can hold up the poller.
//  3. A client that has left is in line as it was while connected: each of
//     its lists takes a place at the end of the line as it asks, so no one
//     waits for more than one of its messages at a time, and what it sent
//     still runs in the order sent. Its waits end at once.
//  4. Whoever waits in line waits only for the places before its own. A
//     place before it is a message that holds nothing else but, when it
//     reads, the reader's turn (ScpiReaderTurn), which is taken before this
//     one and never waited for under it. So no order of taking the two turns
//     waits in a circle, and a client that leaves, however it leaves, never
//     stops the line.
class ScpiTurn {
public:
    using Client = const void*;

    // Takes the turn when it is free and no one waits in line; then this
    // thread holds it. Not again by the thread that holds
    // it: a list posted while one runs there runs after it.
    bool tryTake(Client client);
    // Waits for the turn in line. The thread that holds it takes it again at
    // no cost (a list run by the poller that took it to run the list).
    // False, without the turn, once `ended` holds (looked at as the line
    // moves and at wake()): a list that has ended waits for no one.
    bool take(Client client, const std::function<bool()>& ended = nullptr);
    // Gives back one take (also as a list lends the turn while it waits).
    void give();
    // Lists were stopped: those waiting in line look at whether they ended.
    void wake();

    // Messages waiting in line for the turn.
    size_t waiting();

private:
    using Line = std::list<Client>;

    // Whether the turn is free for the one at `at` (end: a newcomer).
    bool freeAtLocked(Line::const_iterator at) const;
    void holdLocked();

    std::mutex m_mtx;
    std::condition_variable m_cv;
    std::thread::id m_owner;
    unsigned m_depth = 0;
    Line m_line;
};
