#include "UsbtmcTxBuffer.h"

#include <algorithm>

void UsbtmcTxBuffer::discard() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++m_cmd;
        m_bRunning = false;
        std::string().swap(m_data);
        m_offset = 0;
    }
    // A request waiting for the dropped command's reply ends now.
    m_cv.notify_all();
}

uint64_t UsbtmcTxBuffer::beginCommand() {
    std::lock_guard<std::mutex> lock(mutex);
    ++m_cmd;
    m_bRunning = true;
    std::string().swap(m_data);
    m_offset = 0;
    return m_cmd;
}

void UsbtmcTxBuffer::store(uint64_t cmd, std::string reply) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (cmd != m_cmd) {
            return;
        }
        m_data = std::move(reply);
        m_offset = 0;
        u8TxDataEom = 1;
    }
    m_cv.notify_all();
}

void UsbtmcTxBuffer::endCommand(uint64_t cmd) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (cmd != m_cmd) {
            return;
        }
        m_bRunning = false;
    }
    m_cv.notify_all();
}

bool UsbtmcTxBuffer::waitReply(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex);
    m_cv.wait_for(lock, timeout, [this] { return m_offset < m_data.size() || !m_bRunning || m_bInterrupted; });
    return m_offset < m_data.size() && !m_bInterrupted;
}

uint64_t UsbtmcTxBuffer::takePiece(size_t max, std::string& piece, bool& eom) {
    std::lock_guard<std::mutex> lock(mutex);
    size_t n = std::min(max, m_data.size() - m_offset);
    piece.assign(m_data, m_offset, n);
    m_offset += n;
    u8TxDataEom = m_offset == m_data.size() ? 1 : 0;
    eom = u8TxDataEom != 0;
    return m_cmd;
}

void UsbtmcTxBuffer::putBack(uint64_t cmd, size_t n) {
    std::lock_guard<std::mutex> lock(mutex);
    if (cmd == m_cmd && n <= m_offset) {
        m_offset -= n;
    }
}

void UsbtmcTxBuffer::setInterrupted(bool on) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        m_bInterrupted = on;
    }
    m_cv.notify_all();
}

size_t UsbtmcTxBuffer::pendingBytes() const {
    std::lock_guard<std::mutex> lock(mutex);
    return m_data.size() - m_offset;
}
