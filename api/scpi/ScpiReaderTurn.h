#pragma once
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>

// The acquisition has one remote reader at a time: its readings answer one
// waiting read, and a second read at once would be refused as "program
// currently running". Lists of several clients run at the same time, so a
// read of one client takes its turn after another client's read has ended,
// as the trigger rules share the one acquisition anyway. Reads take it in
// the order they ask for it, so none is overtaken by later ones. Waiting for
// the turn ends when the waiting list is aborted or its client has left, or
// after the waiting client's own time-out: another client's read may wait as
// long as its client allows, which is no business of this one.
class ScpiReaderTurn {
public:
    // A command whose handler waits as the acquisition's reader: the
    // MEASure queries, INITiate, FETCh? and READ?.
    static bool reads(uint32_t funcId);

    // How long a wait for the turn may last, looked at as it goes: a client
    // may ask for longer while it waits (a VXI-11 read of the reply). Null:
    // no bound.
    using Timeout = std::function<std::chrono::milliseconds()>;

    // Holds the turn for its life, when it got it before `stop` came true
    // and within `timeout`.
    class Hold {
    public:
        Hold(ScpiReaderTurn& turn, const std::function<bool()>& stop, const Timeout& timeout = nullptr)
            : m_turn(turn), m_held(turn.take(stop, timeout, m_timedOut)) {}
        ~Hold() {
            if (m_held) m_turn.give();
        }
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;
        // False when stopped first, or timed out.
        bool held() const { return m_held; }
        bool timedOut() const { return m_timedOut; }

    private:
        ScpiReaderTurn& m_turn;
        bool m_timedOut = false;  // before m_held, which its take sets
        bool m_held;
    };

    // A list was aborted: its wait for the turn looks again.
    void wake();
    // Reads waiting for their turn.
    size_t waiting();

private:
    bool take(const std::function<bool()>& stop, const Timeout& timeout, bool& timedOut);
    void give();

    std::mutex m_mtx;
    std::condition_variable m_cv;
    bool m_taken = false;
    // The reads waiting for the turn, in the order they asked.
    std::list<const void*> m_line;
};
