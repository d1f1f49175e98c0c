#pragma once
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "Network/Session.h"
#include "Network/TcpServer.h"
#include "Poller/EventPoller.h"
#include "ScpiInputBuffer.h"
#include "ScpiStrand.h"

class ScpiManage;

// The SCPI socket transport: a TCP server on port 5025 whose sessions hand
// the received program messages to the SCPI engine and write its replies back.
// A connected client puts the instrument in remote operation; the end of any
// connection returns it to local. Created once at start-up and kept until exit.
class ScpiService {
public:
    // Makes the server on the toolkit's first poller (nothing listens yet).
    ScpiService();
    virtual ~ScpiService();

    // Listens on TCP 5025, all addresses, backlog 1024. When the port cannot
    // be taken the reason is logged at error level and the service goes on
    // without the SCPI socket: the other remote transports and the UI still
    // work. Returns whether it listens.
    bool start();

    // One connection, owned by the toolkit's first poller, where the lists
    // that do not wait run (see ScpiManage). Its hooks run on
    // the poller that owns the connection (a session made on another poller
    // gets its replies handed back there).
    class ScpiSession : public toolkit::Session {
    public:
        // A trailing piece without line feed is parsed on its own once the
        // connection has been quiet this long.
        static constexpr uint64_t kTrailingWaitMs = 50;
        // Input is not read while the session's replies not yet written, or
        // its messages not yet executed, are above these: a client that never
        // reads must not make the service hold its answers (or the commands
        // that make them) without bound. Reading resumes as they drain.
        static constexpr uint64_t kMaxUnsent = 1024 * 1024;
        static constexpr uint64_t kMaxInFlight = 64 * 1024;
        // Lists handed to the engine and not ended, at most: no more than
        // its client may have queued there, so none of them is refused. The
        // messages of a receipt beyond wait here, and input is not read.
        static constexpr uint32_t kMaxListsInFlight = ScpiStrand::kMaxQueuedPerClient;

        explicit ScpiSession(const toolkit::Socket::Ptr& sock);
        ~ScpiSession() override;

        void onRecv(const toolkit::Buffer::Ptr& buf) override;
        void onError(const toolkit::SockException& err) override;
        void onManager() override;
        void attachServer(const toolkit::Server& server) override;

    private:
        // Hands the waiting messages to the engine while the bound of lists
        // in flight allows (`all`: whatever it says, as the client leaves).
        void handOver(bool all = false);
        // Parses one program message and hands its commands to the engine;
        // the reply comes back to this session's own poller.
        void parseMessage(const char* text, size_t size);
        // (Re)starts the quiet-time watch over the trailing piece.
        void watchTrailingPiece();
        // The watch fell due: the ms until it is due again, or 0 when done.
        uint64_t onTrailingWait();
        void stopTrailingWatch();
        // Back-pressure: a reply goes out, a list has ended, the socket has
        // written all it held; then input is read or not as the bound says.
        void sendReply(const std::string& reply);
        void onListDone(uint64_t messageSize);
        void onDrained();
        void updateFlow();
        void setUnsent(uint64_t bytes);
        // Whether the client has closed its side: seen even behind input
        // not read yet.
        bool peerClosed();

        ScpiManage& m_scpiManage;
        ScpiInputBuffer m_input;
        std::vector<std::string> m_messages;  // of the last receipt
        std::deque<std::string> m_backlog;    // received, not yet handed over
        bool m_handingOver = false;           // handOver is on the stack
        uint64_t m_u64LastRecvMs = 0;
        toolkit::EventPoller::DelayTask::Ptr m_trailingTask;
        uint64_t m_u64InFlight = 0;  // bytes of messages whose lists have not ended
        uint32_t m_u32ListsInFlight = 0;
        // Replies handed to the poller by another thread and not sent yet.
        std::shared_ptr<std::atomic<uint32_t>> m_repliesOnTheWay = std::make_shared<std::atomic<uint32_t>>(0);
        uint64_t m_u64Unsent = 0;    // reply bytes the socket may still hold
        bool m_bPaused = false;      // input is not read
        bool m_bBackedUp = false;    // was paused at least once
        // The client closed while input was paused: the rest is read, so
        // that its end is seen and its lists wait for nothing.
        bool m_bPeerClosed = false;
    };

private:
    toolkit::TcpServer::Ptr httpSrv;
};
