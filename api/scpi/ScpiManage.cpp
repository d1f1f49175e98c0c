#include "ScpiManage.h"

#include <algorithm>
#include <iterator>
#include <cinttypes>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <utility>

#include "CBeeper.h"
#include "CDataManage.h"
#include "CFEM.h"
#include "DrvScpiErrDef.h"
#include "DrvScpiQueue.h"
#include "DrvScpiSM.h"
#include "Poller/EventPoller.h"
#include "ScpiReplyText.h"
#include "ScpiReplyBudget.h"
#include "Util/logger.h"
#include "WalkTurns.h"
#include "proto_insert.h"

namespace {

// "%f" of any double: 9.9E37 needs all its integer digits.
std::string fixedSix(double value) {
    int size = std::snprintf(nullptr, 0, "%f", value);
    if (size <= 0) {
        return std::string();
    }
    std::string text(static_cast<size_t>(size) + 1, '\0');
    std::snprintf(&text[0], text.size(), "%f", value);
    text.resize(static_cast<size_t>(size));
    return text;
}

// Appends the response text of one reply value, by its kind.
void appendValue(std::string& text, const Value& value) {
    switch (value.value_case()) {
        case Value::kS32Val:
            text += std::to_string(value.s32val());
            break;
        case Value::kU32Val:
            text += std::to_string(value.u32val());
            break;
        case Value::kS64Val:
            text += std::to_string(value.s64val());
            break;
        case Value::kU64Val:
            text += std::to_string(value.u64val());
            break;
        case Value::kBVal:
            text += value.bval() ? "1" : "0";
            break;
        case Value::kF32Val:
            text += fixedSix(value.f32val());
            break;
        case Value::kF64Val:
            text += fixedSix(value.f64val());
            break;
        case Value::kStrVal:
            // Whatever a handler answers, its text cannot end the response.
            text += ScpiReplySafeText(value.strval());
            break;
        case Value::kRawVal: {
            // A definite-length block: "#9", nine length digits, the bytes.
            char head[16];
            std::snprintf(head, sizeof(head), "#9%09u", static_cast<unsigned>(value.rawval().size()));
            // The header only: the text so far may be megabytes of blocks.
            PrintD("HEAD=%s after %zu bytes", head, text.size());
            text += head;
            text += value.rawval();
            break;
        }
        default:
            break;
    }
}

// The bytes appendValue adds at most: texts and blocks by their size, a
// number's text is short (the longest, a double's "%f", under 330).
size_t textSizeOf(const Value& value) {
    switch (value.value_case()) {
        case Value::kStrVal:
            return value.strval().size();
        case Value::kRawVal:
            return 11 + value.rawval().size();
        default:
            return 330;
    }
}

// The reply entry with the largest key (a handler that answers a number under
// its item code and a text under 0x40000000 | item code is answered by the
// text); null when the reply holds no key of 0 or above.
const Value* answerOf(const google::protobuf::Map<int, Value>& reply) {
    const Value* answer = nullptr;
    int largest = -1;
    for (const auto& entry : reply) {
        if (entry.first > largest) {
            largest = entry.first;
            answer = &entry.second;
        }
    }
    return answer;
}

// The bound ends the response before an answer of `size` bytes (0: one not
// asked for) is added; the replies so far are sent. The result of the list.
int endAtBound(unsigned int funcId, size_t size, std::string& text) {
    PrintW("SCPI response of %zu bytes would grow by %zu: the rest of the message is dropped", text.size(), size);
    CFEM::reportFailure(funcId, E223_TOO_MUCH_DATA);
    return E223_TOO_MUCH_DATA;
}

// The end of the units that run when no one waits for the answers: the last
// that is not a query or reports a refusal, plus one (0: none).
size_t settingsEnd(const std::vector<structScpiInfo>& cmds) {
    for (size_t i = cmds.size(); i > 0; --i) {
        if (!cmds[i - 1].query || cmds[i - 1].refused) {
            return i;
        }
    }
    return 0;
}

// A list of refused units only, one per refusal: what a message that runs
// nothing reports in its turn.
std::vector<structScpiInfo> refusalList(ScpiRefusals errors) {
    std::vector<structScpiInfo> cmds(1);
    cmds.front().refused = true;
    cmds.front().named = false;
    cmds.front().refusals = std::move(errors);
    return cmds;
}

// What the units of a list refuse, in order.
ScpiRefusals refusalsOf(const std::vector<structScpiInfo>& cmds) {
    ScpiRefusals all;
    for (const structScpiInfo& cmd : cmds) {
        all.insert(all.end(), cmd.refusals.begin(), cmd.refusals.end());
    }
    return all;
}

// The client that has left whose lists this thread posts.
thread_local ScpiStrand::Client t_leaving = nullptr;

// Whether this thread posts for `client` after it has left.
bool leavingHere(ScpiStrand::Client client) {
    return client != nullptr && client == t_leaving;
}

}  // namespace

ScpiManage& ScpiManage::instance() {
    // Never destroyed: transports may still call it while the process ends.
    static ScpiManage* manager = new ScpiManage();
    return *manager;
}

ScpiManage::ScpiManage() : Manager("scpi_manager") {
    // Linked at once so that a message parsed before start() converts its
    // keywords with the active set's map.
    mParser.ApiScpi_SetExecute(&mExecute);
    mParser.ApiScpi_SelectCmdTree(mParser.ApiScpi_CmdTreeGet());
    Manager::abort = false;
}

void ScpiManage::start() {
    mParser.ApiScpi_SetExecute(&mExecute);
    mParser.ApiScpi_Initial();
}

int ScpiManage::ApiScpi_WriteInputQueue(const char* text, uint32_t length, uint32_t u32, uint8_t /*u8*/,
                                        std::vector<structScpiInfo>& out) {
    // The callback runs under the parser's lock, which also guards the
    // converter's enumeration map.
    return mParser.ApiScpi_DoParse(text, length, u32, [this, &out](const ScpiParsedCmd& cmd) {
        structScpiInfo info;
        info.funcID = cmd.u32FuncId;
        info.query = cmd.pstNode != nullptr && cmd.pstNode->direction == D_OUT;
        info.named = cmd.pstNode != nullptr;
        info.refusals = cmd.refusals;
        info.refused = cmd.bRefused || mExecute.ApiScpi_ExcuteCmd(cmd.u16CmdSN, cmd.pstNode, cmd.pstParaInfo,
                                                                  info.params, info.refusals) != 0;
        out.push_back(std::move(info));
    });
}

int ScpiManage::ApiScpi_WriteOutputQueue(std::vector<structScpiInfo> cmds, std::string& out) {
    return ApiScpi_WriteOutputQueue(std::move(cmds), out, ApiScpi_AbortGeneration());
}

int ScpiManage::ApiScpi_WriteOutputQueue(std::vector<structScpiInfo> cmds, std::string& out, uint64_t generation) {
    // A list of no client: only an abort of every client reaches it.
    const Ticket ticket = postTicket(nullptr);
    {
        std::lock_guard<std::mutex> lock(m_abortMtx);
        ticket->generation = generation;
    }
    return writeOutput(cmds, out, ticket);
}

int ScpiManage::writeOutput(std::vector<structScpiInfo>& cmds, std::string& out, const Ticket& ticket) {
    // The rest of a list handed over takes the turn its first part holds,
    // even to do nothing: no one else takes it until then.
    const bool rest = ticket->handedOff;
    if (!rest && !beginList(*ticket)) {
        PrintI("SCPI command list of %zu dropped by abort", cmds.size());
        return 0;
    }
    int result = 0;
    const bool reads = readsAny(cmds);
    // The waits of its handlers hear this list's client, no other.
    ListWait::Scope scope(*ticket);
    {
        // A message that reads is the acquisition's reader from its first
        // command to its last: another reader's message runs before or after
        // it, not between its setting up and its read. Taken before the
        // message turn, which its wait would hold up. A client that has left
        // waits for no turn: its commands run without it, its reads do not.
        std::optional<ScpiReaderTurn::Hold> reader;
        if (reads) {
            // Waited for no longer than its client waits for a reading.
            const ScpiReaderTurn::Timeout timeout = [] {
                return std::chrono::milliseconds(CDataManage::instance()->DM_ReadTimeoutMs());
            };
            reader.emplace(m_readerTurn, [&] { return abortedSince(*ticket) || ticket->cancelled(); }, timeout);
            ticket->readerLate = reader->timedOut();
        }
        if (!reader || reader->held() || !abortedSince(*ticket)) {
            ticket->runsUpTo = settingsEnd(cmds);
            TurnHold hold(*ticket);
            result = runCommands(cmds, *ticket);
        }
    }
    if (ticket->handedOff) {
        return 0;  // its rest answers
    }
    // Only a message that reads arms: what the engine keeps for the rest of
    // it goes as it ends.
    if (reads) CDataManage::instance()->DM_ListEnded(ticket->client);
    if (endList(*ticket)) {
        ticket->text.clear();
        result = 0;
    }
    if (!ticket->text.empty()) {
        out += ticket->text;
        out += '\n';
    }
    return result;
}

int ScpiManage::runCommands(std::vector<structScpiInfo>& cmds, ListTicket& ticket) {
    int result = 0;
    std::string& text = ticket.text;
    size_t& answers = ticket.answers;
    bool lateReported = false;
    try {
        for (size_t i = ticket.resumeAt; i < cmds.size(); ++i) {
            // Without the turn (it ended in a wait) nothing more runs here;
            // a list that hands itself back runs its rest from this command.
            if (!ticket.holdsTurn() || abortedSince(ticket)) {
                if (!ticket.holdsTurn() && i < ticket.runsUpTo && ticket.handsBack()) {
                    ticket.resumeAt = i;
                    ticket.handedBack = true;
                }
                break;
            }
            // Between two commands, never inside one: the rest goes on with
            // the turn (after one at least, so that each part moves on).
            if (i > ticket.resumeAt && ticket.inPlaceSince &&
                std::chrono::steady_clock::now() - *ticket.inPlaceSince >= inPlaceTime()) {
                ticket.resumeAt = i;
                ticket.handedOff = true;
                ticket.turn.handOver();
                break;
            }
            if (cmds[i].refused) {
                // Its errors come now, after what ran before it.
                ScpiReportRefusals(cmds[i].refusals);
                continue;  // as a failed command: no text
            }
            if (cmds[i].query && ticket.cancelled()) {
                continue;  // no one to answer: a query of a gone client does not run
            }
            if (ticket.readerLate && ScpiReaderTurn::reads(cmds[i].funcID)) {
                // Timed out as its read would have: one -365 for the message.
                if (!lateReported) CFEM::reportFailure(cmds[i].funcID, E365_TIME_OUT_ERROR);
                lateReported = true;
                continue;
            }
            // The room is decided once, before the command runs: a query
            // is told it, and its answer is held to what it was told. The
            // separator an answer would need counts.
            const size_t separator = answers > 0 ? 1 : 0;
            const size_t before = text.size() + separator;
            const uint64_t room = ScpiReplyBudget::instance().roomAfter(before);
            if (cmds[i].query) {
                if (room == 0) {
                    // Nothing it could answer would fit: it does not run.
                    result = endAtBound(cmds[i].funcID, 0, text);
                    break;
                }
                insertU64(cmds[i].params, ScpiReplyBudget::kRoomKey, room);
            }
            google::protobuf::Map<int, Value> reply;
            ticket.next = i + 1;
            {
                ticket.runningJob = lendsWhileRunning(cmds[i].funcID);
                std::optional<ListWait::Waiting> lent;
                if (ticket.runningJob) lent.emplace();
                result = CFEM::handleMessage(2, cmds[i].funcID, cmds[i].params, &reply);
            }
            ticket.runningJob = false;
            if (result == E223_TOO_MUCH_DATA) {
                // Refused by its room (the hub queued the error): the rest
                // of the message is not executed either.
                break;
            }
            if (result != 0 || (reply.empty() && !cmds[i].query)) {
                continue;  // failed or silent: no response unit
            }
            const Value* answer = answerOf(reply);
            // Ended by the bound before the answer is added: the rest of
            // the message is not executed, the replies so far are sent.
            if (answer != nullptr && textSizeOf(*answer) > room) {
                result = endAtBound(cmds[i].funcID, textSizeOf(*answer), text);
                break;
            }
            text.append(separator, ';');
            ++answers;
            if (answer != nullptr) {
                appendValue(text, *answer);
            }
            // A query that succeeded with nothing to say answers an empty
            // string: its client waits for a response and must get one.
            if (cmds[i].query && text.size() == before) {
                text += "\"\"";
            }
        }
    } catch (const std::exception& ex) {
        // Out of memory while joining the replies: the list ends without
        // one, and still ends in the caller.
        PrintE("SCPI command list stopped: %s", ex.what());
        text.clear();
        result = E200_EXECUTION_ERROR;
    }
    return result;
}

ScpiManage::TurnHold::TurnHold(ListTicket& ticket) : m_ticket(ticket) {
    if (ticket.handedOff) {
        ticket.handedOff = false;
        ticket.turn.claim();
        ticket.holdTurn(&ticket);
    } else if (ticket.take()) {
        ticket.holdTurn(&ticket);
    }
}

ScpiManage::TurnHold::~TurnHold() {
    // Gives only what it holds: a list that ended while it lent the turn
    // did not take it back.
    if (m_ticket.holdsTurn()) {
        m_ticket.holdTurn(nullptr);
        m_ticket.turn.give();
    }
}

ScpiManage::MessageResult ScpiManage::ApiScpi_ProcessMessage(const char* text, uint32_t length, ReplyFn deliver,
                                                              ScpiStrand::Client client,
                                                              ListWait::Timeout readTimeout) {
    std::vector<structScpiInfo> cmds;
    const MessageResult parsed = ApiScpi_ParseMessage(text, length, client, cmds);
    if (parsed == MessageResult::Aborted) {
        return parsed;
    }
    // A message that runs nothing reports its errors through the same path
    // as the client's lists, behind them.
    ApiScpi_PostExecute(std::move(cmds), std::move(deliver), client, std::move(readTimeout));
    return parsed == MessageResult::Rejected ? parsed : MessageResult::Posted;
}

ScpiManage::MessageResult ScpiManage::ApiScpi_ParseMessage(const char* text, uint32_t length,
                                                            ScpiStrand::Client client,
                                                            std::vector<structScpiInfo>& cmds) {
    int result = ApiScpi_WriteInputQueue(text, length, 0, 0, cmds);
    const bool namesAny =
        std::any_of(cmds.begin(), cmds.end(), [](const structScpiInfo& cmd) { return cmd.named; });
    if (result != 0 || !namesAny) {
        // Nothing of it runs: its refusals come in its turn, -100 after them,
        // a command error as theirs are (an empty message has none of its own).
        ScpiRefusals errors = refusalsOf(cmds);
        errors.push_back(ScpiRefusal{SCP_ESR_CME, E100_CMD_ERROR});
        cmds = refusalList(std::move(errors));
        CBeeper::instance()->Beeper_Test();
        return MessageResult::Rejected;
    }
    if (ApiScpi_HoldsAbort(cmds)) {
        // The abort acts now; what the message refused is reported after it.
        ApiScpi_Abort(client);
        ScpiRefusals errors = refusalsOf(cmds);
        if (!errors.empty()) {
            ApiScpi_PostErrors(client, std::move(errors));
        }
        return MessageResult::Aborted;
    }
    return MessageResult::Parsed;
}

void ScpiManage::ApiScpi_PostErrors(ScpiStrand::Client client, ScpiRefusals errors) {
    auto list = std::make_shared<std::vector<structScpiInfo>>(refusalList(std::move(errors)));
    ListRun run = [this, list](const Ticket& ticket) {
        std::string none;  // refusals answer nothing
        writeOutput(*list, none, ticket);
    };
    const bool leaving = leavingHere(client);
    if (!postRun(run, client, nullptr, false, leaving ? ScpiStrand::Kind::LeftBehind : ScpiStrand::Kind::Report) &&
        !leaving) {
        PrintW("SCPI client %p: errors of a message beyond its bound dropped", client);
    }
}

std::vector<structScpiInfo> ScpiManage::ApiScpi_RefusalList(ScpiRefusals errors) {
    return refusalList(std::move(errors));
}

bool ScpiManage::ApiScpi_RunsWhenGone(const std::vector<structScpiInfo>& cmds) {
    return settingsEnd(cmds) > 0;
}

bool ScpiManage::ApiScpi_HoldsAbort(const std::vector<structScpiInfo>& cmds) {
    return std::any_of(cmds.begin(), cmds.end(),
                       [](const structScpiInfo& cmd) { return cmd.funcID == kAbortFuncId && !cmd.refused; });
}

void ScpiManage::ApiScpi_Abort(ScpiStrand::Client client) {
    // Held across the new generation and the clearing, so that no list of the
    // new generation can be posted in between and then be cleared with the
    // old ones.
    std::lock_guard<std::mutex> post(m_postMtx);
    {
        std::lock_guard<std::mutex> lock(m_abortMtx);
        if (client == nullptr) {
            ++m_abortGeneration;
        }
        // The waits of the lists it reaches end; those of other clients'
        // lists go on (the measurement's end below completes them).
        cancelTicketsLocked(client, true);
    }
    // Queued lists would skip themselves anyway; dropping them frees the
    // poller at once. Other work queued there is not clearable and stays.
    // Nothing runs here: the dropped tasks only hold their lists and reply
    // callbacks. The poller's tasks are not told apart by client: a client's
    // lists queued there skip themselves.
    if (client == nullptr) {
        toolkit::EventPoller::Instance().clearTasks();
    }
    m_strand.clear(client);
    m_readerTurn.wake();
    // A stopped list waiting in line for the message turn leaves the line.
    m_turn.wake();
    // A file operation of a list it stopped that waits for its walk turn ends.
    walk_turns::wake();
    // The measurement stops too, for every client: a read waiting for its
    // readings returns, and an armed trigger is disarmed; another client's
    // later FETCh? of what it armed tells it was cut short.
    CDataManage::instance()->DM_AbortBy(client);
}

void ScpiManage::ApiScpi_ClientGone(ScpiStrand::Client client) {
    // What it has queued goes to the queue of those that left.
    m_strand.depart(client);
    {
        std::lock_guard<std::mutex> lock(m_abortMtx);
        cancelTicketsLocked(client, false);
    }
    // Its waits end now, without ending anyone's measurement, and so does
    // a wait for the reader's turn. Its lists still to run take the message
    // turn as they come to run, in line with everyone's.
    m_readerTurn.wake();
    CDataManage::instance()->DM_WakeWaits();
    // After the cancelling: a list of its that still arms records nothing.
    CDataManage::instance()->DM_ClientGone(client);
    // A list of its already in line with nothing left to run leaves it; the
    // others take the seat of the clients that have left.
    m_turn.depart(client);
}

void ScpiManage::ApiScpi_PostForGone(ScpiStrand::Client client, const std::function<void()>& posts) {
    t_leaving = client;
    posts();
    t_leaving = nullptr;
}

uint64_t ScpiManage::ApiScpi_AbortGeneration() {
    std::lock_guard<std::mutex> lock(m_abortMtx);
    return m_abortGeneration;
}

bool ScpiManage::mayWait(const std::vector<structScpiInfo>& cmds) {
    // The handlers that wait: the acquisition's readers (reads,
    // measurements, fetches, INIT under the immediate trigger), and
    // DATA:REMove? with WAIT, the latest reading of either display, the raw
    // calibration value, the storage operations that run in place, the
    // catalogue, whose folder sizes take a walk, and the screen copy, which
    // waits for the capture tool.
    static constexpr uint32_t kOtherWaits[] = {0x20002103, 0x20000640, 0x20000641, 0x20000c00};
    return std::any_of(cmds.begin(), cmds.end(), [](const structScpiInfo& cmd) {
        return ScpiReaderTurn::reads(cmd.funcID) || lendsWhileRunning(cmd.funcID) ||
               std::find(std::begin(kOtherWaits), std::end(kOtherWaits), cmd.funcID) != std::end(kOtherWaits);
    });
}

bool ScpiManage::lendsWhileRunning(uint32_t funcId) {
    static constexpr uint32_t kLong[] = {
        0x10000F01, 0x10000F06, 0x10000F07, 0x10000F08, 0x10000F09, 0x10000F0A,
        0x10000F0B, 0x10000F12, 0x10000F13, 0x20000F03, 0x20002200,
    };
    return std::find(std::begin(kLong), std::end(kLong), funcId) != std::end(kLong);
}

bool ScpiManage::readsAny(const std::vector<structScpiInfo>& cmds) {
    return std::any_of(cmds.begin(), cmds.end(),
                       [](const structScpiInfo& cmd) { return ScpiReaderTurn::reads(cmd.funcID); });
}

ScpiManage::OperationWait ScpiManage::waitsForOperation(const std::vector<structScpiInfo>& cmds) {
    bool changes = false;  // a command before it may leave an operation pending
    for (const structScpiInfo& cmd : cmds) {
        if (cmd.funcID == 0x20001B04 || cmd.funcID == 0x10001B0B) {  // *OPC?, *WAI
            return changes ? OperationWait::AfterOthers : OperationWait::First;
        }
        changes = changes || (!cmd.query && cmd.named);
    }
    return OperationWait::None;
}

bool ScpiManage::waitsNow(bool mayWait, OperationWait operation) {
    return mayWait || operation == OperationWait::AfterOthers ||
           (operation == OperationWait::First && CDataManage::instance()->DM_AcquisitionPending());
}

bool ScpiManage::ApiScpi_PostExecute(std::vector<structScpiInfo> cmds, ReplyFn deliver, ScpiStrand::Client client,
                                     ListWait::Timeout readTimeout, bool inPlace) {
    const bool leaving = leavingHere(client);
    if (leaving) {
        // No one is there to answer: its queries hold nothing while it waits.
        cmds.erase(std::remove_if(cmds.begin(), cmds.end(),
                                  [](const structScpiInfo& cmd) { return cmd.query && !cmd.refused; }),
                   cmds.end());
    }
    const bool waits = mayWait(cmds);
    const OperationWait operation = waitsForOperation(cmds);
    // Shared so that the task stays copyable without copying the list.
    auto list = std::make_shared<std::vector<structScpiInfo>>(std::move(cmds));
    ListRun run = [this, list, deliver](const Ticket& ticket) {
        // In place it runs while it is quick: a socket client's, whose
        // transport is this thread alone, so its worker has nothing queued
        // that the rest would wait behind.
        if (ticket->client != nullptr && toolkit::EventPoller::Instance().isCurrentThread()) {
            ticket->inPlaceSince = std::chrono::steady_clock::now();
        }
        runList(list, deliver, ticket);
    };
    // A gone client's lists take the seat of the clients that have left,
    // which the first poller never takes.
    const bool queue = !inPlace || leaving || waitsNow(waits, operation);
    const ScpiStrand::Kind kind = leaving ? ScpiStrand::Kind::LeftBehind : ScpiStrand::Kind::List;
    if (postRun(run, client, std::move(readTimeout), queue, kind)) {
        return true;
    }
    if (!leaving) {
        // Its client cannot tell otherwise that the list never ran.
        PrintW("SCPI client %p has %zu lists queued: a further list is refused", client,
               ScpiStrand::kMaxQueuedPerClient);
        ApiScpi_PostErrors(client, {ScpiRefusal{0, E363_INPUT_BUFFER_OCVERRUN}});
    }
    return false;
}

void ScpiManage::runList(const List& list, const ReplyFn& deliver, const Ticket& ticket) {
    std::string reply;
    writeOutput(*list, reply, ticket);
    if (ticket->handedOff) {
        handOver(list, deliver, ticket);
        return;
    }
    // Every transport's callback may be called from any thread: the
    // socket posts the send to its session's poller, the others queue
    // the reply under their own lock.
    if (!reply.empty() && deliver) {
        // Tests only: the lock is taken only while a seam is set.
        if (m_hasDeliverySeam.load()) {
            std::function<void()> seam;
            {
                std::lock_guard<std::mutex> lock(m_abortMtx);
                seam = m_deliverySeam;
            }
            if (seam) seam();
        }
        deliver(std::move(reply));
    }
}

namespace {

// The turn a list handed over: claimed by its rest, or given to the line
// again when the rest is dropped unrun (its client's ABORt clears the worker).
struct HandedTurn {
    explicit HandedTurn(ScpiTurn& turn) : turn(turn) {}
    ~HandedTurn() {
        if (!claimed) turn.release();
    }
    ScpiTurn& turn;
    bool claimed = false;
};

}  // namespace

void ScpiManage::handOver(const List& list, const ReplyFn& deliver, const Ticket& ticket) {
    ticket->inPlaceSince.reset();  // there it runs to its end
    auto handed = std::make_shared<HandedTurn>(m_turn);
    ScpiStrand::Task rest = [this, list, deliver, ticket, handed]() {
        handed->claimed = true;
        runList(list, deliver, ticket);
    };
    // First on the worker: the list ran here only as its client had nothing
    // there, and its client's lists are posted on this thread alone.
    m_strand.runHereOrQueue(std::move(rest), true, ticket->client, ScpiStrand::Kind::Continued);
}

bool ScpiManage::postRun(const ListRun& run, ScpiStrand::Client client, ListWait::Timeout readTimeout, bool queue,
                         ScpiStrand::Kind kind) {
    if (toolkit::EventPoller::Instance().isCurrentThread()) {
        // Runs at once, as a post from the first poller always did, unless
        // it is to be queued or its client's lists wait; outside m_postMtx,
        // since its handlers may post or abort themselves.
        const Ticket ticket = postTicket(client, std::move(readTimeout));
        return runOrQueue(taskOf(run, ticket), queue, client, kind);
    }
    // Another transport's thread: straight to the client's worker, where it
    // takes the turn in line, so that no client's backlog runs back to back
    // on the poller ahead of everyone else's messages. The generation is
    // read and the task queued under the lock that an abort holds from its
    // new generation until its clearing is done: a list that carries the new
    // generation is never cleared by that abort.
    std::lock_guard<std::mutex> post(m_postMtx);
    const Ticket ticket = postTicket(client, std::move(readTimeout));
    return runOrQueue(taskOf(run, ticket), true, client, kind);
}

ScpiStrand::Task ScpiManage::taskOf(const ListRun& run, const Ticket& ticket) {
    return [this, run, ticket]() {
        ticket->mayHandBack = ScpiStrand::onClientsOwnWorker();
        run(ticket);
        if (ticket->handedBack) {
            ticket->mayHandBack = false;
            ticket->handedBack = false;
            m_strand.handBack([run, ticket]() { run(ticket); });
        }
    };
}

bool ScpiManage::runOrQueue(ScpiStrand::Task task, bool queue, ScpiStrand::Client client, ScpiStrand::Kind kind) {
    // A list runs here only with the message turn: the first poller never
    // waits for it, a list that finds it taken waits on its client's worker.
    bool took = false;
    auto mayRunHere = [&] { return took = m_turn.tryTake(client); };
    const bool placed = m_strand.runHereOrQueue(std::move(task), queue, client, kind, mayRunHere);
    if (took) {
        m_turn.give();
    }
    return placed;
}

void ScpiManage::setDeliverySeam(std::function<void()> seam) {
    std::lock_guard<std::mutex> lock(m_abortMtx);
    m_deliverySeam = std::move(seam);
    m_hasDeliverySeam = static_cast<bool>(m_deliverySeam);
}

ScpiManage::Ticket ScpiManage::postTicket(ScpiStrand::Client client, ListWait::Timeout readTimeout) {
    auto ticket = std::make_shared<ListTicket>(std::move(readTimeout), *this, client);
    if (leavingHere(client)) {
        ticket->cancel();  // no one is there to answer or wait for
    }
    std::lock_guard<std::mutex> lock(m_abortMtx);
    ticket->generation = m_abortGeneration;
    ticket->known = m_tickets.insert(m_tickets.end(), ticket.get());
    return ticket;
}

ScpiManage::ListTicket::~ListTicket() {
    std::lock_guard<std::mutex> lock(owner.m_abortMtx);
    owner.m_tickets.erase(known);
}

bool ScpiManage::abortedLocked(const ListTicket& ticket) const {
    return ticket.aborted || ticket.generation != m_abortGeneration;
}

bool ScpiManage::beginList(ListTicket& ticket) {
    std::lock_guard<std::mutex> lock(m_abortMtx);
    return !abortedLocked(ticket);
}

bool ScpiManage::abortedSince(const ListTicket& ticket) {
    std::lock_guard<std::mutex> lock(m_abortMtx);
    return abortedLocked(ticket);
}

void ScpiManage::cancelTicketsLocked(ScpiStrand::Client client, bool abort) {
    // No ticket is taken hold of here: its last release, and so its
    // destructor, never comes under the lock.
    for (ListTicket* ticket : m_tickets) {
        if (client == nullptr || ticket->client == client) {
            ticket->aborted = ticket->aborted || abort;
            if (abort) {
                ticket->stop();
            } else {
                ticket->cancel();
            }
        }
    }
}

bool ScpiManage::endList(ListTicket& ticket) {
    std::lock_guard<std::mutex> lock(m_abortMtx);
    return abortedLocked(ticket) || ticket.cancelled();
}
