#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ListWait.h"
#include "Manager.h"
#include "ScpiExecute.h"
#include "ScpiParser.h"
#include "ScpiReaderTurn.h"
#include "ScpiStrand.h"
#include "ScpiTurn.h"
#include "proto_data.pb.h"

// One parsed program message unit: the message id of its row and its
// converted parameters, or what it reports when it is refused.
struct structScpiInfo {
    uint32_t funcID = 0;
    bool query = false;  // its row is a query: it always answers when it succeeds
    google::protobuf::Map<int, Value> params;
    // Refused (an unknown header, a parameter it does not take or cannot
    // convert): it changes nothing, so it is not executed; its refusals are
    // reported in its turn instead.
    bool refused = false;
    ScpiRefusals refusals;
    // False for a unit that names no command (an unknown header, parameters
    // not cut into elements): a message of such units only is rejected.
    bool named = true;
};

// The remote-control manager "scpi_manager": the SCPI command engine shared by
// the socket, USBTMC and VXI-11 transports, and the handlers of the IEEE 488.2
// common commands, status registers, error queue and command-set selection.
// Bound last, after the servers have started.
//
// Program messages are parsed on the transport's thread into a list of
// commands. A list runs on its client's worker, where it takes the message
// turn in line (see ScpiStrand, ScpiTurn); a socket's list, posted on the
// toolkit's first event poller, runs there at once instead when it cannot
// wait, its client has no lists on the worker and no one is in line, and
// goes on on the worker, with the turn, once it has run there about
// kInPlaceTime: the poller, which reads every socket, then reads on. Each
// client's lists run one at a time in the order sent, and a client's waits
// and backlog hold up no other client for longer than one of its messages.
// A message runs whole: no other client's command runs between two of its
// commands but while one of them waits, and a message that reads takes the
// acquisition's turn before its first command and keeps it to its end.
//
// What a list's waits see of their client is the list's own (ListWait): an
// ABORt (and a device clear) ends the measurement for everyone, and the lists
// of the client that sent it: its lists posted before are skipped when they
// come to run, its running list stops before its next command, its waits end
// and its reply is dropped; a list that was waiting ends without waiting for
// the message turn again. Other clients' lists go on: a waiter among them
// completes, since the operation it waits for has ended, and answers. An
// abort of no client (ApiScpi_Abort()) reaches every client's lists: it
// starts a new generation, and a list of an older one skips itself. An abort
// while nothing runs thus leaves nothing behind that could swallow a later
// message. A client that has left (ApiScpi_ClientGone) waits for nothing: the
// commands it sent still run, in order, each list taking the one seat in
// line that the clients that have left share (see ScpiTurn), and its
// queries do not run and its waits end at once.
class ScpiManage : public Manager {
public:
    // The message id of ABORt.
    static constexpr uint32_t kAbortFuncId = 0x10001C01;
    // How long a list runs in place on the first poller, about a socket
    // session's turn there; the rest runs on its client's worker.
    static constexpr std::chrono::microseconds kInPlaceTime{10 * 1000};

    // Receives a non-empty reply, on the first event poller's thread or a
    // client's worker.
    using ReplyFn = std::function<void(std::string reply)>;

    // What ApiScpi_ProcessMessage did with a program message.
    enum class MessageResult {
        Posted,    // the list is queued (or already ran, when posted from the first poller)
        Rejected,  // nothing parsed: its errors, then -100, reported in its turn; one beep
        Aborted,   // the message held ABORt: nothing of it executed
        Parsed,    // ApiScpi_ParseMessage only: the list is the caller's to post
    };

    // The one engine, created on first use and kept until exit.
    static ScpiManage& instance();

    // Links the parser to the converter and initialises the parser (interface
    // 1, power-on status, own command set); called once at start-up before the
    // manager is bound.
    void start();

    void getCallbacks(std::map<unsigned int, cb_func>& entries) override;

    // Parses one program message of `length` bytes (parsing stops at a NUL)
    // against the active set and appends one entry per accepted command to
    // `out`, refused ones included. The third and fourth arguments are not
    // used (pass 0). Result: 0, 54 when the text is empty or begins with a
    // NUL, 57 when a header is longer than 1024 bytes. Nothing is queued: a
    // refused unit's errors are reported when its list reaches it.
    int ApiScpi_WriteInputQueue(const char* text, uint32_t length, uint32_t u32, uint8_t u8,
                                std::vector<structScpiInfo>& out);

    // Executes the list through the hub and appends the reply text to `out`
    // (the answers joined by ";", ended by "\n"; nothing when no command
    // answered).
    // Runs on the first event poller or a client's worker. Result: the hub's result
    // of the last command executed; 0 when none ran or the list was aborted
    // (its reply is then dropped).
    int ApiScpi_WriteOutputQueue(std::vector<structScpiInfo> cmds, std::string& out);
    // The same for a list posted in abort generation `generation`: a list of
    // an older generation executes nothing.
    int ApiScpi_WriteOutputQueue(std::vector<structScpiInfo> cmds, std::string& out, uint64_t generation);

    // The transport contract in one call, for every transport: parses the
    // text; a result that names no command queues the refusals, then -100,
    // and beeps; a list holding ABORt reports its refusals and aborts;
    // otherwise the list is posted (see ApiScpi_PostExecute) and `deliver` gets
    // its reply when that is not empty. `client` names whose lists keep their
    // order (see ScpiStrand::Client); `readTimeout`, when given, is how long
    // that client waits for a reading (read as each wait begins), else the
    // engine's reading time-out holds.
    MessageResult ApiScpi_ProcessMessage(const char* text, uint32_t length, ReplyFn deliver,
                                         ScpiStrand::Client client = nullptr, ListWait::Timeout readTimeout = nullptr);

    // ApiScpi_ProcessMessage up to the posting, for a transport that posts
    // later or not at all: Aborted as there, else Parsed with the list in
    // `cmds`, or Rejected with `cmds` replaced by the list that reports what
    // the message refused (those of the units put first too), then -100.
    // The units parsed are appended: a refused unit the transport put there
    // first reports its error in the message's turn, ahead of the message's
    // own. The transport posts either list alike, counted and held back as
    // any, so that a message that runs nothing reports its errors after what
    // its client sent before it, never at once: an error queued outside any
    // turn could land inside another client's message, between its *CLS and
    // its SYST:ERR?.
    MessageResult ApiScpi_ParseMessage(const char* text, uint32_t length, ScpiStrand::Client client,
                                       std::vector<structScpiInfo>& cmds);
    // Reports `errors` in a turn of `client`'s, after the lists it posted
    // before: for what a transport refused without holding it back (a list
    // refused at a bound, an ABORt's refusals). Such reports queue apart
    // from the client's lists, so that none takes a list's place; beyond as
    // many reports as lists a further report is dropped: the error queue has
    // long overflowed by then.
    void ApiScpi_PostErrors(ScpiStrand::Client client, ScpiRefusals errors);
    // A list of refused units only that reports `errors` as it runs.
    static std::vector<structScpiInfo> ApiScpi_RefusalList(ScpiRefusals errors);
    // Whether anything of a list runs once its client has left: a command
    // that is not a query, or a refusal to report.
    static bool ApiScpi_RunsWhenGone(const std::vector<structScpiInfo>& cmds);
    // The pieces of ApiScpi_ProcessMessage, for transports that need them apart.
    static bool ApiScpi_HoldsAbort(const std::vector<structScpiInfo>& cmds);
    // Drops the queued execution tasks of the first poller and the workers,
    // starts a new abort generation and stops the list that runs; with a
    // client, only that client's lists. Either way the measurement ends.
    void ApiScpi_Abort(ScpiStrand::Client client = nullptr);
    uint64_t ApiScpi_AbortGeneration();
    // Whether `client` has lists queued or running off the first poller (a
    // transport's clear is done once they have ended).
    bool ApiScpi_ClientBusy(ScpiStrand::Client client) { return m_strand.busy(client); }
    // Posts the list in the current generation to its client's worker, where
    // it takes the message turn in line. Posted on the first poller (a
    // socket's), it runs there at once instead when `inPlace`, it cannot
    // wait, its client has no lists on the worker and no one is in line;
    // its rest goes to the worker, with the turn, past kInPlaceTime.
    // A list beyond what its client may have queued is not run: -363 is
    // reported in the client's turn. One of a client that has left beyond
    // what those that left may have queued is dropped, and so are its later
    // ones. False when the list was refused.
    bool ApiScpi_PostExecute(std::vector<structScpiInfo> cmds, ReplyFn deliver, ScpiStrand::Client client = nullptr,
                             ListWait::Timeout readTimeout = nullptr, bool inPlace = true);
    // The client has left (its session, link or host is gone): its lists
    // posted so far still execute their commands in order, each taking the
    // message turn in line as a connected client's do, but no query of
    // theirs runs, their waits end at once and no reply is delivered.
    void ApiScpi_ClientGone(ScpiStrand::Client client);
    // Runs `posts` on this thread, which posts lists of `client` after it has
    // left: they are as those it posted before (no query runs, no wait, no
    // reply) and join the queue of the clients that have left, held to its
    // bound rather than to the client's (see ScpiStrand).
    void ApiScpi_PostForGone(ScpiStrand::Client client, const std::function<void()>& posts);

    // The command-set selection, for the other managers.
    int ApiScpi_CmdTreeGet() { return mParser.ApiScpi_CmdTreeGet(); }

    // Test seam: runs on the list's thread after a list has ended and before
    // its reply is delivered (empty: nothing runs).
    void setDeliverySeam(std::function<void()> seam);
    // Test seam: reads of lists waiting for another client's read to end.
    size_t readersWaiting() { return m_readerTurn.waiting(); }
    // Test seam: workers that run lists (of connected clients, and the one
    // of those that have left).
    size_t clientsWithLists() { return m_strand.clients(); }
    // Test seam: messages waiting in line for the message turn.
    size_t turnWaiting() { return m_turn.waiting(); }
    // Test seam: lists the engine knows of, those queued, running or held.
    size_t ticketsKnown() {
        std::lock_guard<std::mutex> lock(m_abortMtx);
        return m_tickets.size();
    }
    // Test seam: how long a list runs in place before its rest goes to its
    // client's worker, looked at between its commands (kInPlaceTime).
    void setInPlaceTime(std::chrono::microseconds time) { m_inPlaceMicros = time.count(); }

private:
    ScpiManage();

    // Handlers of the common commands, status registers, error queue and
    // command-set selection.
    static int cbIeeeClsSet(unsigned int, const google::protobuf::Map<int, Value>&, google::protobuf::Map<int, Value>*);
    static int cbIeeeEseSet(unsigned int, const google::protobuf::Map<int, Value>&, google::protobuf::Map<int, Value>*);
    static int cbIeeeEseGet(unsigned int, const google::protobuf::Map<int, Value>&, google::protobuf::Map<int, Value>*);
    static int cbIeeeEsrGet(unsigned int, const google::protobuf::Map<int, Value>&, google::protobuf::Map<int, Value>*);
    static int cbIeeeIdnGet(unsigned int, const google::protobuf::Map<int, Value>&, google::protobuf::Map<int, Value>*);
    static int cbIeeeOpcSet(unsigned int, const google::protobuf::Map<int, Value>&, google::protobuf::Map<int, Value>*);
    static int cbIeeeOpcGet(unsigned int, const google::protobuf::Map<int, Value>&, google::protobuf::Map<int, Value>*);
    static int cbIeeePscSet(unsigned int, const google::protobuf::Map<int, Value>&, google::protobuf::Map<int, Value>*);
    static int cbIeeePscGet(unsigned int, const google::protobuf::Map<int, Value>&, google::protobuf::Map<int, Value>*);
    static int cbIeeeRstSet(unsigned int, const google::protobuf::Map<int, Value>&, google::protobuf::Map<int, Value>*);
    static int cbIeeeSreSet(unsigned int, const google::protobuf::Map<int, Value>&, google::protobuf::Map<int, Value>*);
    static int cbIeeeSreGet(unsigned int, const google::protobuf::Map<int, Value>&, google::protobuf::Map<int, Value>*);
    static int cbIeeeStbGet(unsigned int, const google::protobuf::Map<int, Value>&, google::protobuf::Map<int, Value>*);
    static int cbIeeeTrgSet(unsigned int, const google::protobuf::Map<int, Value>&, google::protobuf::Map<int, Value>*);
    static int cbIeeeTstGet(unsigned int, const google::protobuf::Map<int, Value>&, google::protobuf::Map<int, Value>*);
    static int cbIeeeWaiSet(unsigned int, const google::protobuf::Map<int, Value>&, google::protobuf::Map<int, Value>*);
    static int cbStatOperCondGet(unsigned int, const google::protobuf::Map<int, Value>&,
                                 google::protobuf::Map<int, Value>*);
    static int cbStatOperEnableSet(unsigned int, const google::protobuf::Map<int, Value>&,
                                   google::protobuf::Map<int, Value>*);
    static int cbStatOperEnableGet(unsigned int, const google::protobuf::Map<int, Value>&,
                                   google::protobuf::Map<int, Value>*);
    static int cbStatOperEventGet(unsigned int, const google::protobuf::Map<int, Value>&,
                                  google::protobuf::Map<int, Value>*);
    static int cbStatPresetSet(unsigned int, const google::protobuf::Map<int, Value>&,
                               google::protobuf::Map<int, Value>*);
    static int cbStatQuesCondGet(unsigned int, const google::protobuf::Map<int, Value>&,
                                 google::protobuf::Map<int, Value>*);
    static int cbStatQuesEnableSet(unsigned int, const google::protobuf::Map<int, Value>&,
                                   google::protobuf::Map<int, Value>*);
    static int cbStatQuesEnableGet(unsigned int, const google::protobuf::Map<int, Value>&,
                                   google::protobuf::Map<int, Value>*);
    static int cbStatQuesEventGet(unsigned int, const google::protobuf::Map<int, Value>&,
                                  google::protobuf::Map<int, Value>*);
    static int cbSystemScpiErrorGet(unsigned int, const google::protobuf::Map<int, Value>&,
                                    google::protobuf::Map<int, Value>*);
    static int cbSystemScpiVersionGet(unsigned int, const google::protobuf::Map<int, Value>&,
                                      google::protobuf::Map<int, Value>*);
    int cbScpiCommandSet(unsigned int, const google::protobuf::Map<int, Value>&, google::protobuf::Map<int, Value>*);
    int cbScpiCommandGet(unsigned int, const google::protobuf::Map<int, Value>&, google::protobuf::Map<int, Value>*);

    // A posted list: its client, the generation it was posted in, whether an
    // abort of its client came after; as ListWait, what the waits of its
    // handlers consult, cancelled by such an abort or as its client leaves.
    // As ListWait::Turn, what the list lends while one of its commands waits.
    // Known to the engine from its posting until it is destroyed.
    struct ListTicket : ListWait, ListWait::Turn {
        ListTicket(Timeout readTimeout, ScpiManage& owner, ScpiStrand::Client client)
            : ListWait(std::move(readTimeout), client), turn(owner.m_turn), client(client), owner(owner) {}
        ~ListTicket();
        ListTicket(const ListTicket&) = delete;
        ListTicket& operator=(const ListTicket&) = delete;
        void lend() override { turn.give(); }
        bool takeBack() override { return take(); }
        // Takes the turn in line, or the seat of the clients that have left.
        bool take() {
            return turn.take(client, [this] { return ended(); }, cancelled());
        }
        // Whether the list has nothing left that needs the turn: it was
        // stopped, or its client has left and no command it would still run
        // is left (its queries do not run), or it hands itself back.
        bool ended() const { return stopped() || (cancelled() && (next >= runsUpTo || handsBack())); }
        // A list of a client that has left, on that client's own worker,
        // with a command still to run: whether it has not begun or was
        // waiting as its client left, what is left of it goes to the worker
        // of those that have left rather than wait in line for the turn on
        // a thread of its own.
        bool handsBack() const { return mayHandBack && runsUpTo > 0 && cancelled() && !stopped(); }
        bool mayHandBack = false;  // its thread only, as is the one below
        bool handedBack = false;   // it refused the turn: its rest, from resumeAt, goes over
        ScpiTurn& turn;
        bool runningJob = false;  // lends for a file job, not a wait (its thread only)
        // Its client's time-out passed before its turn as the reader came:
        // its reads do not run (its thread only).
        bool readerLate = false;
        // The command after the one running, and the end of the commands a
        // list of a gone client still runs (its thread only).
        size_t next = 0;
        size_t runsUpTo = 0;
        const ScpiStrand::Client client;
        uint64_t generation = 0;
        bool aborted = false;  // under m_abortMtx
        ScpiManage& owner;
        std::list<ListTicket*>::iterator known;  // in m_tickets, under m_abortMtx
        // Run in place on the first poller since: past inPlaceTime() the rest
        // of the list goes on on its client's worker (none: it runs to its
        // end where it is). Its thread only, as what follows.
        std::optional<std::chrono::steady_clock::time_point> inPlaceSince;
        bool handedOff = false;  // the rest, and the turn, go to the worker
        size_t resumeAt = 0;     // the first command of the rest
        // The reply so far, which goes with the rest, and its response
        // units: ";" goes between two, never after the last.
        std::string text;
        size_t answers = 0;
    };
    // Holds the message turn while a list's commands run; a list that ended
    // while it waited for the turn holds none and runs nothing. The rest of
    // a list handed over claims the turn its first part held.
    class TurnHold {
    public:
        explicit TurnHold(ListTicket& ticket);
        ~TurnHold();
        TurnHold(const TurnHold&) = delete;
        TurnHold& operator=(const TurnHold&) = delete;

    private:
        ListTicket& m_ticket;
    };
    using Ticket = std::shared_ptr<ListTicket>;
    // A ticket of the current generation, known to the client aborts while
    // its list may still run.
    Ticket postTicket(ScpiStrand::Client client, ListWait::Timeout readTimeout = nullptr);
    // Runs a list, or up to where it is handed over (see handOver); leaves
    // `cmds` to run again when the list hands itself back.
    int writeOutput(std::vector<structScpiInfo>& cmds, std::string& out, const Ticket& ticket);
    // The commands of a list from ticket.resumeAt on, under the message turn.
    int runCommands(std::vector<structScpiInfo>& cmds, ListTicket& ticket);
    using List = std::shared_ptr<std::vector<structScpiInfo>>;
    // Runs a posted list, or what is left of it, and delivers its reply.
    void runList(const List& list, const ReplyFn& deliver, const Ticket& ticket);
    // A list that ran long on the first poller goes on on its client's
    // worker with the message turn, so that the poller reads its clients
    // again (an ABORt of the list's own client among them).
    void handOver(const List& list, const ReplyFn& deliver, const Ticket& ticket);
    // Begins a list: false when an abort came after it was posted. endList
    // tells whether its reply is to be dropped (aborted, or its client gone).
    bool beginList(ListTicket& ticket);
    bool endList(ListTicket& ticket);
    bool abortedSince(const ListTicket& ticket);
    // Cancels the waits of `client`'s lists (every client's with null); with
    // `abort` the lists also stop before their next command.
    void cancelTicketsLocked(ScpiStrand::Client client, bool abort);
    // Posts a task that runs a list under `ticket` (see ApiScpi_PostExecute);
    // `queue` sends it to the worker even on the first poller. False when
    // the task was dropped at the bound of its `kind`.
    using ListRun = std::function<void(const Ticket&)>;
    // The task that runs a list under `ticket`, and hands it back when its
    // client has left while it waited on that client's own worker.
    ScpiStrand::Task taskOf(const ListRun& run, const Ticket& ticket);
    bool postRun(const ListRun& run, ScpiStrand::Client client, ListWait::Timeout readTimeout, bool queue,
                 ScpiStrand::Kind kind);
    // Queues the task on its client's worker or runs it here (only with the
    // message turn); false as postRun.
    bool runOrQueue(ScpiStrand::Task task, bool queue, ScpiStrand::Client client, ScpiStrand::Kind kind);
    bool abortedLocked(const ListTicket& ticket) const;

    // A list holding a command whose handler may wait (for readings, a
    // trigger, a raw calibration value, a file operation or a screen copy).
    static bool mayWait(const std::vector<structScpiInfo>& cmds);
    // A command that lends the message turn for the whole of its run: a file
    // operation or the screen copy. The others that wait lend it only while
    // they wait (ListWait::Waiting).
    static bool lendsWhileRunning(uint32_t funcId);
    static bool readsAny(const std::vector<structScpiInfo>& cmds);
    // How a list holds *OPC? or *WAI: not at all, first (it waits while an
    // operation is pending as it is handed over), or after other commands,
    // which may leave one pending (it always may wait).
    enum class OperationWait { None, First, AfterOthers };
    static OperationWait waitsForOperation(const std::vector<structScpiInfo>& cmds);
    // Whether a list goes to its client's worker, decided as it is handed over.
    static bool waitsNow(bool mayWait, OperationWait operation);
    // *OPC? and *WAI: waits for the armed acquisition to end; 0 or 118.
    static int waitOperation();

    ScpiParser mParser;
    ScpiExecute mExecute;
    // Before the strand: its workers use it until the strand has ended.
    ScpiTurn m_turn;
    ScpiStrand m_strand;
    ScpiReaderTurn m_readerTurn;

    // Makes "read the generation and queue the list" and "start a generation
    // and clear the queue" exclusive. Taken before m_abortMtx and the poller's
    // task lock; no list runs while it is held.
    std::mutex m_postMtx;
    // The abort generation and the tickets' flags.
    std::mutex m_abortMtx;
    uint64_t m_abortGeneration = 0;
    // The tickets of the lists that may still run: each leaves as it is
    // destroyed, so the table holds the lists in flight and nothing of a
    // burst of them outlives it. While m_abortMtx is held no ticket in it
    // has been destroyed (its destructor waits for the lock).
    std::list<ListTicket*> m_tickets;
    std::function<void()> m_deliverySeam;  // under m_abortMtx
    std::atomic<bool> m_hasDeliverySeam{false};
    std::atomic<int64_t> m_inPlaceMicros{kInPlaceTime.count()};
    std::chrono::microseconds inPlaceTime() const { return std::chrono::microseconds(m_inPlaceMicros.load()); }
};
