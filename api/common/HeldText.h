#pragma once
// Text the service holds for one client (input waiting for the rest of its
// message, reply data fetched and not taken yet), counted in the
// service-wide ScpiReplyBudget for as long as it is held. It counts the
// memory it takes, which is what a client makes the service keep; emptied, it
// gives that memory back at once.
#include <cstddef>
#include <cstdint>
#include <string>

class HeldText {
public:
    HeldText() = default;
    HeldText(const HeldText&) = delete;
    HeldText& operator=(const HeldText&) = delete;
    ~HeldText();

    const std::string& str() const { return m_text; }
    size_t size() const { return m_text.size(); }
    bool empty() const { return m_text.empty(); }
    // For changes in place that keep the size.
    char* data() { return &m_text[0]; }

    void assign(std::string text);
    void append(const char* data, size_t size);
    void push_back(char c);
    // Hands the text over, uncounted from then on, and holds nothing.
    std::string take();
    void clear();

private:
    void recount();

    std::string m_text;
    uint64_t m_u64Counted = 0;  // as counted in the budget
};
