#pragma once
// The frames queued for one UI-link client and not yet written to it: their
// bytes, with a cost for each frame's bookkeeping, and their number. A client
// that lets them grow past a bound is too far behind to be served: the
// session drops it rather than hold its frames without end.
//
// The frames may also count in the service-wide ScpiReplyBudget (replies do:
// they are what a client asked for and did not read), from their queueing
// until they are written, dropped with the socket or the backlog goes.
// Used on the session's poller thread only.
#include <cstddef>
#include <cstdint>

class FrameBacklog {
public:
    // More than the largest frame, so that a client that reads always takes
    // one, yet never a queue that grows for minutes.
    static constexpr uint64_t kMaxBytes = 8 * 1024 * 1024;
    static constexpr uint64_t kFrameCost = 128;
    static constexpr size_t kMaxFrames = 8192;
    // A backlog above this has left enough freed memory behind to be worth
    // handing back once the client is gone.
    static constexpr uint64_t kLargeBytes = 1024 * 1024;

    explicit FrameBacklog(bool budgeted = false) : m_bBudgeted(budgeted) {}
    FrameBacklog(const FrameBacklog&) = delete;
    FrameBacklog& operator=(const FrameBacklog&) = delete;
    ~FrameBacklog();

    // Whether a frame of `size` bytes may queue behind those waiting, within
    // `maxBytes` of them. The first frame always may.
    bool admits(size_t size, uint64_t maxBytes = kMaxBytes) const;
    void queued(size_t size);
    // A frame written, or dropped with the socket.
    void done(size_t size);

    uint64_t bytes() const { return m_u64Bytes; }
    size_t frames() const { return m_uFrames; }

private:
    const bool m_bBudgeted;
    uint64_t m_u64Bytes = 0;   // frame bytes with their cost
    uint64_t m_u64Counted = 0; // frame bytes counted in the budget
    size_t m_uFrames = 0;
};
