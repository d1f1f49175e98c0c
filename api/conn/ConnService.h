#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FrameBacklog.h"
#include "Network/Buffer.h"
#include "Network/Session.h"
#include "Network/TcpServer.h"
#include "Poller/EventPoller.h"
#include "RequestFramer.h"

class DataPack;

// The link to the instrument's own user-interface app.
//
// Port 9999: the app writes one serialised DataPack per chunk (no prefix); the
// request goes to CFEM::handleMessage with source 0 on the session's poller
// thread and is answered with a DataPack of the same code, the reply map and
// the result as stat. Port 9998: the app only listens; every notification the
// managers push reaches every attached client. Replies and notifications are
// framed by their length as a 4-byte little-endian integer.
class ConnService {
public:
    class ProtoSession;
    class NotifySession;

    // A frame buffer holds 6 MiB including the length prefix: the largest
    // DataPack the link carries.
    static constexpr size_t kFrameBufferSize = 0x600000;
    static constexpr size_t kMaxFrameBody = kFrameBufferSize - 4;
    static constexpr uint16_t kRequestPort = 9999;
    static constexpr uint16_t kNotifyPort = 9998;
    // Connections per port at once: the app holds one or two of each; the
    // rest is room for tools on the board, never for every descriptor.
    static constexpr size_t kMaxClientsPerPort = 32;
    // The UI app runs on the same board: the link is not offered to the network.
    static constexpr const char* kListenHost = "127.0.0.1";

    // The one instance, created on first use (which also routes the hub's
    // notifications here) and kept until exit.
    static ConnService* instance();
    virtual ~ConnService();

    // Listens for requests on 9999 and notification clients on 9998, on the
    // loopback address. Throws std::runtime_error when a port cannot be opened.
    void start();
    // The same on chosen ports (0: any free one, see requestPort/notifyPort).
    // A second call does nothing.
    void start(uint16_t requestPort, uint16_t notifyPort);
    uint16_t requestPort() const;
    uint16_t notifyPort() const;

    // Serialises one notification into its frame and queues that frame to
    // every attached client, each on its own poller thread. Callable from any
    // thread; a notification larger than kMaxFrameBody is refused with an
    // error log.
    void pushMessage(const DataPack& pack);

    // Serialises one reply into its frame and sends it to `session`. False
    // (with an error log) when it is larger than kMaxFrameBody or cannot be
    // sent.
    static bool repSendPack(toolkit::Session* session, const DataPack& reply);

    // Attaches a notification session (once, however often it is called) and
    // detaches it. Callable from any thread.
    void addClient(NotifySession* session);
    void removeClient(NotifySession* session);
    size_t clientCount() const;

private:
    // An attached notification session. The server owns the session; the
    // link only refers to it, and its poller is kept so that the session is
    // only ever looked at (and released) on its own thread.
    struct Client {
        const NotifySession* key;
        std::weak_ptr<NotifySession> session;
        toolkit::EventPoller::Ptr poller;
    };

    ConnService();

    // The length prefix with `pack` serialised straight behind it, in one new
    // buffer; null (and an error log naming `what`) when it is too large.
    static toolkit::Buffer::Ptr makeFrame(const DataPack& pack, const char* what);

    mutable std::mutex mMtx;  // guards mClients and mStarted
    std::vector<Client> mClients;
    bool mStarted = false;
    std::shared_ptr<toolkit::TcpServer> requestSrv;
    std::shared_ptr<toolkit::TcpServer> notifySrv;
};

// A request connection (port 9999). Requests carry no length prefix: the
// received bytes are gathered until they parse as requests (RequestFramer),
// and each is answered in order. A request cut inside a field waits for its
// rest; one that ends after a whole field is taken as complete once no more
// bytes are waiting and it came in one read or is small, else after a short
// quiet time. Bytes that no request can hold, a cut request whose rest does
// not come, and a request larger than the largest frame are answered with an
// error, never dropped.
//
// Replies not yet written count in the service-wide ScpiReplyBudget. A
// client that sends requests without reading their replies is dropped once
// a reply would leave more than FrameBacklog::kMaxBytes waiting for it
// (ScpiReplyBudget::kFreeShare while the budget is spent; its first reply
// waiting always goes): it is too far behind to be served.
class ConnService::ProtoSession : public toolkit::Session, private RequestFramer::Sink {
public:
    // How long the rest of a cut request, or of one being skipped, may keep
    // the connection silent.
    static constexpr uint64_t kQuietMs = 200;
    // How long a request that ends after a whole field, gathered from several
    // reads, waits for more fields: a writer that sends it in pieces may pause
    // between two of them exactly at a field's end.
    static constexpr uint64_t kSettleMs = 5;
    // A request below this is taken as written at once: writers that send in
    // pieces buffer at least this much.
    static constexpr size_t kSmallRequest = 4096;
    static constexpr size_t kMaxRequest = kMaxFrameBody;

    explicit ProtoSession(const toolkit::Socket::Ptr& sock);
    ~ProtoSession() override;

    void onRecv(const toolkit::Buffer::Ptr& buf) override;
    void onError(const toolkit::SockException& err) override;
    void onManager() override;
    void attachServer(const toolkit::Server& server) override;

private:
    // RequestFramer::Sink: answers a request, or one above kMaxRequest with -223.
    void onRequest(const char* data, size_t size) override;
    void onOversized(int32_t code) override;
    // Whether the request held may be taken as complete now.
    bool tailComplete();
    // Answers bytes that are no DataPack without running any handler.
    int rejectUndecodable(const DataPack& partial, size_t size);
    void sendReply(DataPack& reply);
    // Whether a reply of `size` bytes may queue for the client now.
    bool admits(size_t size) const;
    // Ends the connection of a client too far behind.
    void drop();
    // Whether received bytes are waiting to be read (a further read follows).
    bool moreWaiting();
    // The quiet-time watch over held bytes and skipping.
    void watchQuiet();
    uint64_t onQuiet();
    void stopQuiet();

    ConnService& m_pConn;
    RequestFramer m_framer{kMaxRequest};
    uint64_t m_u64LastRecvMs = 0;
    toolkit::EventPoller::DelayTask::Ptr m_quietTask;
    FrameBacklog m_backlog{true};
    bool m_bDropped = false;   // too far behind: no further request is run
    bool m_bBackedUp = false;  // held a large backlog once: its memory is handed back at the end
};

// A notification connection (port 9998): attached while it lives; what the
// app writes on it is ignored. A client that stops reading is dropped once
// what waits for it reaches the bounds of FrameBacklog, so that it cannot make
// the service hold notifications without end.
class ConnService::NotifySession : public toolkit::Session {
public:
    explicit NotifySession(const toolkit::Socket::Ptr& sock);
    ~NotifySession() override;

    // Queues one notification frame, or drops the client when it is too far
    // behind. On the session's poller thread.
    void deliver(const toolkit::Buffer::Ptr& frame);

    void onRecv(const toolkit::Buffer::Ptr& buf) override;
    void onError(const toolkit::SockException& err) override;
    void onManager() override;
    void attachServer(const toolkit::Server& server) override;

private:
    void onFrameDone(size_t size);

    ConnService& m_pConn;
    FrameBacklog m_backlog;
    bool m_bBackedUp = false;  // held a large queue once: its memory is handed back at the end
};
