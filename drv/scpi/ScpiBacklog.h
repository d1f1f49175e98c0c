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
    // Stands for input dropped as too long, in its place among the messages.
    // It is an entry of its own, not a text: any text, even an empty message,
    // is a message.
    void pushOverrun() { m_sizes.push_back(kOverrun); }
    bool empty() const { return m_sizes.empty(); }
    bool frontIsOverrun() const { return m_sizes.front() == kOverrun; }
    // Removes the oldest entry and returns its message (none for an overrun).
    std::string pop();
    // About the memory it takes.
    uint64_t cost() const { return m_text.capacity() + m_sizes.size() * sizeof(uint32_t); }

private:
    // No message comes near it: the input buffer bounds them far below.
    static constexpr uint32_t kOverrun = UINT32_MAX;

    std::string m_text;
    size_t m_head = 0;  // where the oldest message begins in m_text
    std::deque<uint32_t> m_sizes;
};
