#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "proto_data.pb.h"

// The bounds on SCPI response text, and on all the bytes the service holds
// for remote clients, over every client of the service.
//
// One response holds at most kMaxResponse bytes: a short message of queries
// with large answers (screen copies, whole reading memories) must not make
// the service build gigabytes. Beyond that, what clients have sent or been
// answered and not taken yet is counted here service-wide: replies not read
// (raw-socket, VXI-11 and UI-link clients alike) and VXI-11 input waiting for
// the write that ends its message. Once these pass kTotal, a response grows
// beyond kFreeShare only while it fits what is left, and each client keeps
// only kFreeShare of its own waiting. A client's ordinary answers and
// messages always fit in kFreeShare, so hundreds of clients keep being
// served while a few hold the budget.
//
// The room an answer may take is decided once, before its query runs, and the
// query is told it: a query whose answer consumes what it reports (readings
// taken from the memory) checks it before it takes anything, so that an
// answer refused by the bound never loses them.
class ScpiReplyBudget {
public:
    // The reading memory full (500000 readings of 16 bytes) fits, with room.
    static constexpr uint64_t kMaxResponse = 16u << 20;
    static constexpr uint64_t kTotal = 32u << 20;
    static constexpr uint64_t kFreeShare = 64u << 10;

    // The parameter under which a query is told its room, as an unsigned
    // 64-bit value: a key no item code uses.
    static constexpr int kRoomKey = -1;

    static ScpiReplyBudget& instance();

    // The largest response that may be built now.
    uint64_t largest() const;
    // The bytes an answer may add now to a response of `size` bytes, with
    // room left for its separator and the line feed; 0 when none fit.
    uint64_t roomAfter(uint64_t size) const;
    // Whether an answer of at most `size` bytes fits the room its query was
    // told; always when it was told none (another client than SCPI asks).
    static bool fits(const google::protobuf::Map<int, Value>& in, uint64_t size);
    // Bytes held for clients: replies not yet written, input not yet run.
    void hold(uint64_t bytes) { m_held.fetch_add(bytes); }
    void release(uint64_t bytes) { m_held.fetch_sub(bytes); }
    // Moves what one holder counts from `counted` to `now` bytes.
    void recount(uint64_t& counted, uint64_t now) {
        if (now > counted) {
            hold(now - counted);
        } else {
            release(counted - now);
        }
        counted = now;
    }
    uint64_t held() const { return m_held.load(); }
    // What one client may keep waiting now: `own` while the budget lasts,
    // kFreeShare once it is spent.
    uint64_t share(uint64_t own) const { return exhausted() ? kFreeShare : own; }
    // Whether the bytes held are above kTotal.
    bool exhausted() const { return held() > kTotal; }

private:
    std::atomic<uint64_t> m_held{0};
};
