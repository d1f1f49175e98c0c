#include "vxi_reply_queue.h"

#include <algorithm>
#include <chrono>
#include <cstring>

void CVxiReplyQueue::push(std::string reply) {
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        m_replies.push_back(std::move(reply));
    }
    m_cv.notify_one();
}

void CVxiReplyQueue::clear() {
    std::lock_guard<std::mutex> lock(m_mtx);
    m_replies.clear();
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
