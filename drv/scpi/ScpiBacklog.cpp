#include "ScpiBacklog.h"

namespace {

// Below this the taken front is left in place until the backlog empties.
constexpr size_t kCompactAt = 64 * 1024;

}  // namespace

void ScpiBacklog::push(const std::string& message) {
    m_text += message;
    m_sizes.push_back(static_cast<uint32_t>(message.size()));
}

std::string ScpiBacklog::pop() {
    const uint32_t size = frontIsOverrun() ? 0 : m_sizes.front();
    std::string message(m_text, m_head, size);
    m_head += size;
    m_sizes.pop_front();
    if (m_sizes.empty()) {
        // A burst's buffer goes with it, not only its bytes.
        std::string().swap(m_text);
        std::deque<uint32_t>().swap(m_sizes);
        m_head = 0;
    } else if (m_head >= kCompactAt && m_head * 2 >= m_text.size()) {
        m_text.erase(0, m_head);
        m_head = 0;
    }
    return message;
}
