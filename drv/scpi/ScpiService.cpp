#include "ScpiService.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>

#include "DrvScpiErrDef.h"
#include <utility>
#include "Poller/EventPollerPool.h"
#include "ScpiManage.h"
#include "ScpiReplyBudget.h"
#include "Singelton.h"
#include "SystemSetup.h"
#include "Util/MemoryTrim.h"
#include "Util/logger.h"
#include "Util/util.h"

namespace {

constexpr uint16_t kScpiPort = 5025;
constexpr uint32_t kBacklog = 1024;
// Room for a lab full of clients; the toolkit lowers it further when the
// descriptor limit is small, so that files can always be opened. One address
// holds all but an eighth of it (224, or 112 at a limit of 1024): a test rack
// drives a hundred clients from one computer, and another computer still
// gets in while one holds its share.
constexpr size_t kMaxClients = 256;

// Longest stretch of a message that goes into the log: a client's megabyte
// message must not become a megabyte log record.
constexpr int kMaxLoggedText = 512;

void setLocalState(bool local) {
    if (SystemSetup* setup = Copperwren::Singleton<SystemSetup>::Instance()) {
        setup->API_SetLocalState(local);
    }
}

// Every SCPI list runs on the first poller anyway: a connection placed there
// is read, parsed, executed and answered on that one thread, with no hand-off
// to it and back for each message. Hand-offs cost more than they spread: each
// wakes a thread on another CPU, and under a hundred clients they doubled the
// CPU spent per query, while the one thread kept up with the receipts. The
// clones of the listener are made by this class too.
class FirstPollerServer : public toolkit::TcpServer {
public:
    explicit FirstPollerServer(const toolkit::EventPoller::Ptr& poller) : toolkit::TcpServer(poller) {}

protected:
    Ptr onCreatServer(const toolkit::EventPoller::Ptr& poller) override {
        return std::make_shared<FirstPollerServer>(poller);
    }
    toolkit::Socket::Ptr onBeforeAcceptConnection(const toolkit::EventPoller::Ptr& /*poller*/) override {
        return toolkit::Socket::createSocket(toolkit::EventPollerPool::Instance().getFirstPoller(), false);
    }
};

} // namespace

ScpiService::ScpiService()
    : httpSrv(std::make_shared<FirstPollerServer>(toolkit::EventPollerPool::Instance().getFirstPoller())) {}

ScpiService::~ScpiService() = default;

bool ScpiService::start() {
    try {
        httpSrv->setMaxConnections(kMaxClients, true);
        httpSrv->start<ScpiSession>(kScpiPort, "::", kBacklog);
        return true;
    } catch (const std::exception& ex) {
        PrintE("%s; SCPI over the socket is not available", ex.what());
        return false;
    }
}

ScpiService::ScpiSession::ScpiSession(const toolkit::Socket::Ptr& sock)
    : toolkit::Session(sock), m_scpiManage(ScpiManage::instance()) {}

ScpiService::ScpiSession::~ScpiSession() {
    PrintD("%s", "");
    setUnsent(0);
    ScpiReplyBudget::instance().recount(m_u64Counted, 0);
    if (m_bBackedUp) {
        // A client that stopped reading left up to the bound of replies and
        // log records behind, freed by now but kept by the allocator: hand
        // them back once this session's socket is gone too.
        toolkit::trimFreedMemory();
    }
}

void ScpiService::ScpiSession::attachServer(const toolkit::Server& /*server*/) {
    std::printf("attachServer\n");
    setLocalState(false);
    std::weak_ptr<toolkit::Session> weak_self = weak_from_this();
    getSock()->setOnFlush([weak_self]() {
        if (auto self = std::static_pointer_cast<ScpiSession>(weak_self.lock())) {
            self->onDrained();
        }
        return true;
    });
    // What a client sent before it left runs, even the part still in the
    // kernel as its connection fails, up to about what a session holds.
    getSock()->setReadToTheEnd(kMaxTakenAtEnd);
    // A client that shuts down its sending side still reads: it is answered.
    getSock()->setOnEof([weak_self]() {
        if (auto self = std::static_pointer_cast<ScpiSession>(weak_self.lock())) {
            self->onInputEnd();
        }
    });
}

void ScpiService::ScpiSession::onRecv(const toolkit::Buffer::Ptr& buf) {
    m_u64TurnBytes += buf->size();
    const bool overrun = !m_input.append(buf->data(), buf->size(), m_messages);
    // One list and one response per program message, in arrival order.
    for (const std::string& message : m_messages) {
        m_backlog.push(message);
    }
    if (overrun) {
        // Reported behind what came before it, as a message is.
        PrintW("SCPI input above %zu bytes without a line feed dropped", ScpiInputBuffer::kMaxPending);
        m_backlog.pushOverrun();
    }
    // A receipt of short messages leaves no string table behind.
    std::vector<std::string>().swap(m_messages);
    if (!m_input.hasPending()) {
        stopTrailingWatch();
    } else if (!m_bPaused) {
        watchTrailingPiece();  // a paused session starts it as it resumes
    }
    serve();
}

void ScpiService::ScpiSession::serve() {
    // A list that ends at once ends inside takeMessage and calls here
    // again: the loop below goes on instead, with no recursion per message.
    if (m_serving) {
        return;
    }
    m_serving = true;
    while (!m_bLeaveDue && !turnSpent()) {
        if (!m_held.empty() && roomInFlight()) {
            HeldList held = std::move(m_held.front());
            m_held.pop_front();
            m_u64Held -= held.cost;
            post(std::move(held.cmds), held.cost);
        } else if (!m_backlog.empty() && canTake()) {
            if (m_backlog.frontIsOverrun()) {
                m_backlog.pop();
                takeOverrun();
            } else {
                takeMessage(m_backlog.pop());
            }
        } else {
            break;
        }
        ++m_u32TurnMessages;
    }
    m_serving = false;
    recountHeld();
    if (m_bLeaveDue) {
        m_bLeaveDue = false;
        leave();
        return;
    }
    if (turnSpent() || m_u64TurnBytes >= kBytesPerTurn) {
        scheduleTurn();
    }
    updateFlow();
}

bool ScpiService::ScpiSession::turnSpent() const {
    return m_u32TurnMessages >= kMessagesPerTurn || m_u64TurnMicros >= kMicrosPerTurn;
}

void ScpiService::ScpiSession::takeOverrun() {
    std::vector<structScpiInfo> cmds = ScpiManage::ApiScpi_RefusalList({ScpiRefusal{0, E363_INPUT_BUFFER_OCVERRUN}});
    holdOrPost(std::move(cmds), 0);
}

void ScpiService::ScpiSession::takeMessage(const std::string& text) {
    int len = static_cast<int>(text.size());
    PrintI("SCPI cmd = %.*s,  cmd len = %d\n", std::min(len, kMaxLoggedText), text.data(), len);
    std::vector<structScpiInfo> cmds;
    ScpiManage::MessageResult parsed = ScpiManage::MessageResult::Rejected;
    auto parse = [&] { parsed = m_scpiManage.ApiScpi_ParseMessage(text.data(), static_cast<uint32_t>(len), this, cmds); };
    if (m_bGone) {
        m_scpiManage.ApiScpi_PostForGone(this, parse);
    } else {
        parse();
    }
    switch (parsed) {
        case ScpiManage::MessageResult::Parsed:
        case ScpiManage::MessageResult::Rejected:  // its errors, held back as a list is
            break;
        case ScpiManage::MessageResult::Aborted:
            // It acts as it arrives, on everything its client sent before
            // it: the lists waiting here go with those queued in the engine.
            m_held.clear();
            m_u64Held = 0;
            recountHeld();
            std::printf("SCPI_CMD_ABORT end\n");
            return;
        default:
            return;
    }
    if (m_bGone && !ScpiManage::ApiScpi_RunsWhenGone(cmds)) {
        return;  // queries only: no one is there to answer
    }
    holdOrPost(std::move(cmds), text.size());
}

void ScpiService::ScpiSession::holdOrPost(std::vector<structScpiInfo> cmds, size_t bytes) {
    const uint64_t cost = costOf(cmds, bytes);
    if (m_held.empty() && roomInFlight()) {
        post(std::move(cmds), cost);
        return;
    }
    m_u64Held += cost;
    m_held.push_back(HeldList{std::move(cmds), cost});
    m_bBackedUp = true;
    m_bTrimDue = true;
    recountHeld();
}

bool ScpiService::ScpiSession::roomInFlight() const {
    return m_u32ListsInFlight < kMaxListsInFlight && m_u64InFlight <= kMaxInFlight;
}

bool ScpiService::ScpiSession::canTake() const {
    // One message waits whatever its size; more only within the bound,
    // which falls to a small share while the service-wide budget is spent.
    return m_held.empty() || m_u64Held < ScpiReplyBudget::instance().share(kMaxHeld);
}

bool ScpiService::ScpiSession::waitsForRoom() const {
    return !m_backlog.empty() && !canTake();
}

void ScpiService::ScpiSession::recountHeld() {
    // A session whose client has left holds no share of the budget: no
    // connected client's answer is refused for it. What it holds is bounded
    // by what those that left may have queued (see ScpiStrand).
    ScpiReplyBudget::instance().recount(m_u64Counted, m_bGone ? 0 : m_u64Held + m_u64InFlight + m_backlog.cost());
    if (m_u64Counted == 0 && m_bTrimDue) {
        // The lists of a burst are freed but kept by the allocator.
        m_bTrimDue = false;
        toolkit::trimFreedMemory();
    }
}

void ScpiService::ScpiSession::post(std::vector<structScpiInfo> cmds, uint64_t cost) {
    // The reply is made on the first poller, where a session living there
    // sends it at once, or on the thread of lists that wait, which hands the
    // send to the session's poller.
    // Only a weak reference travels: a client that has left by then gets
    // nothing.
    toolkit::EventPoller::Ptr poller = getPoller();
    std::weak_ptr<toolkit::Session> weak_self = weak_from_this();
    auto session = [weak_self]() { return std::static_pointer_cast<ScpiSession>(weak_self.lock()); };
    // The list holds this token until it has run or been dropped.
    m_u64InFlight += cost;
    ++m_u32ListsInFlight;
    recountHeld();
    std::shared_ptr<void> listEnds(nullptr, [poller, session, cost](void*) {
        poller->async([session, cost]() {
            if (auto self = session()) {
                self->onListDone(cost);
            }
        }, true);
    });
    // A reply made on the poller goes out at once, unless a reply of a list
    // that ran on the waiting lists' thread is still on its way here: it was
    // made first and must be sent first.
    std::shared_ptr<std::atomic<uint32_t>> onTheWay = m_repliesOnTheWay;
    auto deliver = [poller, session, listEnds, onTheWay](std::string reply) {
        if (poller->isCurrentThread() && onTheWay->load() == 0) {
            if (auto self = session()) {
                self->sendReply(reply);
            }
            return;
        }
        onTheWay->fetch_add(1);
        poller->async([session, onTheWay, reply = std::move(reply)]() {
            // Nothing else is sent on this thread before it is.
            onTheWay->fetch_sub(1);
            if (auto self = session()) {
                self->sendReply(reply);
            }
        }, false);
    };
    listEnds.reset();
    if (!m_bGone) {
        // Timed only to end the turn: a list that ran in place holds up
        // every client on the poller as long as it runs.
        const uint64_t since = toolkit::getCurrentMicrosecond();
        m_scpiManage.ApiScpi_PostExecute(std::move(cmds), std::move(deliver), this, nullptr,
                                         !std::exchange(m_bNextOffPoller, false));
        m_u64TurnMicros += toolkit::getCurrentMicrosecond() - since;
        m_bNextOffPoller = m_u64TurnMicros >= kMicrosPerTurn;
        return;
    }
    bool queued = true;
    m_scpiManage.ApiScpi_PostForGone(this, [&] {
        queued = m_scpiManage.ApiScpi_PostExecute(std::move(cmds), std::move(deliver), this);
    });
    if (!queued) {
        // Those that left have queued all they may: nothing more of this
        // client runs (a gap in its messages would), and what it holds is
        // freed now rather than parsed to be dropped.
        m_backlog = ScpiBacklog();
        m_held.clear();
        m_u64Held = 0;
    }
}

void ScpiService::ScpiSession::scheduleTurn() {
    if (m_bTurnDue) {
        return;
    }
    m_bTurnDue = true;
    std::weak_ptr<toolkit::Session> weak_self = weak_from_this();
    getPoller()->async([weak_self]() {
        if (auto self = std::static_pointer_cast<ScpiSession>(weak_self.lock())) {
            self->nextTurn();
        }
    }, false);
}

void ScpiService::ScpiSession::nextTurn() {
    m_bTurnDue = false;
    m_u32TurnMessages = 0;
    m_u64TurnBytes = 0;
    m_u64TurnMicros = 0;
    serve();
}

void ScpiService::ScpiSession::sendReply(const std::string& reply) {
    send(reply.data(), reply.size());
    // A socket that is not busy has written everything it was given.
    setUnsent(getSock()->isSocketBusy() ? m_u64Unsent + reply.size() : 0);
    updateFlow();
}

void ScpiService::ScpiSession::setUnsent(uint64_t bytes) {
    // Counted service-wide too: the replies no client has read are bounded
    // over all sessions, not only per session.
    ScpiReplyBudget::instance().recount(m_u64Unsent, bytes);
}

void ScpiService::ScpiSession::onListDone(uint64_t cost) {
    m_u64InFlight -= std::min(m_u64InFlight, cost);
    m_u32ListsInFlight -= m_u32ListsInFlight > 0 ? 1 : 0;
    recountHeld();
    serve();
}

void ScpiService::ScpiSession::onDrained() {
    setUnsent(0);
    updateFlow();
}

void ScpiService::ScpiSession::updateFlow() {
    if (m_bGone) {
        finishLeavingIfDone();
        return;
    }
    if (m_bInputEnded) {
        finishIfDone();  // nothing more to read: done once all is answered
        return;
    }
    // While the service-wide budget is spent, a session holding more than a
    // short answer unread waits for its client too; its own drain resumes it.
    bool outputWaits = m_u64Unsent > ScpiReplyBudget::instance().share(kMaxUnsent);
    if (outputWaits != m_bOutputWaits) {
        m_bOutputWaits = outputWaits;
        m_bBackedUp = m_bBackedUp || outputWaits;
        PrintD("SCPI session input %s", outputWaits ? "paused: output waits to be read" : "resumed");
    }
    // Past what the session holds its client waits too: the rest of its
    // input stays with the kernel, and its sends wait, until there is room.
    bool pause = outputWaits || m_bTurnDue || waitsForRoom();
    if (pause == m_bPaused) {
        return;
    }
    m_bPaused = pause;
    getSock()->enableRecv(!pause);
    // While the service does not read, the client is not quiet: the watch
    // starts afresh once reading resumes.
    if (pause) {
        stopTrailingWatch();
    } else if (m_input.hasPending()) {
        watchTrailingPiece();
    }
}

void ScpiService::ScpiSession::watchTrailingPiece() {
    m_u64QuietSinceMs = toolkit::getCurrentMillisecond();
    if (m_trailingTask) {
        return;  // still due; it looks at when the quiet began
    }
    std::weak_ptr<toolkit::Session> weak_self = weak_from_this();
    m_trailingTask = getPoller()->doDelayTask(kTrailingWaitMs, [weak_self]() -> uint64_t {
        auto self = std::static_pointer_cast<ScpiSession>(weak_self.lock());
        return self ? self->onTrailingWait() : 0;
    });
}

uint64_t ScpiService::ScpiSession::onTrailingWait() {
    if (getSock()->unreadBytes() > 0) {
        // The client sent more; the poller was late to read it (busy with
        // other clients or a long list): that is no quiet of the client's.
        m_u64QuietSinceMs = toolkit::getCurrentMillisecond();
    }
    uint64_t quiet = toolkit::getCurrentMillisecond() - m_u64QuietSinceMs;
    if (quiet < kTrailingWaitMs) {
        return kTrailingWaitMs - quiet;
    }
    m_trailingTask.reset();
    std::string piece = m_input.takePending();
    if (!piece.empty()) {
        m_backlog.push(piece);
        serve();
    }
    return 0;
}

void ScpiService::ScpiSession::stopTrailingWatch() {
    if (m_trailingTask) {
        m_trailingTask->cancel();
        m_trailingTask.reset();
    }
}

void ScpiService::ScpiSession::dropCutShortPiece() {
    stopTrailingWatch();
    // "CONF:VOLT:DC 1000" arriving as "CONF:VOLT:DC 1" must not set 1 V.
    std::string piece = m_input.takePending();
    if (!piece.empty()) {
        int len = static_cast<int>(piece.size());
        PrintW("SCPI input without a line feed at the end of its connection dropped: %.*s (%d bytes)",
               std::min(len, kMaxLoggedText), piece.data(), len);
    }
}

void ScpiService::ScpiSession::onInputEnd() {
    if (m_bInputEnded) {
        return;
    }
    m_bInputEnded = true;
    dropCutShortPiece();
    serve();
}

void ScpiService::ScpiSession::finishIfDone() {
    if (!m_bInputEnded || m_bGone || !m_backlog.empty() || !m_held.empty() || m_u32ListsInFlight > 0 ||
        m_repliesOnTheWay->load() > 0 || getSock()->isSocketBusy()) {
        return;
    }
    // Every answer is with the kernel, which still sends it before the close.
    shutdown(toolkit::SockException(toolkit::Err_eof, "end of input served"));
}

void ScpiService::ScpiSession::onError(const toolkit::SockException& /*err*/) {
    m_bGone = true;
    dropCutShortPiece();
    if (m_serving) {
        // A reply of a list run just now met the ended connection: the rest
        // is handed over once the messages being taken are.
        m_bLeaveDue = true;
        return;
    }
    leave();
}

void ScpiService::ScpiSession::leave() {
    // What it sent before leaving runs, in order, taken in turns and within
    // the bounds as while it was connected, so that it holds up no other
    // client more than it could then; no one reads what its lists still
    // answer: they wait for nothing.
    m_self = std::static_pointer_cast<ScpiSession>(shared_from_this());
    m_scpiManage.ApiScpi_ClientGone(this);
    recountHeld();
    setLocalState(true);
    // What it held of queries only has no one to answer: dropped now, as
    // such messages are as they are parsed from here on (takeMessage).
    for (auto it = m_held.begin(); it != m_held.end();) {
        if (ScpiManage::ApiScpi_RunsWhenGone(it->cmds)) {
            ++it;
            continue;
        }
        m_u64Held -= it->cost;
        it = m_held.erase(it);
    }
    if (!m_backlog.empty() || !m_held.empty()) {
        m_bBackedUp = true;  // its parsed lists are freed once they have run
    }
    serve();
}

void ScpiService::ScpiSession::finishLeavingIfDone() {
    // Lists handed over need no session: their ends find it gone.
    if (!m_self || !m_backlog.empty() || !m_held.empty()) {
        return;
    }
    // Released off this call's stack: the session may end with it.
    getPoller()->async([self = std::move(m_self)]() {}, false);
}

void ScpiService::ScpiSession::onManager() {
    // A session whose output waits sends nothing more, nor does one whose
    // client sends nothing more once its lists are done: its send time-out
    // would never be looked at again, so look now, on the session's own
    // poller.
    std::weak_ptr<toolkit::Session> weak_self = weak_from_this();
    getPoller()->async([weak_self]() {
        auto self = std::static_pointer_cast<ScpiSession>(weak_self.lock());
        if (self && (self->m_bOutputWaits || self->m_bInputEnded)) {
            self->getSock()->flushAll();
        }
    }, true);
}
