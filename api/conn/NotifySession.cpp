#include <cinttypes>
#include <cstdint>

#include "CFEM.h"
#include "ConnService.h"
#include "Util/logger.h"

ConnService::NotifySession::NotifySession(const toolkit::Socket::Ptr& sock)
    : toolkit::Session(sock), m_pConn(*ConnService::instance()) {
    PrintI("new NotifySession 0x%" PRIxPTR, reinterpret_cast<uintptr_t>(this));
}

ConnService::NotifySession::~NotifySession() {
    PrintI("~NotifySession 0x%" PRIxPTR, reinterpret_cast<uintptr_t>(this));
}

void ConnService::NotifySession::attachServer(const toolkit::Server&) {
    m_pConn.addClient(this);
    // Every bound manager pushes its current state; the clients attached
    // before receive it as well.
    CFEM::FEM_ClientConnect();
}

void ConnService::NotifySession::onRecv(const toolkit::Buffer::Ptr&) {
    // The app only listens on this link.
}

void ConnService::NotifySession::onError(const toolkit::SockException&) {
    m_pConn.removeClient(this);
}

void ConnService::NotifySession::onManager() {}
