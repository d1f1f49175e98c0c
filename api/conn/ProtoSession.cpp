#include <sys/ioctl.h>

#include <algorithm>
#include <climits>
#include <string>

#include "CBeeper.h"
#include "CFEM.h"
#include "ConnService.h"
#include "DrvScpiErrDef.h"
#include "DrvScpiQueue.h"
#include "DrvScpiSM.h"
#include "RequestFramer.h"
#include "Util/logger.h"
#include "Util/util.h"
#include "proto_data.pb.h"

ConnService::ProtoSession::ProtoSession(const toolkit::Socket::Ptr& sock)
    : toolkit::Session(sock), m_pConn(*ConnService::instance()) {}

void ConnService::ProtoSession::onRecv(const toolkit::Buffer::Ptr& buf) {
    m_u64LastRecvMs = toolkit::getCurrentMillisecond();
    const char* data = buf->data();
    size_t size = buf->size();
    if (m_bSkipping) {
        const size_t passed = static_cast<size_t>(std::min<uint64_t>(m_u64Skip, size));
        m_u64Skip -= passed;
        data += passed;
        size -= passed;
        if (m_u64Skip > 0) {
            watchQuiet();
            return;
        }
        answerOversized();
    }
    m_pending.append(data, size);
    takeRequests();
}

void ConnService::ProtoSession::takeRequests() {
    for (;;) {
        const auto scan = RequestFramer::scan(m_pending.data(), m_pending.size(), kMaxRequest);
        size_t from = 0;
        for (size_t end : scan.ends) {
            handleRequest(m_pending.data() + from, end - from);
            from = end;
        }
        const char* tail = m_pending.data() + from;
        const size_t tailSize = m_pending.size() - from;
        switch (scan.tail) {
        case RequestFramer::Tail::Fields:
            // A further read follows at once when bytes wait: they may belong
            // to this request.
            if (moreWaiting()) {
                break;
            }
            handleRequest(tail, tailSize);
            m_pending.clear();
            stopQuiet();
            return;
        case RequestFramer::Tail::Empty:
            m_pending.clear();
            stopQuiet();
            return;
        case RequestFramer::Tail::Invalid:
            // Where the next request would begin cannot be told: all of it is
            // answered as one.
            handleRequest(tail, tailSize);
            m_pending.clear();
            stopQuiet();
            return;
        case RequestFramer::Tail::Oversized:
            m_bSkipping = true;
            m_s32SkipCode = RequestFramer::leadingCode(tail, tailSize);
            if (scan.oversizedEnd > m_pending.size()) {
                m_u64Skip = scan.oversizedEnd - m_pending.size();
                m_pending.clear();
                watchQuiet();
                return;
            }
            m_pending.erase(0, static_cast<size_t>(scan.oversizedEnd));
            answerOversized();
            continue;
        case RequestFramer::Tail::Partial:
            break;
        }
        m_pending.erase(0, from);
        watchQuiet();
        return;
    }
}

void ConnService::ProtoSession::handleRequest(const char* data, size_t size) {
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

void ConnService::ProtoSession::answerOversized() {
    m_bSkipping = false;
    m_u64Skip = 0;
    SCP_ExecuteErrNotify();
    SCP_WriteErrorQueue(g_asErrInfo[E223_TOO_MUCH_DATA]);
    PrintE("request 0x%08x from %s:%u above %zu bytes, answered -223, no handler called",
           static_cast<unsigned int>(m_s32SkipCode), get_peer_ip().c_str(), get_peer_port(), kMaxRequest);
    CBeeper::instance()->Beeper_Test();
    DataPack reply;
    reply.set_code(m_s32SkipCode);
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
    repSendPack(this, reply);
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
    m_quietTask = getPoller()->doDelayTask(kQuietMs, [weak_self]() -> uint64_t {
        auto self = std::static_pointer_cast<ProtoSession>(weak_self.lock());
        return self ? self->onQuiet() : 0;
    });
}

uint64_t ConnService::ProtoSession::onQuiet() {
    const uint64_t quiet = toolkit::getCurrentMillisecond() - m_u64LastRecvMs;
    if (quiet < kQuietMs) {
        return kQuietMs - quiet;
    }
    m_quietTask.reset();
    // The rest is not coming: what was held is answered as it stands.
    if (m_bSkipping) {
        answerOversized();
    } else if (!m_pending.empty()) {
        handleRequest(m_pending.data(), m_pending.size());
        m_pending.clear();
    }
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

void ConnService::ProtoSession::attachServer(const toolkit::Server&) {}
