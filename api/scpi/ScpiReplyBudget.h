#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

// The bounds on SCPI response text, over every client of the service.
//
// One response holds at most kMaxResponse bytes: a short message of queries
// with large answers (screen copies, whole reading memories) must not make
// the service build gigabytes. Beyond that, the replies that clients have not
// read yet are counted here service-wide: once they pass kTotal, a response
// grows beyond kFreeShare only while it fits what is left. A client's
// ordinary answers always fit in kFreeShare, so hundreds of clients keep
// getting theirs while a few hold the budget.
class ScpiReplyBudget {
public:
    // The reading memory full (500000 readings of 16 bytes) fits, with room.
    static constexpr uint64_t kMaxResponse = 16u << 20;
    static constexpr uint64_t kTotal = 32u << 20;
    static constexpr uint64_t kFreeShare = 64u << 10;

    static ScpiReplyBudget& instance();

    // Whether a response may grow to `size` bytes now.
    bool allows(uint64_t size) const;
    // Replies made and not yet written to their clients.
    void hold(uint64_t bytes) { m_held.fetch_add(bytes); }
    void release(uint64_t bytes) { m_held.fetch_sub(bytes); }
    uint64_t held() const { return m_held.load(); }
    // Whether the unsent replies are above kTotal.
    bool exhausted() const { return held() > kTotal; }

private:
    std::atomic<uint64_t> m_held{0};
};
