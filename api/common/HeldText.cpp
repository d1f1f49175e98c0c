#include "HeldText.h"

#include <utility>

#include "ScpiReplyBudget.h"

HeldText::~HeldText() {
    ScpiReplyBudget::instance().release(m_u64Counted);
}

void HeldText::assign(std::string text) {
    m_text = std::move(text);
    recount();
}

void HeldText::append(const char* data, size_t size) {
    m_text.append(data, size);
    recount();
}

void HeldText::push_back(char c) {
    m_text.push_back(c);
    recount();
}

std::string HeldText::take() {
    std::string text;
    text.swap(m_text);
    recount();
    return text;
}

void HeldText::clear() {
    std::string().swap(m_text);
    recount();
}

void HeldText::recount() {
    // An empty text's few bytes of its own are no client's doing.
    ScpiReplyBudget::instance().recount(m_u64Counted, m_text.empty() ? 0 : m_text.capacity());
}
