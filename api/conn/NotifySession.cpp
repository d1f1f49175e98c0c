#include <cinttypes>
#include <algorithm>
#include <cstdint>

#include "CFEM.h"
#include "ConnService.h"
#include "Util/MemoryTrim.h"
#include "Util/logger.h"

namespace {
// A queue above this has left enough freed memory behind to hand back.
constexpr uint64_t kTrimAfterBytes = 1024 * 1024;
} // namespace

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
    const uint64_t cost = frame->size() + kFrameCost;
    if (m_uFrames >= kMaxQueuedFrames || m_u64Queued + cost > kMaxQueuedBytes) {
        PrintW("notification client %s:%u dropped: %zu frames of %" PRIu64 " bytes not read", get_peer_ip().c_str(),
               get_peer_port(), m_uFrames, m_u64Queued);
        m_bBackedUp = true;
        shutdown(toolkit::SockException(toolkit::Err_shutdown, "notification client too far behind"));
        return;
    }
    m_u64Queued += cost;
    ++m_uFrames;
    m_bBackedUp = m_bBackedUp || m_u64Queued > kTrimAfterBytes;
    send(frame);
}

void ConnService::NotifySession::onFrameDone(size_t size) {
    m_u64Queued -= std::min(m_u64Queued, size + kFrameCost);
    m_uFrames -= m_uFrames > 0 ? 1 : 0;
}

void ConnService::NotifySession::onRecv(const toolkit::Buffer::Ptr&) {
    // The app only listens on this link.
}

void ConnService::NotifySession::onError(const toolkit::SockException&) {
    m_pConn.removeClient(this);
}

void ConnService::NotifySession::onManager() {}
