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
//     place at the end of one line. A client asks for its next message's
//     turn only once its last one has ended, so a message waits for at most
//     one message of each client ahead of it, however many a client has
//     queued. The first poller never waits for it (tryTake): it takes the
//     turn only when no one is in line, and a message that finds it taken
//     goes to its client's worker instead, so no handler that holds the
//     turn can hold up the poller.
//  3. Clients that have left share one place in the line, the seat: their
//     lists take it one at a time, in the order they asked, and once one has
//     run the seat goes to the end of the line again. So a connected
//     client waits for one message of theirs at most, however many clients
//     left with however much unrun; what each of them sent still runs in the
//     order sent. Their waits end at once.
//  4. Whoever waits in line waits only for the places before its own. A
//     place before it is a message that holds nothing else but, when it
//     reads, the reader's turn (ScpiReaderTurn), which is taken before this
//     one and never waited for under it. So no order of taking the two turns
//     waits in a circle, and a client that leaves, however it leaves, never
//     stops the line.
//  5. A list the first poller runs in place that runs long goes on on its
//     client's worker, and its turn goes with it (handOver): given back by
//     the poller, it is taken by no one in line but claimed by that worker
//     ahead of them, so the poller reads its clients again while no other
//     client's command runs between the list's commands.
class ScpiTurn {
public:
    using Client = const void*;

    // Takes the turn when it is free and no one waits in line; then this
    // thread holds it. Not again by the thread that holds
    // it: a list posted while one runs there runs after it.
    bool tryTake(Client client);
    // Waits for the turn in line, or for the seat of the clients that have
    // left when `gone`. The thread that holds it takes it again at no cost
    // (a list run by the poller that took it to run the list). False,
    // without the turn, once `ended` holds (looked at as the line moves and
    // at wake()): a list that has ended waits for no one.
    bool take(Client client, const std::function<bool()>& ended = nullptr, bool gone = false);
    // Gives back one take (also as a list lends the turn while it waits).
    void give();
    // Called by the thread that holds the turn: once it has given it back,
    // no one takes it but claim(), until release().
    void handOver();
    // Takes the turn handed over, once its holder has given it back (at
    // once when this thread still holds it).
    void claim();
    // The turn handed over is not claimed (what would have claimed it was
    // dropped): the line takes it again.
    void release();
    // Lists were stopped: those waiting in line look at whether they ended.
    void wake();
    // `client` has left: its lists waiting in line go to the seat's queue,
    // in their order, so that the places it held while connected hold up
    // no one longer than the seat does; the seat, when not in line, takes
    // the first of those places.
    void depart(Client client);

    // Messages waiting in line for the turn, those of gone clients included.
    size_t waiting();

private:
    struct Place {
        Client client;
        bool gone;  // in m_gone, else in m_line
    };
    using Line = std::list<Place>;

    // Whether the turn is free for the one at `at` (end: a newcomer).
    bool freeAtLocked(Line::const_iterator at) const;
    // Whether it is free for the gone client's list at `at` of m_gone.
    bool seatFreeAtLocked(Line::const_iterator at) const;
    // Puts the seat at the end of the line when gone clients' lists wait for
    // it and it is neither in line nor held; takes it out when none wait.
    void placeSeatLocked();
    void holdLocked();

    std::mutex m_mtx;
    std::condition_variable m_cv;
    std::thread::id m_owner;
    unsigned m_depth = 0;
    Line m_line;
    Line m_gone;  // lists of clients that have left, waiting for the seat
    Line::iterator m_seat;  // in m_line while m_seatInLine
    bool m_seatInLine = false;
    bool m_seatHeld = false;  // a gone client's list holds the turn
    bool m_handed = false;    // handed over, not claimed yet
};
