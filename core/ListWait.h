#pragma once
#include <atomic>
#include <cstdint>
#include <memory>

// What a handler that waits (for readings, a trigger, a raw value) learns of
// the remote command list it runs in: whether that list's client no longer
// wants its answer (its ABORt, a device clear of its link, an abort of every
// client, or the client has left), how long that client waits for a
// reading, and which client it is (whose acquisition a later fetch answers).
// Lists of several clients wait at the same time on threads of
// their own, so neither can be one process-wide setting: one client's abort
// or time-out must not reach another's wait.
//
// The engine installs the list's record on the thread that runs it; a wait
// outside any list (the UI link's queries) is never cancelled and waits the
// engine's own time-out.
class ListWait {
public:
    using Timeout = std::shared_ptr<const std::atomic<uint32_t>>;

    explicit ListWait(Timeout readTimeoutMs = nullptr, const void* client = nullptr)
        : m_readTimeoutMs(std::move(readTimeoutMs)), m_client(client) {}

    // Ends the waits of this list, now and to come; callers wake the waits.
    void cancel() { m_cancelled.store(true); }
    bool cancelled() const { return m_cancelled.load(); }
    bool stopped() const { return m_stopped.load(); }
    // Ends the list itself (its client's ABORt or device clear, an abort of
    // every client): its waits, and also what its commands have begun, a
    // file operation. A client that has left only cancels: what it sent
    // still takes effect.
    void stop() {
        m_stopped.store(true);
        cancel();
    }

    // Whether the waits of the list on this thread are to end.
    static bool cancelledHere();
    // Whether the list on this thread was stopped.
    static bool stoppedHere();
    // The reading time-out of the list's client on this thread: its own when
    // it has one, else `engineMs`. Waits read it as they go, so a client that
    // lengthens its time-out meanwhile lengthens a wait already begun.
    static uint32_t readTimeoutMsHere(uint32_t engineMs);
    // The client that sent the list on this thread (its session, link or
    // host); null outside any list, as for the UI link's requests.
    static const void* clientHere();

    // What a list holds while its commands run, so that no other client's
    // command runs between them, and lends while one of them waits.
    class Turn {
    public:
        virtual void lend() = 0;
        // False when the list ended meanwhile: it holds the turn no more and
        // runs no further command, so it never waits for others' messages.
        virtual bool takeBack() = 0;

    protected:
        ~Turn() = default;
    };
    // The list holds `turn` from now on (null: none).
    void holdTurn(Turn* turn) { m_turn = turn; }
    // Whether the list holds its turn now (not while it lends it, nor after
    // it ended without taking it back).
    bool holdsTurn() const { return m_turn != nullptr; }

    // Lends the turn of the list on this thread, if it holds one, for the
    // scope's life: other clients' messages run while this one waits. Made
    // with no lock held that a command may take, since taking the turn back
    // waits for the message that has it. A list that ended while it lent
    // the turn does not take it back: what its handler does after the wait
    // must need no turn.
    class Waiting {
    public:
        Waiting();
        ~Waiting();
        Waiting(const Waiting&) = delete;
        Waiting& operator=(const Waiting&) = delete;

    private:
        ListWait* m_list = nullptr;
        Turn* m_lent = nullptr;
    };

    // Installs a list on this thread for the scope's life.
    class Scope {
    public:
        explicit Scope(ListWait& list);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        ListWait* m_previous;
    };

private:
    std::atomic<bool> m_cancelled{false};
    std::atomic<bool> m_stopped{false};
    Timeout m_readTimeoutMs;
    const void* m_client;
    Turn* m_turn = nullptr;  // only its own thread looks at it
};
