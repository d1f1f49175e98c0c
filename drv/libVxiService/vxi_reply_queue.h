#pragma once
// The replies of one link that its reads have not fetched yet. The SCPI
// engine pushes on its poller thread; the server thread fills the link's
// buffer from it.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

class CVxiReplyQueue {
public:
    void push(std::string reply);
    void clear();
    // Waits up to `timeoutMs` for a reply, then moves the queued replies into
    // `buffer`, joined by ";", as far as `size` allows: a reply that does not
    // fit leaves its rest queued for the next fill. `eom` tells whether the
    // bytes placed end a reply. Returns their count (0 on time-out).
    uint32_t fill(char* buffer, uint32_t size, uint32_t timeoutMs, bool& eom);

private:
    std::mutex m_mtx;
    std::condition_variable m_cv;
    std::deque<std::string> m_replies;
};
