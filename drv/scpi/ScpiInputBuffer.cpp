#include "ScpiInputBuffer.h"

#include <cstring>

namespace {

// The last line feed in the bytes, or null.
const char* lastLineFeed(const char* data, size_t size) {
    return static_cast<const char*>(memrchr(data, '\n', size));
}

} // namespace

bool ScpiInputBuffer::append(const char* data, size_t size, std::string& message) {
    message.clear();
    if (m_bDiscarding) {
        const char* lf = static_cast<const char*>(std::memchr(data, '\n', size));
        if (lf == nullptr) {
            return true;
        }
        m_bDiscarding = false;
        size -= static_cast<size_t>(lf + 1 - data);
        data = lf + 1;
    }

    if (const char* lf = lastLineFeed(data, size)) {
        size_t head = static_cast<size_t>(lf + 1 - data);
        message.reserve(m_pending.size() + head);
        message.append(m_pending).append(data, head);
        m_pending.assign(lf + 1, size - head);
    } else {
        m_pending.append(data, size);
    }

    if (m_pending.size() > kMaxPending) {
        m_pending.clear();
        m_pending.shrink_to_fit();
        m_bDiscarding = true;
        return false;
    }
    return true;
}

std::string ScpiInputBuffer::takePending() {
    m_bDiscarding = false;
    std::string text;
    text.swap(m_pending);
    return text;
}
