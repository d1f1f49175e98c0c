#pragma once
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
// the turn ends when the waiting list is aborted or its client has left.
class ScpiReaderTurn {
public:
    // A command whose handler waits as the acquisition's reader: the
    // MEASure queries, INITiate, FETCh? and READ?.
    static bool reads(uint32_t funcId);

    // Holds the turn for its life, when it got it before `stop` came true.
    class Hold {
    public:
        Hold(ScpiReaderTurn& turn, const std::function<bool()>& stop) : m_turn(turn), m_held(turn.take(stop)) {}
        ~Hold() {
            if (m_held) m_turn.give();
        }
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;
        // False when stopped first.
        bool held() const { return m_held; }

    private:
        ScpiReaderTurn& m_turn;
        bool m_held;
    };

    // A list was aborted: its wait for the turn looks again.
    void wake();
    // Reads waiting for their turn.
    size_t waiting();

private:
    bool take(const std::function<bool()>& stop);
    void give();

    std::mutex m_mtx;
    std::condition_variable m_cv;
    bool m_taken = false;
    // The reads waiting for the turn, in the order they asked.
    std::list<const void*> m_line;
};
