#include "vxi_reply_queue.h"

#include <algorithm>
#include <chrono>

#include "ScpiReplyBudget.h"

CVxiReplyQueue::~CVxiReplyQueue() {
    ScpiReplyBudget::instance().release(m_u64Held);
}

uint64_t CVxiReplyQueue::post(bool answers) {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_u32Owed += answers ? 1 : 0;
    return m_u64Cuts;
}

CVxiReplyQueue::Push CVxiReplyQueue::push(std::string reply, uint64_t sentAt, bool answers) {
    ScpiReplyBudget& budget = ScpiReplyBudget::instance();
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        // Never counted in the budget when dropped: nothing to give back.
        if (sentAt != m_u64Cuts) {
            return sentAt < m_u64ClearedAt ? Push::Cleared : Push::Interrupted;
        }
        settleLocked(answers);
        if (m_u64Held >= budget.share(kMaxUnread)) {
            return Push::Refused;
        }
        budget.hold(reply.size());
        m_u64Held += reply.size();
        m_replies.push_back(std::move(reply));
    }
    m_cv.notify_one();
    return Push::Queued;
}

void CVxiReplyQueue::settle(uint64_t sentAt) {
    std::lock_guard<std::mutex> lock(m_mtx);
    if (sentAt == m_u64Cuts) {
        settleLocked(true);
    }
}

void CVxiReplyQueue::settleLocked(bool answers) {
    if (answers && m_u32Owed > 0) {
        --m_u32Owed;
    }
}

bool CVxiReplyQueue::interrupt(bool givenUp) {
    std::lock_guard<std::mutex> lock(m_mtx);
    return cutLocked(!givenUp);
}

void CVxiReplyQueue::deviceClear() {
    std::lock_guard<std::mutex> lock(m_mtx);
    cutLocked(false);
    m_u64ClearedAt = m_u64Cuts;
}

bool CVxiReplyQueue::cutLocked(bool owedCounts) {
    ++m_u64Cuts;
    const bool dropped = !m_replies.empty() || (owedCounts && m_u32Owed > 0);
    m_u32Owed = 0;
    m_replies.clear();
    releaseLocked(m_u64Held);
    return dropped;
}

void CVxiReplyQueue::releaseLocked(uint64_t bytes) {
    m_u64Held -= bytes;
    ScpiReplyBudget::instance().release(bytes);
}

uint32_t CVxiReplyQueue::fill(std::string& out, uint32_t most, uint32_t timeoutMs, bool& eom) {
    std::unique_lock<std::mutex> lock(m_mtx);
    m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !m_replies.empty(); });
    eom = false;
    while (!m_replies.empty() && out.size() < most) {
        if (!out.empty()) {
            if (most - out.size() < 2) {
                break;  // a separator needs a byte of the next reply behind it
            }
            // Replies joined are one response: its one terminator ends it.
            if (out.back() == '\n') {
                out.pop_back();
            }
            out += ';';
        }
        std::string& reply = m_replies.front();
        const size_t whole = reply.size();
        const size_t take = std::min<size_t>(whole, most - out.size());
        if (out.empty() && take == whole) {
            out = std::move(reply);  // the usual case, one reply: not copied
        } else {
            out.append(reply, 0, take);
        }
        releaseLocked(take);
        if (take < whole) {
            reply.erase(0, take);
            eom = false;
            break;
        }
        m_replies.pop_front();
        eom = true;
    }
    return static_cast<uint32_t>(out.size());
}
