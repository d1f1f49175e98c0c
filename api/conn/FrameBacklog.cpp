#include "FrameBacklog.h"

#include <algorithm>

#include "ScpiReplyBudget.h"

FrameBacklog::~FrameBacklog() {
    if (m_bBudgeted) {
        ScpiReplyBudget::instance().release(m_u64Counted);
    }
}

bool FrameBacklog::admits(size_t size, uint64_t maxBytes) const {
    return m_uFrames == 0 || (m_uFrames < kMaxFrames && m_u64Bytes + size + kFrameCost <= maxBytes);
}

void FrameBacklog::queued(size_t size) {
    m_u64Bytes += size + kFrameCost;
    ++m_uFrames;
    if (m_bBudgeted) {
        m_u64Counted += size;
        ScpiReplyBudget::instance().hold(size);
    }
}

void FrameBacklog::done(size_t size) {
    m_u64Bytes -= std::min(m_u64Bytes, size + kFrameCost);
    m_uFrames -= m_uFrames > 0 ? 1 : 0;
    if (m_bBudgeted) {
        const uint64_t released = std::min<uint64_t>(m_u64Counted, size);
        m_u64Counted -= released;
        ScpiReplyBudget::instance().release(released);
    }
}
