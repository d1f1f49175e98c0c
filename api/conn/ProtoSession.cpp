#include <climits>
#include <string>

#include "CBeeper.h"
#include "CFEM.h"
#include "ConnService.h"
#include "DrvScpiErrDef.h"
#include "DrvScpiQueue.h"
#include "DrvScpiSM.h"
#include "Util/logger.h"
#include "proto_data.pb.h"

ConnService::ProtoSession::ProtoSession(const toolkit::Socket::Ptr& sock)
    : toolkit::Session(sock), m_pConn(*ConnService::instance()) {}

void ConnService::ProtoSession::onRecv(const toolkit::Buffer::Ptr& buf) {
    // One chunk is one request: the app writes each DataPack whole, without a
    // prefix, and waits for its reply before the next.
    DataPack request;
    DataPack reply;
    int result = 0;
    if (buf->size() <= INT_MAX && request.ParseFromArray(buf->data(), static_cast<int>(buf->size()))) {
        result = CFEM::handleMessage(0, static_cast<unsigned int>(request.code()), request.data(),
                                     reply.mutable_data());
    } else {
        result = rejectUndecodable(request, buf->size());
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

void ConnService::ProtoSession::onError(const toolkit::SockException&) {}

void ConnService::ProtoSession::onManager() {}

void ConnService::ProtoSession::attachServer(const toolkit::Server&) {}
