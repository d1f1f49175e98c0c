#include <sys/ioctl.h>

#include <algorithm>
#include <cinttypes>
#include <climits>
#include <string>

#include "CBeeper.h"
#include "CFEM.h"
#include "ConnService.h"
#include "DrvScpiErrDef.h"
#include "DrvScpiQueue.h"
#include "DrvScpiSM.h"
#include "RequestFramer.h"
#include "ScpiReplyBudget.h"
#include "Util/MemoryTrim.h"
#include "Util/logger.h"
#include "Util/util.h"
#include "proto_data.pb.h"

ConnService::ProtoSession::ProtoSession(const toolkit::Socket::Ptr& sock)
    : toolkit::Session(sock), m_pConn(*ConnService::instance()) {}

ConnService::ProtoSession::~ProtoSession() {
    if (m_bBackedUp) {
        toolkit::trimFreedMemory();
    }
}

void ConnService::ProtoSession::onRecv(const toolkit::Buffer::Ptr& buf) {
    m_u64LastRecvMs = toolkit::getCurrentMillisecond();
    m_framer.take(buf->data(), buf->size(), *this);
    switch (m_framer.tail()) {
    case RequestFramer::Tail::Empty:
        stopQuiet();
        return;
    case RequestFramer::Tail::Fields:
        if (tailComplete()) {
            m_framer.finish(*this);
            stopQuiet();
            return;
        }
        break;
    case RequestFramer::Tail::Partial:
        break;
    }
    watchQuiet();
}

bool ConnService::ProtoSession::tailComplete() {
    // A further read follows at once when bytes wait: they may belong to
    // this request. A large one gathered from several reads may be written in
    // pieces that end between fields: it settles first.
    return !moreWaiting() && (m_framer.tailIsFresh() || m_framer.tailSize() < kSmallRequest);
}

void ConnService::ProtoSession::onRequest(const char* data, size_t size) {
    if (m_bDropped) {
        return;
    }
    if (!admits(0)) {
        drop();  // no reply could go: its request is not run
        return;
    }
    DataPack request;
    DataPack reply;
    int result = 0;
    if (size <= INT_MAX && request.ParseFromArray(data, static_cast<int>(size))) {
        result = CFEM::handleMessage(0, static_cast<unsigned int>(request.code()), request.data(),
                                     reply.mutable_data());
    } else {
        result = rejectUndecodable(request, size);
    }
    reply.set_code(request.code());
    reply.set_stat(result);
    sendReply(reply);
}

int ConnService::ProtoSession::rejectUndecodable(const DataPack& partial, size_t size) {
    // What a failed parse left behind is not a request: no handler sees it.
    // The app still gets its answer, and the error is reported as the hub
    // reports an id that nobody bound.
    SCP_ExecuteErrNotify();
    SCP_WriteErrorQueue(g_asErrInfo[E101_INVALID_CHARACTER]);
    PrintE("undecodable request of %zu bytes (code 0x%08x) from %s:%u, no handler called", size,
           static_cast<unsigned int>(partial.code()), get_peer_ip().c_str(), get_peer_port());
    CBeeper::instance()->Beeper_Test();
    return E101_INVALID_CHARACTER;
}

void ConnService::ProtoSession::onOversized(int32_t code) {
    SCP_ExecuteErrNotify();
    SCP_WriteErrorQueue(g_asErrInfo[E223_TOO_MUCH_DATA]);
    PrintE("request 0x%08x from %s:%u above %zu bytes, answered -223, no handler called",
           static_cast<unsigned int>(code), get_peer_ip().c_str(), get_peer_port(), kMaxRequest);
    CBeeper::instance()->Beeper_Test();
    DataPack reply;
    reply.set_code(code);
    reply.set_stat(E223_TOO_MUCH_DATA);
    sendReply(reply);
}

void ConnService::ProtoSession::sendReply(DataPack& reply) {
    size_t size = reply.ByteSizeLong();
    if (size > kMaxFrameBody) {
        // Too large for a frame: the app still gets an answer to its request,
        // so that it is not left waiting.
        PrintE("reply to 0x%08x of %zu bytes exceeds the frame limit of %zu bytes, answered -223",
               static_cast<unsigned int>(reply.code()), size, kMaxFrameBody);
        reply.clear_data();
        reply.set_stat(E223_TOO_MUCH_DATA);
    }
    // Counted before it is sent: a send may report it written at once.
    const size_t frame = reply.ByteSizeLong() + 4;
    if (!admits(frame)) {
        drop();
        return;
    }
    m_backlog.queued(frame);
    m_bBackedUp = m_bBackedUp || m_backlog.bytes() > FrameBacklog::kLargeBytes;
    repSendPack(this, reply);
}

bool ConnService::ProtoSession::admits(size_t size) const {
    return m_backlog.admits(size, ScpiReplyBudget::instance().share(FrameBacklog::kMaxBytes));
}

void ConnService::ProtoSession::drop() {
    PrintW("UI client %s:%u dropped: %zu replies of %" PRIu64 " bytes not read", get_peer_ip().c_str(),
           get_peer_port(), m_backlog.frames(), m_backlog.bytes());
    m_bDropped = true;
    m_bBackedUp = true;
    stopQuiet();
    shutdown(toolkit::SockException(toolkit::Err_shutdown, "UI client too far behind"));
}

bool ConnService::ProtoSession::moreWaiting() {
    int waiting = 0;
    const int fd = getSock() ? getSock()->rawFD() : -1;
    return fd >= 0 && ::ioctl(fd, FIONREAD, &waiting) == 0 && waiting > 0;
}

void ConnService::ProtoSession::watchQuiet() {
    if (m_quietTask) {
        return;  // still due; it looks at the time of the last receipt
    }
    std::weak_ptr<toolkit::Session> weak_self = weak_from_this();
    m_quietTask = getPoller()->doDelayTask(kSettleMs, [weak_self]() -> uint64_t {
        auto self = std::static_pointer_cast<ProtoSession>(weak_self.lock());
        return self ? self->onQuiet() : 0;
    });
}

uint64_t ConnService::ProtoSession::onQuiet() {
    // A cut field waits long for its rest, whole fields only briefly; the
    // watch looks again at least every kSettleMs, as the one can become the
    // other with the next read.
    const uint64_t wait = m_framer.tail() == RequestFramer::Tail::Fields ? kSettleMs : kQuietMs;
    const uint64_t quiet = toolkit::getCurrentMillisecond() - m_u64LastRecvMs;
    if (quiet < wait) {
        return std::min(wait - quiet, kSettleMs);
    }
    m_quietTask.reset();
    // The rest is not coming: what was held is answered as it stands.
    m_framer.finish(*this);
    return 0;
}

void ConnService::ProtoSession::stopQuiet() {
    if (m_quietTask) {
        m_quietTask->cancel();
        m_quietTask.reset();
    }
}

void ConnService::ProtoSession::onError(const toolkit::SockException&) {
    stopQuiet();
}

void ConnService::ProtoSession::onManager() {}

void ConnService::ProtoSession::attachServer(const toolkit::Server&) {
    // Every reply is reported once, written or dropped with the socket.
    std::weak_ptr<toolkit::Session> weak_self = weak_from_this();
    getSock()->setOnSendResult([weak_self](const toolkit::Buffer::Ptr& frame, bool) {
        if (auto self = std::static_pointer_cast<ProtoSession>(weak_self.lock())) {
            self->m_backlog.done(frame->size());
        }
    });
}
