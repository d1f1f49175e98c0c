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
#include "ScpiBacklog.h"
#include "ScpiInputBuffer.h"
#include "ScpiManage.h"
#include "ScpiStrand.h"

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
        // client has been quiet this long. Only time in which the session
        // reads counts: while the service itself does not read (a turn, a
        // full queue, replies waiting, a poller busy elsewhere) the rest of
        // the line may already wait unread, and running the piece would run
        // a command cut short ("CONF:VOLT:DC 1" of "CONF:VOLT:DC 1000").
        static constexpr uint64_t kTrailingWaitMs = 50;
        // Input is not read while the session's replies not yet written are
        // above this: a client that never reads must not make the service
        // hold its answers without bound. Reading resumes as they drain.
        static constexpr uint64_t kMaxUnsent = 1024 * 1024;
        // Lists handed to the engine and not ended, at most, by what they
        // cost (costOf) and by count (no more than its client may have
        // queued there, so none of them is refused). Messages beyond wait
        // here, parsed, while input is still read, so that an ABORt behind
        // them acts as it arrives. Past kMaxHeld of them, or past its share
        // once the service-wide budget is spent (ScpiReplyBudget), the
        // session takes and reads no more until they have room: the client's
        // sends wait, and nothing it sends is refused for its volume.
        static constexpr uint64_t kMaxInFlight = 256 * 1024;
        static constexpr uint32_t kMaxListsInFlight = ScpiStrand::kMaxQueuedPerClient;
        static constexpr uint64_t kMaxHeld = 256 * 1024;
        // What a parsed message costs in memory while it is held or in
        // flight: its text, and per list and per command what parsing and
        // the engine's task add, which for short messages is many times the
        // text (about 70-110 bytes per byte received of "*CLS").
        static constexpr uint64_t kListCost = 384;
        static constexpr uint64_t kCommandCost = 128;
        static uint64_t costOf(const std::vector<structScpiInfo>& cmds, uint64_t bytes) {
            return bytes + kListCost + kCommandCost * cmds.size();
        }
        // As the connection fails, what the client sent and the kernel still
        // holds is taken up to this, about what a session holds while
        // connected; the rest is dropped.
        static constexpr size_t kMaxTakenAtEnd = 64 * 1024;
        // One turn of the poller takes at most this many messages, or reads
        // once past this many bytes, or runs lists in place for about this
        // long; then the session waits for its next turn, behind every other
        // client that is ready. However fast a client sends, its rate costs
        // that client alone, and however slow its commands, another client
        // waits for one of them at a time.
        static constexpr uint32_t kMessagesPerTurn = 32;
        static constexpr uint64_t kBytesPerTurn = 64 * 1024;
        static constexpr uint64_t kMicrosPerTurn = 10 * 1000;

        explicit ScpiSession(const toolkit::Socket::Ptr& sock);
        ~ScpiSession() override;

        void onRecv(const toolkit::Buffer::Ptr& buf) override;
        void onError(const toolkit::SockException& err) override;
        void onManager() override;
        void attachServer(const toolkit::Server& server) override;

    private:
        // A parsed message waiting for room among the lists in flight.
        struct HeldList {
            std::vector<structScpiInfo> cmds;
            uint64_t cost;
        };

        // Takes the waiting messages, oldest first, while this turn lasts.
        void serve();
        // The -363 of input dropped as too long, in its place in order.
        void takeOverrun();
        // Parses one program message; it aborts, is handed to the engine
        // or waits here, as does the list that reports its errors when it
        // does not parse.
        void takeMessage(const std::string& text);
        // Hands a list costing `bytes` of text to the engine, or holds it
        // behind those that wait for room.
        void holdOrPost(std::vector<structScpiInfo> cmds, size_t bytes);
        // Hands a parsed list to the engine; the reply comes back to this
        // session's own poller.
        void post(std::vector<structScpiInfo> cmds, uint64_t cost);
        bool roomInFlight() const;
        // Whether the next message may be taken now: handed to the engine or
        // held. The first message that may not waits unparsed, and input
        // with it (waitsForRoom).
        bool canTake() const;
        // Counts what its lists cost in the service-wide budget.
        void recountHeld();
        bool waitsForRoom() const;
        bool turnSpent() const;
        // The turn is spent: the rest waits for a task queued behind
        // everything the poller has to do now.
        void scheduleTurn();
        void nextTurn();
        // (Re)starts the quiet-time watch over the trailing piece: on each
        // receipt, and as reading resumes after a pause of the service's own.
        void watchTrailingPiece();
        // The watch fell due: the ms until it is due again, or 0 when done.
        uint64_t onTrailingWait();
        void stopTrailingWatch();
        // A piece without line feed as the connection ends was cut short: it
        // never runs.
        void dropCutShortPiece();
        // The connection has ended: what the client sent still runs, taken
        // as while it was connected, and none of it waits any more (called
        // once serve is off the stack). The session outlives its connection
        // until it has handed all of it to the engine (m_self).
        void leave();
        void finishLeavingIfDone();
        // The client has shut down its sending side: what it sent is served
        // and answered, then the connection ends.
        void onInputEnd();
        void finishIfDone();
        // Back-pressure: a reply goes out, a list has ended, the socket has
        // written all it held; then input is read or not as the bounds say.
        void sendReply(const std::string& reply);
        void onListDone(uint64_t cost);
        void onDrained();
        void updateFlow();
        void setUnsent(uint64_t bytes);

        ScpiManage& m_scpiManage;
        ScpiInputBuffer m_input;
        std::vector<std::string> m_messages;  // of the last receipt
        ScpiBacklog m_backlog;                // received, not yet taken
        std::deque<HeldList> m_held;          // taken, waiting for room in flight
        uint64_t m_u64Held = 0;               // what they cost
        bool m_serving = false;               // serve is on the stack
        uint32_t m_u32TurnMessages = 0;
        uint64_t m_u64TurnBytes = 0;
        uint64_t m_u64TurnMicros = 0;  // run in place this turn
        // A turn ended by its time: the next list goes to the client's
        // worker, where the lists behind it queue and take the message turn
        // in line, while the session reads on (an ABORt behind them acts
        // as it arrives).
        bool m_bNextOffPoller = false;
        bool m_bTurnDue = false;  // the next turn is queued
        uint64_t m_u64QuietSinceMs = 0;  // last receipt, or end of the last pause
        toolkit::EventPoller::DelayTask::Ptr m_trailingTask;
        uint64_t m_u64InFlight = 0;  // what the lists that have not ended cost
        uint64_t m_u64Counted = 0;   // backlog, held and in flight, as counted in the budget
        uint32_t m_u32ListsInFlight = 0;
        // Replies handed to the poller by another thread and not sent yet.
        std::shared_ptr<std::atomic<uint32_t>> m_repliesOnTheWay = std::make_shared<std::atomic<uint32_t>>(0);
        uint64_t m_u64Unsent = 0;     // reply bytes the socket may still hold
        bool m_bPaused = false;       // input is not read (by the service's choice)
        bool m_bOutputWaits = false;  // ... because the client does not read its replies
        bool m_bBackedUp = false;     // output or messages waited at least once
        bool m_bTrimDue = false;      // messages waited since the last time none did
        bool m_bInputEnded = false;  // the client shut down its sending side
        bool m_bGone = false;        // the connection has ended
        bool m_bLeaveDue = false;    // ... while serve was on the stack
        std::shared_ptr<ScpiSession> m_self;  // while a gone client's lists are still to run
    };

private:
    toolkit::TcpServer::Ptr httpSrv;
};
