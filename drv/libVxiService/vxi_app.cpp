#include "vxi_app.h"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "CDataManage.h"
#include "DrvScpiErrDef.h"
#include "DrvScpiSM.h"
#include "HeldText.h"
#include "ScpiManage.h"
#include "ScpiRefusal.h"
#include "ScpiReplyBudget.h"
#include "Singelton.h"
#include "SystemSetup.h"
#include "Util/logger.h"
#include "vxi_reply_queue.h"
#include "vxi_svc.h"

namespace {

// The most reply data one read of a link fetches.
constexpr uint32_t kBufferSize = 0x200000;
// Input of writes without END waiting for the one that ends the message, per
// link while the service-wide budget lasts (then ScpiReplyBudget::kFreeShare).
constexpr uint64_t kMaxPendingInput = 1024 * 1024;
// Longest stretch of a message that goes into the log.
constexpr uint32_t kMaxLoggedText = 512;
// Lists of one link in the engine, running or queued: no more than its
// queue takes, even before its worker has taken the first one out, so that
// the engine never refuses one. The link refuses a message beyond itself,
// so that its call can answer the failure: the engine decides only after
// the call has answered.
constexpr uint32_t kMaxListsInFlight = ScpiStrand::kMaxQueuedPerClient;

// The queue may outlive its link while lists of the link still run; it
// gives its unread bytes back to the reply budget when the last holder goes.
// The input waiting for END counts in the same budget.
// The reading time-out of the link's latest message is what its write asked,
// raised by the reads of its reply, shared with the message's list (and the
// link's triggers after it): its waits read it as they go. Each message has
// its own, so that no time-out given for an earlier query cuts a later one.
// A list counts in listsInFlight until it has run or been dropped.
struct AppLink {
    HeldText pending;
    std::shared_ptr<CVxiReplyQueue> replies = std::make_shared<CVxiReplyQueue>();
    std::shared_ptr<std::atomic<uint32_t>> readTimeoutMs =
        std::make_shared<std::atomic<uint32_t>>(CDataManage::kReadTimeoutMs);
    std::shared_ptr<std::atomic<uint32_t>> listsInFlight = std::make_shared<std::atomic<uint32_t>>(0);
    // A write of the message being received interrupted a query of the
    // link: -410 is owed, in that message's turn.
    bool interrupted = false;
};

// Touched only on the server thread.
std::map<int32_t, AppLink>& appLinks() {
    static auto* links = new std::map<int32_t, AppLink>();
    return *links;
}

void setLocalState(bool local) {
    if (SystemSetup* setup = Copperwren::Singleton<SystemSetup>::Instance()) {
        setup->API_SetLocalState(local);
    }
}

// The -410 a message owes for the query it interrupted, as a refused unit
// at its head: it lands in the message's own turn, where no other client's
// message is between (an error queued on receipt could land inside another
// client's message, between its *CLS and its SYST:ERR?).
structScpiInfo interruptedUnit() {
    structScpiInfo unit;
    unit.refused = true;
    unit.named = false;
    unit.refusals.push_back(ScpiRefusal{0, E410_QUERY_INTERRUPTED});
    return unit;
}

// Input the link's bound refuses: -363, after the -410 the message owed, in
// a turn of the link's own, like the errors of a message that runs.
void refuseInput(AppLink& link, bool interrupted) {
    ScpiRefusals errors;
    if (interrupted) {
        errors.push_back(ScpiRefusal{0, E410_QUERY_INTERRUPTED});
    }
    errors.push_back(ScpiRefusal{0, E363_INPUT_BUFFER_OCVERRUN});
    ScpiManage::instance().ApiScpi_PostErrors(link.replies.get(), std::move(errors));
}

// Hands a program message of the link to the engine in the link's order; its
// reply goes to the link's queue. False when the link's bound refuses it;
// `rejected` tells whether nothing of the text parsed.
bool postToLink(AppLink& link, const char* text, uint32_t length, bool* rejected = nullptr) {
    ScpiManage& engine = ScpiManage::instance();
    std::vector<structScpiInfo> cmds;
    const bool interrupted = std::exchange(link.interrupted, false);
    if (interrupted) {
        cmds.push_back(interruptedUnit());
    }
    const ScpiManage::MessageResult parsed = engine.ApiScpi_ParseMessage(text, length, link.replies.get(), cmds);
    if (rejected != nullptr) {
        *rejected = parsed == ScpiManage::MessageResult::Rejected;
    }
    if (parsed == ScpiManage::MessageResult::Aborted) {
        // Taken at the bound too: it empties the link's queue.
        std::printf("SCPI_CMD_ABORT end\n");
        return true;
    }
    // What did not parse reports its errors as a list of the link's,
    // counted with the others: it takes no place the link's next list needs.
    if (link.listsInFlight->load() >= kMaxListsInFlight) {
        PrintW("VXI link has %u lists in the engine: a further message is refused", kMaxListsInFlight);
        refuseInput(link, interrupted);
        return false;
    }
    std::shared_ptr<CVxiReplyQueue> replies = link.replies;
    const bool answers =
        std::any_of(cmds.begin(), cmds.end(), [](const structScpiInfo& cmd) { return cmd.query && !cmd.refused; });
    const uint64_t sentAt = replies->post(answers);
    std::shared_ptr<std::atomic<uint32_t>> inFlight = link.listsInFlight;
    ++*inFlight;
    // The callback's last copy goes once the list has run or been dropped;
    // a reply owed and never delivered is settled then.
    auto delivered = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<void> listEnds(nullptr, [inFlight, replies, sentAt, answers, delivered](void*) {
        if (answers && !delivered->load()) {
            replies->settle(sentAt);
        }
        --*inFlight;
    });
    engine.ApiScpi_PostExecute(
        std::move(cmds), [replies, sentAt, answers, delivered, listEnds](std::string reply) {
            delivered->store(true);
            switch (replies->push(std::move(reply), sentAt, answers)) {
                case CVxiReplyQueue::Push::Queued:
                    vxiServiceWake();  // a read of the link may be waiting for it
                    return;
                case CVxiReplyQueue::Push::Refused:
                    // Past the link's share the new reply is dropped and
                    // -223 reported, as the service-wide budget does for an
                    // answer it will not build; in a turn of the link's,
                    // since this one has ended.
                    ScpiManage::instance().ApiScpi_PostErrors(replies.get(), {ScpiRefusal{0, E223_TOO_MUCH_DATA}});
                    return;
                case CVxiReplyQueue::Push::Interrupted:
                    // The link wrote again while this query ran: its
                    // answer would reach the read meant for the new
                    // message. The new message reports the -410.
                case CVxiReplyQueue::Push::Cleared:
                    return;
            }
        }, replies.get(), link.readTimeoutMs);
    return true;
}

}  // namespace

_vxi_io_ vxiAppCallbacks() {
    return _vxi_io_{newVxiConnect, recvVxiData, fillVxiData, delVxiConnect, fillDevStbVal,
                    devTrigProc,   devClearProc, setDevRemote, setDevLocal,  stopVxiProcess};
}

int newVxiConnect(int32_t lid, uint32_t* most) {
    // The link's data cache is its reply queue; each read fetches from it
    // into a buffer of the reply's size, given back once returned.
    AppLink& link = appLinks()[lid];
    *most = kBufferSize;
    setLocalState(false);
    PrintI("new vxi connect s32LinkId = %d, *ppDataCache = %p *pu32CacheSize = %u\n", lid,
           static_cast<void*>(link.replies.get()), kBufferSize);
    return 0;
}

int recvVxiData(int32_t lid, const char* data, uint32_t length, uint32_t ioTimeoutMs, bool end, VxiReplyLeft left) {
    auto it = appLinks().find(lid);
    if (it == appLinks().end()) {
        return -1;
    }
    PrintI("SCPI cmd = %.*s,  cmd len = %u\n", static_cast<int>(std::min(length, kMaxLoggedText)), data, length);
    AppLink& link = it->second;
    // A new message: what the link asked before and has not read is
    // obsolete, including answers still being made (they are dropped when
    // they come) and the rest of one read in part. The message owes -410 for
    // it, but not for a reply still being made that the client's read gave
    // up on: that query reports its own time-out, one error for it.
    const bool dropped = link.replies->interrupt(left == VxiReplyLeft::TimedOut);
    link.interrupted = dropped || left == VxiReplyLeft::PartRead || link.interrupted;
    const uint64_t bound = ScpiReplyBudget::instance().share(kMaxPendingInput);
    if (link.pending.size() + length > bound) {
        PrintW("VXI input above %llu bytes without END dropped", static_cast<unsigned long long>(bound));
        link.pending.clear();
        refuseInput(link, std::exchange(link.interrupted, false));
        return -1;
    }
    link.pending.append(data, length);
    if (!end) {
        return static_cast<int>(length);
    }
    std::string message = link.pending.take();
    // Its reading waits last as long as the write that ends it asks; a write
    // that gives no time (0) asks nothing of the reply: the engine's own
    // time-out holds until a read asks.
    link.readTimeoutMs =
        std::make_shared<std::atomic<uint32_t>>(ioTimeoutMs != 0 ? ioTimeoutMs : CDataManage::kReadTimeoutMs);
    // A message that does not parse fails its write (its errors are queued);
    // so does one the link's bound refuses, as input beyond its bound does.
    bool rejected = false;
    const bool posted = postToLink(link, message.data(), static_cast<uint32_t>(message.size()), &rejected);
    return posted && !rejected ? static_cast<int>(length) : -1;
}

int fillVxiData(int32_t lid, std::string& data, uint32_t most, uint32_t ioTimeoutMs, bool* eom) {
    auto it = appLinks().find(lid);
    if (it == appLinks().end()) {
        return -1;
    }
    // A reading query of the message read waits for its reading at least as
    // long as its client waits for the reply (a wait already begun too); other
    // clients and messages keep their own time-out. Only this thread stores.
    std::atomic<uint32_t>& timeout = *it->second.readTimeoutMs;
    if (timeout.load() < ioTimeoutMs) {
        timeout.store(ioTimeoutMs);
    }
    // The server does the waiting, for this link alone.
    return static_cast<int>(it->second.replies->fill(data, most, 0, *eom));
}

void delVxiConnect(int32_t lid) {
    auto it = appLinks().find(lid);
    PrintI("VXI释放内存地址 %p", it != appLinks().end() ? static_cast<void*>(it->second.replies.get()) : nullptr);
    if (it != appLinks().end()) {
        // Its lists still running wait for nothing: no one will read them.
        ScpiManage::instance().ApiScpi_ClientGone(it->second.replies.get());
        appLinks().erase(it);
    }
    setLocalState(true);
    PrintI("释放成功");
}

int fillDevStbVal(int32_t /*lid*/, uint32_t /*ioTimeoutMs*/) {
    return DrvScpi_StatusByte();
}

int devTrigProc(int32_t lid, uint32_t /*ioTimeoutMs*/) {
    // A VISA client's trigger is the instrument's *TRG: it acts in the link's
    // order, after what the link wrote before, and its errors (nothing armed,
    // another source) are queued as *TRG's are, not answered on the call.
    auto it = appLinks().find(lid);
    if (it == appLinks().end()) {
        return -1;
    }
    static constexpr char kTrigger[] = "*TRG";
    return postToLink(it->second, kTrigger, sizeof kTrigger - 1) ? 1 : -1;
}

int devClearProc(int32_t lid, uint32_t /*ioTimeoutMs*/) {
    // A device clear empties the link's input and output and ends what the
    // instrument is doing, as ABORt does: a read of this link waiting for its
    // trigger returns at once and its reply is dropped, while other clients'
    // waits end with an answer. A list that ended before the abort could
    // reach it may still be delivering: the queue drops what it delivers.
    auto it = appLinks().find(lid);
    if (it == appLinks().end()) {
        ScpiManage::instance().ApiScpi_Abort();
        return 1;
    }
    ScpiManage::instance().ApiScpi_Abort(it->second.replies.get());
    it->second.pending.clear();
    it->second.interrupted = false;  // no query counts as interrupted by a clear
    it->second.replies->deviceClear();
    return 1;
}

int setDevRemote(int32_t, uint32_t) {
    return 1;
}

int setDevLocal(int32_t, uint32_t) {
    return 1;
}

void stopVxiProcess() {}

namespace {

// How often the port-mapper entry is looked at: DMM_VXI_PORTMAP_CHECK_MS
// when set (tests shorten it), else the server's default.
std::chrono::milliseconds portmapCheck() {
    const char* text = std::getenv("DMM_VXI_PORTMAP_CHECK_MS");
    char* end = nullptr;
    unsigned long ms = text != nullptr ? std::strtoul(text, &end, 10) : 0;
    bool valid = text != nullptr && end != text && *end == '\0' && ms > 0 && ms <= 3600000;
    return valid ? std::chrono::milliseconds(ms) : kVxiPortmapCheck;
}

void* vxiServiceThreadHander(void*) {
    _vxi_io_ io = vxiAppCallbacks();
    if (vxiServiceInit(io, VXI_SERVICE_PORT, true, portmapCheck()) != 0) {
        return nullptr;
    }
    vxiServiceRun();
    return nullptr;
}

pthread_t startThread(int priority) {
    std::printf("vxiServiceThredCreate start\n");
    pthread_t thread{};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
    pthread_attr_setschedpolicy(&attr, SCHED_RR);
    sched_param param{};
    param.sched_priority = priority;
    pthread_attr_setschedparam(&attr, &param);
    int rc = pthread_create(&thread, &attr, vxiServiceThreadHander, nullptr);
    pthread_attr_destroy(&attr);
    if (rc == EPERM || rc == EINVAL) {
        PrintW("VXI-11 server thread without real-time scheduling (%s)", std::strerror(rc));
        rc = pthread_create(&thread, nullptr, vxiServiceThreadHander, nullptr);
    }
    if (rc != 0) {
        PrintE("cannot start the VXI-11 server thread: %s", std::strerror(rc));
        return pthread_t{};
    }
    pthread_setname_np(thread, "vxi server");
    pthread_detach(thread);  // serves until the process ends
    return thread;
}

}  // namespace

pthread_t vxiServiceThredCreate(int priority) {
    static pthread_t thread = startThread(priority);
    return thread;
}
