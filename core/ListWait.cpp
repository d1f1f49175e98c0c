#include "ListWait.h"

namespace {
thread_local ListWait* t_current = nullptr;
}  // namespace

bool ListWait::cancelledHere() { return t_current != nullptr && t_current->cancelled(); }

bool ListWait::stoppedHere() { return t_current != nullptr && t_current->m_stopped.load(); }

uint32_t ListWait::readTimeoutMsHere(uint32_t engineMs) {
    if (t_current == nullptr || !t_current->m_readTimeoutMs) {
        return engineMs;
    }
    return t_current->m_readTimeoutMs->load();
}

const void* ListWait::clientHere() { return t_current == nullptr ? nullptr : t_current->m_client; }

ListWait::Scope::Scope(ListWait& list) : m_previous(t_current) { t_current = &list; }

ListWait::Scope::~Scope() { t_current = m_previous; }

ListWait::Waiting::Waiting() : m_list(t_current) {
    // Nested waits lend it once.
    if (m_list == nullptr || m_list->m_turn == nullptr) {
        return;
    }
    m_lent = m_list->m_turn;
    m_list->m_turn = nullptr;
    m_lent->lend();
}

ListWait::Waiting::~Waiting() {
    if (m_lent != nullptr && m_lent->takeBack()) {
        m_list->m_turn = m_lent;
    }
}
