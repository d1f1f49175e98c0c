#include "ConnService.h"

#include <algorithm>
#include <utility>

#include "CFEM.h"
#include "Util/logger.h"
#include "proto_data.pb.h"

ConnService* ConnService::instance() {
    // Never destroyed: pool workers may still deliver a notification while
    // static objects are torn down at exit.
    static ConnService* conn = new ConnService();
    return conn;
}

ConnService::ConnService()
    : requestSrv(std::make_shared<toolkit::TcpServer>()), notifySrv(std::make_shared<toolkit::TcpServer>()) {
    CFEM::setNotifySink([this](const DataPack& pack) { pushMessage(pack); });
}

ConnService::~ConnService() {
    CFEM::setNotifySink(nullptr);
}

void ConnService::start() {
    start(kRequestPort, kNotifyPort);
}

void ConnService::start(uint16_t requestPort, uint16_t notifyPort) {
    {
        std::lock_guard<std::mutex> lock(mMtx);
        if (mStarted) {
            return;
        }
        mStarted = true;
    }
    requestSrv->setMaxConnections(kMaxClientsPerPort);
    notifySrv->setMaxConnections(kMaxClientsPerPort);
    requestSrv->start<ProtoSession>(requestPort, kListenHost, 1024);
    notifySrv->start<NotifySession>(notifyPort, kListenHost, 1024);
}

uint16_t ConnService::requestPort() const {
    return requestSrv->getPort();
}

uint16_t ConnService::notifyPort() const {
    return notifySrv->getPort();
}

namespace {

// Least significant byte first, whatever the host's byte order.
void writeLengthPrefix(char* at, size_t length) {
    auto* out = reinterpret_cast<unsigned char*>(at);
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<unsigned char>((length >> (8 * i)) & 0xFF);
    }
}

} // namespace

toolkit::Buffer::Ptr ConnService::makeFrame(const DataPack& pack, const char* what) {
    size_t length = pack.ByteSizeLong();
    if (length > kMaxFrameBody) {
        PrintE("%s of %zu bytes exceeds the frame limit of %zu bytes, not sent", what, length, kMaxFrameBody);
        return nullptr;
    }
    auto frame = toolkit::BufferRaw::create();
    frame->setCapacity(length + 4);
    writeLengthPrefix(frame->data(), length);
    // ByteSizeLong above cached the sizes this pass relies on.
    pack.SerializeWithCachedSizesToArray(reinterpret_cast<uint8_t*>(frame->data() + 4));
    frame->setSize(length + 4);
    return frame;
}

bool ConnService::repSendPack(toolkit::Session* session, const DataPack& reply) {
    auto frame = makeFrame(reply, "reply");
    return frame && session->send(std::move(frame)) >= 0;
}

void ConnService::pushMessage(const DataPack& pack) {
    if (clientCount() == 0) {
        return;
    }
    // One frame for all clients: it is never written to once built, and each
    // socket keeps its own read position.
    toolkit::Buffer::Ptr frame = makeFrame(pack, "notification");
    if (!frame) {
        return;
    }
    // The servers' sockets belong to their pollers: each send is posted there,
    // never made from this thread. Posting keeps the order of this caller's
    // notifications per client; the session is looked up (and, should this be
    // the last reference, released) on its own thread. The frame is built
    // outside the lock, which attaching and detaching sessions take.
    std::lock_guard<std::mutex> lock(mMtx);
    for (const Client& client : mClients) {
        client.poller->async(
            [weak = client.session, frame]() {
                if (auto session = weak.lock()) {
                    session->deliver(frame);
                }
            },
            false);
    }
}

void ConnService::addClient(NotifySession* session) {
    if (session == nullptr || !session->getPoller()) {
        return;
    }
    std::lock_guard<std::mutex> lock(mMtx);
    // A session that went without saying so may have left its address to a
    // new one: drop such entries before looking for this session.
    mClients.erase(std::remove_if(mClients.begin(), mClients.end(),
                                  [](const Client& client) { return client.session.expired(); }),
                   mClients.end());
    bool known = std::any_of(mClients.begin(), mClients.end(),
                             [session](const Client& client) { return client.key == session; });
    if (!known) {
        mClients.push_back(Client{session, std::static_pointer_cast<NotifySession>(session->shared_from_this()),
                                  session->getPoller()});
    }
}

void ConnService::removeClient(NotifySession* session) {
    std::lock_guard<std::mutex> lock(mMtx);
    // Entries whose session is gone without saying so go as well.
    mClients.erase(std::remove_if(mClients.begin(), mClients.end(),
                                  [session](const Client& client) {
                                      return client.key == session || client.session.expired();
                                  }),
                   mClients.end());
}

size_t ConnService::clientCount() const {
    std::lock_guard<std::mutex> lock(mMtx);
    return mClients.size();
}
