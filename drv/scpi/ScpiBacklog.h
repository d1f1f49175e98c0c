#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

// The program messages a socket session has received and not taken yet,
// oldest first. One receipt may hold tens of thousands of short messages:
// they are kept back to back with a size each, so that they cost about their
// bytes rather than a string each.
class ScpiBacklog {
public:
    void push(const std::string& message);
    bool empty() const { return m_sizes.empty(); }
    size_t frontSize() const { return m_sizes.front(); }
    // Removes the oldest message and returns it.
    std::string pop();
    // About the memory it takes.
    uint64_t cost() const { return m_text.capacity() + m_sizes.size() * sizeof(uint32_t); }

private:
    std::string m_text;
    size_t m_head = 0;  // where the oldest message begins in m_text
    std::deque<uint32_t> m_sizes;
};
