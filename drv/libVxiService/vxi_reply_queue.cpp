#include "vxi_reply_queue.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "ScpiReplyBudget.h"

CVxiReplyQueue::~CVxiReplyQueue() {
    ScpiReplyBudget::instance().release(m_u64Held);
}

bool CVxiReplyQueue::push(std::string reply) {
    ScpiReplyBudget& budget = ScpiReplyBudget::instance();
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        const uint64_t share = budget.exhausted() ? ScpiReplyBudget::kFreeShare : kMaxUnread;
        if (m_u64Held >= share) {
            return false;
        }
        budget.hold(reply.size());
        m_u64Held += reply.size();
        m_replies.push_back(std::move(reply));
    }
    m_cv.notify_one();
    return true;
}

void CVxiReplyQueue::clear() {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_replies.clear();
    releaseLocked(m_u64Held);
}

void CVxiReplyQueue::releaseLocked(uint64_t bytes) {
    m_u64Held -= bytes;
    ScpiReplyBudget::instance().release(bytes);
}

uint32_t CVxiReplyQueue::fill(char* buffer, uint32_t size, uint32_t timeoutMs, bool& eom) {
    std::unique_lock<std::mutex> lock(m_mtx);
    m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !m_replies.empty(); });
    uint32_t count = 0;
    eom = false;
    while (!m_replies.empty() && count < size) {
        if (count > 0) {
            if (size - count < 2) {
                break;  // a separator needs a byte of the next reply behind it
            }
            buffer[count++] = ';';
        }
        std::string& reply = m_replies.front();
        uint32_t take = static_cast<uint32_t>(std::min<size_t>(reply.size(), size - count));
        std::memcpy(buffer + count, reply.data(), take);
        count += take;
        releaseLocked(take);
        if (take < reply.size()) {
            reply.erase(0, take);
            eom = false;
            break;
        }
        m_replies.pop_front();
        eom = true;
    }
    return count;
}
