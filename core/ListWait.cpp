#include "ListWait.h"

namespace {
thread_local ListWait* t_current = nullptr;
}  // namespace

bool ListWait::cancelledHere() { return t_current != nullptr && t_current->cancelled(); }

uint32_t ListWait::readTimeoutMsHere(uint32_t engineMs) {
    if (t_current == nullptr || !t_current->m_readTimeoutMs) {
        return engineMs;
    }
    return t_current->m_readTimeoutMs->load();
}

ListWait::Scope::Scope(ListWait& list) : m_previous(t_current) { t_current = &list; }

ListWait::Scope::~Scope() { t_current = m_previous; }
