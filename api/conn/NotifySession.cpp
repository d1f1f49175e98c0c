#include <cinttypes>
#include <algorithm>
#include <cstdint>

#include "CFEM.h"
#include "ConnService.h"
#include "Util/MemoryTrim.h"
#include "Util/logger.h"

ConnService::NotifySession::NotifySession(const toolkit::Socket::Ptr& sock)
    : toolkit::Session(sock), m_pConn(*ConnService::instance()) {
    PrintI("new NotifySession 0x%" PRIxPTR, reinterpret_cast<uintptr_t>(this));
}

ConnService::NotifySession::~NotifySession() {
    PrintI("~NotifySession 0x%" PRIxPTR, reinterpret_cast<uintptr_t>(this));
    if (m_bBackedUp) {
        toolkit::trimFreedMemory();
    }
}

void ConnService::NotifySession::attachServer(const toolkit::Server&) {
    // Every frame is reported once, written or dropped with the socket.
    std::weak_ptr<toolkit::Session> weak_self = weak_from_this();
    getSock()->setOnSendResult([weak_self](const toolkit::Buffer::Ptr& frame, bool) {
        if (auto self = std::static_pointer_cast<NotifySession>(weak_self.lock())) {
            self->onFrameDone(frame->size());
        }
    });
    m_pConn.addClient(this);
    // Every bound manager pushes its current state; the clients attached
    // before receive it as well.
    CFEM::FEM_ClientConnect();
}

void ConnService::NotifySession::deliver(const toolkit::Buffer::Ptr& frame) {
    if (!m_backlog.admits(frame->size())) {
        PrintW("notification client %s:%u dropped: %zu frames of %" PRIu64 " bytes not read", get_peer_ip().c_str(),
               get_peer_port(), m_backlog.frames(), m_backlog.bytes());
        m_bBackedUp = true;
        shutdown(toolkit::SockException(toolkit::Err_shutdown, "notification client too far behind"));
        return;
    }
    m_backlog.queued(frame->size());
    m_bBackedUp = m_bBackedUp || m_backlog.bytes() > FrameBacklog::kLargeBytes;
    send(frame);
}

void ConnService::NotifySession::onFrameDone(size_t size) {
    m_backlog.done(size);
}

void ConnService::NotifySession::onRecv(const toolkit::Buffer::Ptr&) {
    // The app only listens on this link.
}

void ConnService::NotifySession::onError(const toolkit::SockException&) {
    m_pConn.removeClient(this);
}

void ConnService::NotifySession::onManager() {}
