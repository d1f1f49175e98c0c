#pragma once
// The replies of one link that its reads have not fetched yet. The SCPI
// engine pushes on its poller thread; the server thread fetches from it into
// the link's buffer.
//
// The bytes queued count in the service-wide ScpiReplyBudget from their push
// until a fill takes them, a clear drops them or the queue goes, so that
// links whose clients never read weigh on the bound of every client's
// answers like unread raw-socket replies do.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

class CVxiReplyQueue {
public:
    // The unread replies one link may hold before a new one is refused: what
    // a raw-socket session holds before it stops reading its client.
    static constexpr uint64_t kMaxUnread = 1024 * 1024;

    CVxiReplyQueue() = default;
    CVxiReplyQueue(const CVxiReplyQueue&) = delete;
    CVxiReplyQueue& operator=(const CVxiReplyQueue&) = delete;
    ~CVxiReplyQueue();

    // What became of a reply pushed.
    enum class Push {
        Queued,
        Refused,      // the link holds its share unread
        Cleared,      // a device clear came after its message: dropped
        Interrupted,  // a newer message came after its message: dropped
    };
    // A message of the link is posted; `answers`: it holds a query, whose
    // reply the link is owed until it is pushed or settled. Returns the
    // count of new messages and device clears so far, what its push and
    // settle name it by.
    uint64_t post(bool answers);
    // Queues `reply` of a message posted as `sentAt`, or refuses
    // it while the link holds its share unread: kMaxUnread, or
    // ScpiReplyBudget::kFreeShare while the service's budget is spent. The
    // first reply of an empty queue is always taken. A reply of a message
    // sent before the latest new message or device clear is dropped, under
    // the same lock as the cut, so that none slips in after it. `answers` as
    // the message was posted: its reply is no longer owed.
    Push push(std::string reply, uint64_t sentAt, bool answers);
    // A message posted with `answers` ended without a reply.
    void settle(uint64_t sentAt);
    // A new message of the link: the replies of every message sent before
    // it are obsolete, those unread and those still being made. True when
    // a query the link sent was interrupted: its reply was unread, or owed
    // while its client still waited for it (`givenUp`: a read of the client
    // timed out waiting, so it was told the query failed, and the query
    // reports its own time-out when it ends without a reply).
    bool interrupt(bool givenUp = false);
    // A device clear: the same, and no query counts as interrupted.
    void deviceClear();
    // Waits up to `timeoutMs` for a reply, then moves the queued replies into
    // `out` (empty), joined by ";" as one response with one terminator, up
    // to `most` bytes: a reply that does not fit leaves its rest queued for
    // the next fill. `eom` tells whether the bytes placed end a reply. Returns their count (0 on
    // time-out).
    uint32_t fill(std::string& out, uint32_t most, uint32_t timeoutMs, bool& eom);

private:
    // Starts a new message's turn: drops the unread replies and what is
    // owed, true when there were unread replies, or owed ones that
    // `owedCounts`. Called with the mutex held.
    bool cutLocked(bool owedCounts);
    // One owed reply less when `answers`; called with the mutex held.
    void settleLocked(bool answers);
    // Takes `bytes` off the count; called with the mutex held.
    void releaseLocked(uint64_t bytes);

    std::mutex m_mtx;
    std::condition_variable m_cv;
    std::deque<std::string> m_replies;
    uint64_t m_u64Held = 0;  // bytes of m_replies, as counted in the budget
    uint64_t m_u64Cuts = 0;       // new messages and device clears so far
    uint64_t m_u64ClearedAt = 0;  // m_u64Cuts as the latest device clear left it
    uint32_t m_u32Owed = 0;       // replies of queries posted since the latest cut, not yet come
};
