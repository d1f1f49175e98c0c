// The transport on the gadget stand-in, driven by a fake USB host. Command
// messages go to a recorder that answers "Q:<text>" with <text> and
// "N:<count>" with <count> bytes, leaves "P:..." running with its reply never
// coming; others get no reply.
#include <gtest/gtest.h>

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../../api/scpi/scpi_engine_env.h"
#include "../../api/storage/fake_medium.h"
#include "../../platform/eventually.h"
#include "DrvScpiQueue.h"
#include "DrvScpiSM.h"
#include "FileCore.h"
#include "Singelton.h"
#include "StorageCore.h"
#include "StorageManage.h"
#include "StorageRemotePath.h"
#include "UsbtmcDev.h"
#include "WalkTurns.h"
#include "fake_usb_host.h"
#include "root_path.h"
#include "soft_limit.h"
#include "usb_gadget_attach.h"

namespace {

using usb_test::FakeUsbHost;
using usb_test::InMessage;

std::mutex g_mtx;
std::vector<std::string> g_messages;

// "abc...zab..." of `n` bytes.
std::string letters(size_t n) {
    std::string out;
    for (size_t i = 0; i < n; ++i) out += static_cast<char>('a' + i % 26);
    return out;
}

void record(const uint8_t* data, uint32_t length, uint8_t /*last*/) {
    std::string text(reinterpret_cast<const char*>(data), length);
    {
        std::lock_guard<std::mutex> lock(g_mtx);
        g_messages.push_back(text);
    }
    uint64_t cmd = stUsbtmcDevIO.stTx.beginCommand();
    if (text.rfind("Q:", 0) == 0) {
        stUsbtmcDevIO.stTx.store(cmd, text.substr(2));
    } else if (text.rfind("N:", 0) == 0) {
        stUsbtmcDevIO.stTx.store(cmd, letters(std::stoul(text.substr(2))));
    } else if (text.rfind("P:", 0) == 0) {
        return;
    }
    stUsbtmcDevIO.stTx.endCommand(cmd);
}

std::vector<std::string> messages() {
    std::lock_guard<std::mutex> lock(g_mtx);
    return g_messages;
}

// The engine as the service runs it, for the hand-over and the status byte.
class UsbtmcTransport : public scpi_test::EngineTest {
protected:
    void SetUp() override {
        scpi_test::EngineTest::SetUp();
        ASSERT_TRUE(gadget.ok());
        platform::usbGadgetInstall(&gadget);
        {
            std::lock_guard<std::mutex> lock(g_mtx);
            g_messages.clear();
        }
        stUsbtmcDevIO.fetch_out_data = record;
        ASSERT_EQ(halUsbtmcDevInitWithArgs("MV4000001", "MV412E", 8459), 0);
    }
    void TearDown() override {
        halUsbtmcDevClose();
        platform::usbGadgetInstall(nullptr);
        stUsbtmcDevIO.fetch_out_data = halUsbtmcDevSendToSCPI;
    }

    std::string query(const std::string& text, uint32_t transferSize = 4096) {
        host.sendOut(text, true);
        return host.query(transferSize, tag);
    }

    platform::UsbGadgetHost gadget;
    FakeUsbHost host{gadget};
    uint8_t tag = 0;
};

TEST_F(UsbtmcTransport, ReplyInPiecesNeverAboveTransferSize) {
    host.sendOut("N:25", true);
    struct Piece {
        uint32_t transferSize;
        size_t size;
        uint8_t eom;
    } pieces[] = {{10, 10, 0}, {10, 10, 0}, {10, 5, 1}};
    std::string all;
    for (const Piece& p : pieces) {
        host.requestIn(p.transferSize, ++tag);
        InMessage msg;
        ASSERT_TRUE(host.readIn(msg));
        EXPECT_EQ(msg.header.u8bTag, tag);
        EXPECT_EQ(msg.header.u8bTagInverse, static_cast<uint8_t>(~tag));
        EXPECT_EQ(msg.header.u32Size, p.size);
        EXPECT_EQ(msg.header.stMsgIn.u8bmTransferAttr, p.eom);
        EXPECT_EQ(msg.frameBytes % 4, 0u);
        all += msg.data;
    }
    EXPECT_EQ(all, letters(25));
}

// A request with no reply to send gets nothing: had one been answered, its
// tag would come before the next query's.
TEST_F(UsbtmcTransport, RequestWithoutCommandOrAfterANewOneSendsNothing) {
    host.requestIn(64, 9);
    host.sendOut("Q:old", true);
    host.sendOut("SET", true);
    host.requestIn(64, 3);  // the old reply is gone: nothing to send
    EXPECT_EQ(query("Q:new"), "new");
    EXPECT_EQ(messages(), (std::vector<std::string>{"Q:old", "SET", "Q:new"}));
}

TEST_F(UsbtmcTransport, LargeRepliesComeBackWhole) {
    struct Case {
        size_t size;
        uint32_t transferSize;
    } cases[] = {{10001, 10000}, {300000, 1u << 20}, {300000, 4096}, {70000, 0xFFFFFFFFu}};
    for (const Case& c : cases) {
        std::string reply = query("N:" + std::to_string(c.size), c.transferSize);
        EXPECT_TRUE(reply == letters(c.size)) << c.size << " in " << c.transferSize << ": " << reply.size();
    }
}

TEST_F(UsbtmcTransport, LongMessageArrivesAsOneProgramMessage) {
    std::string text;
    while (text.size() < 5000) {
        text += "VOLT:DC:RANG " + std::to_string(text.size()) + ";";
    }
    text.resize(5000);
    for (size_t at = 0; at < text.size(); at += 1000) {
        host.sendOut(text.substr(at, 1000), at + 1000 >= text.size(), 1, 97);
    }
    EXPECT_EQ(query("Q:after"), "after");
    EXPECT_EQ(messages(), (std::vector<std::string>{text, "Q:after"}));
}

TEST_F(UsbtmcTransport, OverlongMessageDroppedWith363) {
    SCP_ClearErrQueue(1);
    unsigned halts = gadget.bulkOutHalts();
    host.sendOut(std::string(UsbtmcBulkOut::kMessageMax + 1, 'x'), true);
    EXPECT_EQ(query("Q:next"), "next");
    EXPECT_EQ(messages(), std::vector<std::string>{"Q:next"});
    EXPECT_EQ(gadget.bulkOutHalts(), halts + 1);
    // The -363 is reported in the host's turn, on its worker; the recorder
    // stands in for the engine, so "Q:next" did not queue behind it.
    ASSERT_TRUE(scpi_test::drainEngine(stUsbtmcDevIO.pHost.get()));
    const char* error = SCP_ReadErrQueue(1);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(std::string(error).substr(0, 5), "-363,");
}

TEST_F(UsbtmcTransport, ClassRequests) {
    using Bytes = std::vector<uint8_t>;
    struct Case {
        const char* name;
        uint8_t bRequest;
        uint16_t wValue;
        Bytes answer;
        unsigned outHalts;
        unsigned inHalts;
        uint8_t stateAfter;
    } cases[] = {
        {"GET_CAPABILITIES", 7, 0,
         {1, 0, 0, 1, 4, 0, 0, 0, 0, 0, 0, 0, 0, 1, 6, 15, 0, 0, 0, 0, 0, 0, 0, 0}, 0, 0, LOCAL_REMOTE_STATE_LOCS},
        {"INITIATE_CLEAR", 5, 0, {1}, 1, 1, LOCAL_REMOTE_STATE_REMS},
        {"CHECK_CLEAR_STATUS", 6, 0, {1, 0}, 0, 0, LOCAL_REMOTE_STATE_REMS},
        {"GO_TO_LOCAL", 161, 0, {1}, 0, 0, LOCAL_REMOTE_STATE_LOCS},
        {"INITIATE_ABORT_BULK_OUT", 1, 0, {1, 0}, 1, 0, LOCAL_REMOTE_STATE_LOCS},
        {"CHECK_ABORT_BULK_OUT_STATUS", 2, 0, {1, 0, 0, 0, 0, 0, 0, 0}, 0, 0, LOCAL_REMOTE_STATE_LOCS},
        {"INITIATE_ABORT_BULK_IN, tag 0", 3, 0, {1, 0}, 0, 1, LOCAL_REMOTE_STATE_LOCS},
        {"INITIATE_ABORT_BULK_IN, tag 5", 3, 5, {0x81, 0}, 0, 1, LOCAL_REMOTE_STATE_LOCS},
        {"CHECK_ABORT_BULK_IN_STATUS", 4, 0, {1, 0, 0, 0, 0, 0, 0, 0}, 0, 0, LOCAL_REMOTE_STATE_LOCS},
        {"INDICATOR_PULSE", 64, 0, {1}, 0, 0, LOCAL_REMOTE_STATE_LOCS},
        {"REN_CONTROL", 160, 1, {1}, 0, 0, LOCAL_REMOTE_STATE_LOCS},
        {"LOCAL_LOCKOUT", 162, 0, {1}, 0, 0, LOCAL_REMOTE_STATE_LOCS},
    };
    stUsbtmcDevIO.euLocalRemoteState = LOCAL_REMOTE_STATE_LOCS;
    for (const Case& c : cases) {
        unsigned out = gadget.bulkOutHalts();
        unsigned in = gadget.bulkInHalts();
        EXPECT_EQ(host.control(c.bRequest, c.wValue), c.answer) << c.name;
        EXPECT_EQ(gadget.bulkOutHalts() - out, c.outHalts) << c.name;
        EXPECT_EQ(gadget.bulkInHalts() - in, c.inHalts) << c.name;
        EXPECT_EQ(stUsbtmcDevIO.euLocalRemoteState.load(), c.stateAfter) << c.name;
    }
    EXPECT_EQ(stUsbtmcDevIO.u8RENStatus.load(), 1);
}

TEST_F(UsbtmcTransport, UnservedRequestsAnswerFailure) {
    struct Case {
        const char* name;
        uint32_t signal;
        uint8_t bRequest;
        uint8_t type;
    } cases[] = {
        {"undefined request 8", platform::USB_SIG_IN_EP0, 8, FakeUsbHost::kClassIn},
        {"request 0", platform::USB_SIG_IN_EP0, 0, FakeUsbHost::kClassIn},
        {"request 63", platform::USB_SIG_IN_EP0, 63, FakeUsbHost::kClassIn},
        {"request 65", platform::USB_SIG_IN_EP0, 65, FakeUsbHost::kClassIn},
        {"request 129", platform::USB_SIG_IN_EP0, 129, FakeUsbHost::kClassIn},
        {"request 200", platform::USB_SIG_IN_EP0, 200, FakeUsbHost::kClassIn},
        {"a standard request", platform::USB_SIG_IN_EP0, 6, 0x80},
        {"an unknown signal type", 7, 7, FakeUsbHost::kClassIn},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(host.controlEvent(c.signal, c.bRequest, c.type), std::vector<uint8_t>{USBTMC_STATUS_FAILED})
            << c.name;
    }
    // Requests go on as before.
    EXPECT_EQ(host.control(64), std::vector<uint8_t>{1});
}

TEST_F(UsbtmcTransport, EventsWithoutARequestGetNoAnswer) {
    EXPECT_TRUE(host.controlUnanswered(platform::USB_SIG_UN_LINK, 0)) << "the host goes away";
    EXPECT_TRUE(host.controlUnanswered(platform::USB_SIG_NONE, 7)) << "no signal";
}

TEST_F(UsbtmcTransport, ReadStatusByteAnswersTheStatusByte) {
    SCP_ClearErrQueue(1);
    SCP_WriteErrorQueue("-113,\"Undefined header\"");
    std::vector<uint8_t> answer = host.control(128, 0x0105);
    ASSERT_EQ(answer.size(), 3u);
    EXPECT_EQ(answer[0], USBTMC_STATUS_SUCCESS);
    EXPECT_EQ(answer[1], 0x05);
    EXPECT_EQ(answer[2], DrvScpi_GetStatusRegs().u8ScpSTB);
    EXPECT_NE(answer[2] & SCP_STB_ERR_QUEUE, 0);
    SCP_ClearErrQueue(1);
}

TEST_F(UsbtmcTransport, AbortOfAPartialCommandCompletes) {
    host.sendFrame(FakeUsbHost::frame(DEV_DEP_MSG_OUT, 1, 100, 1, std::string(40, 'z')).substr(0, 52), 0);
    ASSERT_TRUE(testing_support::eventually([] { return stUsbtmcDevIO.stBulkOutPipe.u32TransferedCnt == 40; }));
    EXPECT_EQ(host.control(1), (std::vector<uint8_t>{1, 0}));
    EXPECT_EQ(host.control(2), (std::vector<uint8_t>{1, 0, 0, 0, 40, 0, 0, 0}));
    EXPECT_EQ(query("Q:fresh"), "fresh");
    EXPECT_EQ(messages(), std::vector<std::string>{"Q:fresh"});
}

// A clear empties the input: a message the host sent before it and the device
// had not taken in yet goes too. The device holds it unread while it waits
// for the reply of a command that is still running.
TEST_F(UsbtmcTransport, AClearDropsTheInputNotTakenInYet) {
    host.sendOut("P:running", true);
    host.requestIn(64, ++tag);
    ASSERT_TRUE(testing_support::eventually([&] { return host.allTakenIn(); }));
    host.sendOut("Q:before", true);
    EXPECT_EQ(host.control(5), std::vector<uint8_t>{1});
    EXPECT_EQ(host.control(6), (std::vector<uint8_t>{1, 0}));
    EXPECT_EQ(query("Q:after"), "after");
    EXPECT_EQ(messages(), (std::vector<std::string>{"P:running", "Q:after"}));
}

// Whatever a host leaves behind when it goes, the next host to attach starts
// from a reset transfer state: no part of the old command, no old reply, and a
// status that reports success.
TEST_F(UsbtmcTransport, ANewHostStartsFromAResetTransferState) {
    const struct {
        const char* left;
        std::function<void()> leave;
    } cases[] = {
        {"a transfer announced as 4 GiB",
         [&] { host.sendFrame(FakeUsbHost::frame(DEV_DEP_MSG_OUT, 1, 0xFFFFFFFFu, 1, "Q:old"), 0); }},
        {"half a header", [&] { host.sendFrame(FakeUsbHost::frame(DEV_DEP_MSG_OUT, 1, 8, 1, "").substr(0, 5), 0); }},
        {"a reply it asked for and never read",
         [&] {
             host.sendOut("Q:old", true);
             host.requestIn(64, 7);
         }},
        {"a reply it never asked for", [&] { host.sendOut("Q:old", true); }},
    };
    platform::UsbGadgetAttach attach(gadget, stUsbtmcDevInfo.as8DevName);
    ASSERT_TRUE(attach.listening());
    for (const auto& c : cases) {
        c.leave();
        // The ends of the host that leaves, as that host holds them.
        const int earlier[2] = {::dup(gadget.hostBulkFd()), ::dup(gadget.hostControlFd())};
        ASSERT_TRUE(usb_test::attachHost(platform::hostPath(stUsbtmcDevInfo.as8DevName))) << c.left;
        for (int end : earlier) {
            char byte;
            EXPECT_EQ(::recv(end, &byte, 1, MSG_DONTWAIT), 0) << c.left << ": an earlier host's end still open";
            EXPECT_LT(::send(end, "x", 1, MSG_NOSIGNAL), 0) << c.left;
            ::close(end);
        }
        EXPECT_EQ(host.control(FakeUsbHost::kReadStatusByte, 1).at(0), USBTMC_STATUS_SUCCESS) << c.left;
        // Had an old reply been waiting, this request would fetch it.
        host.requestIn(64, 9);
        EXPECT_EQ(query("Q:new"), "new") << c.left;
    }
}

TEST_F(UsbtmcTransport, StartStopStartJoinsThreads) {
    size_t loads = gadget.moduleCommands().size();
    EXPECT_EQ(halUsbtmcDevInitWithArgs("MV4000001", "MV412E", 8459), 0);
    EXPECT_EQ(gadget.moduleCommands().size(), loads) << "no second reload while running";
    for (int round = 0; round < 3; ++round) {
        halUsbtmcDevClose();
        EXPECT_FALSE(stUsbtmcDevInfo.thBulk.joinable());
        EXPECT_FALSE(stUsbtmcDevInfo.thCtl.joinable());
        EXPECT_EQ(stUsbtmcDevInfo.s32Fd, -1);
        ASSERT_EQ(halUsbtmcDevInitWithArgs("MV4000001", "MV412E", 8459), 0);
        EXPECT_EQ(query("Q:round"), "round");
        EXPECT_EQ(host.control(64), std::vector<uint8_t>{1});
    }
}

TEST_F(UsbtmcTransport, IdleThreadsWaitWithoutSpinning) {
    auto cpuMs = [](std::thread& th) {
        clockid_t id;
        timespec t = {};
        EXPECT_EQ(pthread_getcpuclockid(th.native_handle(), &id), 0);
        clock_gettime(id, &t);
        return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
    };
    double bulk = cpuMs(stUsbtmcDevInfo.thBulk);
    double ctl = cpuMs(stUsbtmcDevInfo.thCtl);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(cpuMs(stUsbtmcDevInfo.thBulk) - bulk, 30.0);
    EXPECT_LT(cpuMs(stUsbtmcDevInfo.thCtl) - ctl, 30.0);
}

TEST_F(UsbtmcTransport, ModuleParametersAreCheckedWords) {
    std::string tmc = platform::hostPath("/vorna/driver/usbtmc_dev.ko");
    std::string tooLong(65, 'S');
    struct Case {
        const char* serial;
        const char* product;
        int productId;
        std::vector<std::string> insmod;
    } cases[] = {
        {"MV4000001", "MV412", 8458, {"insmod", tmc, "iSerialNum=MV4000001", "iProductDesc=MV412", "ProductId=8458"}},
        {"AB\"; reboot; \"", "MV412E", -1,
         {"insmod", tmc, "iSerialNum=TX7100001", "iProductDesc=MV412E", "ProductId=42159"}},
        {"A-b_c.9", "two words", 70000,
         {"insmod", tmc, "iSerialNum=A-b_c.9", "iProductDesc=TX7100", "ProductId=42159"}},
        {tooLong.c_str(), "", 8459,
         {"insmod", tmc, "iSerialNum=TX7100001", "iProductDesc=TX7100", "ProductId=8459"}},
    };
    for (const Case& c : cases) {
        halUsbtmcDevClose();
        ASSERT_EQ(halUsbtmcDevInitWithArgs(c.serial, c.product, c.productId), 0);
        EXPECT_EQ(gadget.moduleCommands().back(), c.insmod) << c.serial;
    }
}

TEST_F(UsbtmcTransport, FailedModuleLoadLeavesItClosed) {
    halUsbtmcDevClose();
    gadget.failModuleLoads(true);
    EXPECT_EQ(halUsbtmcDevInitWithArgs("MV4000001", "MV412E", 8459), -1);
    EXPECT_EQ(stUsbtmcDevInfo.s32Fd, -1);
    EXPECT_FALSE(stUsbtmcDevInfo.thBulk.joinable());
    gadget.failModuleLoads(false);
}

TEST_F(UsbtmcTransport, EndOfControlEventsEndsOnlyTheControlThread) {
    gadget.hangUpControl();
    EXPECT_EQ(query("Q:still"), "still");
}

// A control event source that cannot be opened or bound ends only the
// control thread, with the line of the step that failed.
TEST_F(UsbtmcTransport, FailedControlEventSourceLogsItsStep) {
    struct Case {
        bool openFails;
        const char* line;
        const char* notLine;
    } cases[] = {
        {true, "create socket error", "bind() error"},
        {false, "bind() error", "create socket error"},
    };
    for (const Case& c : cases) {
        halUsbtmcDevClose();
        gadget.failEventOpen(c.openFails);
        gadget.failEventBind(!c.openFails);
        testing::internal::CaptureStderr();
        ASSERT_EQ(halUsbtmcDevInitWithArgs("MV4000001", "MV412E", 8459), 0);
        EXPECT_EQ(query("Q:bulk"), "bulk");
        halUsbtmcDevClose();  // the control thread has ended: joined
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(c.line), std::string::npos) << err;
        EXPECT_EQ(err.find(c.notLine), std::string::npos) << err;
    }
    gadget.failEventOpen(false);
    gadget.failEventBind(false);
    ASSERT_EQ(halUsbtmcDevInitWithArgs("MV4000001", "MV412E", 8459), 0);
}

TEST_F(UsbtmcTransport, EngineAnswersEachMessageOnce) {
    halUsbtmcDevClose();
    stUsbtmcDevIO.fetch_out_data = halUsbtmcDevSendToSCPI;
    ASSERT_EQ(halUsbtmcDevInit(), 0);
    host.sendOut("*ESE 36\n", true);
    EXPECT_EQ(query("*ESE?;*ESE?\n"), "36;36\n");
    EXPECT_EQ(stUsbtmcDevIO.euLocalRemoteState.load(), LOCAL_REMOTE_STATE_REMS);
}

// Another client's message that keeps the message turn until opened. Its id
// is one that may wait, so that it runs on its client's worker.
constexpr unsigned int kOtherMessage = 0x20000c00;
struct {
    std::mutex mtx;
    std::condition_variable cv;
    bool entered = false, open = false;
} g_other;

int otherMessage(unsigned int, const google::protobuf::Map<int, Value>&, google::protobuf::Map<int, Value>*) {
    std::unique_lock<std::mutex> lock(g_other.mtx);
    g_other.entered = true;
    g_other.cv.notify_all();
    g_other.cv.wait_for(lock, std::chrono::minutes(1), [] { return g_other.open; });
    return 0;
}

// A clear stops the host's file operation: one waiting for its walk turn
// ends at once, one running finishes or stops. CHECK_CLEAR_STATUS answers
// pending while it has not ended, so that the host's next message, once the
// clear is done, is answered at once; another client's message that runs
// meanwhile does not hold it.
TEST_F(UsbtmcTransport, AClearIsDoneOnceTheHostsFileOperationHasEnded) {
    static std::once_flag bound;
    std::call_once(bound, [] {
        CFEM::instance()->bindManager(SINGLETON_PTR(StorageManage));
        CFEM::instance()->bindCallback(kOtherMessage, otherMessage);
    });
    SINGLETON_PTR(StorageCore)->DefaultFilePathSet(StorageRemotePath::kIntRoot);
    const std::string user = root.host(StorageRemotePath::kIntRoot), usb = root.host("/mnt/media_rw/udiskh");
    testing_support::writeFile(user + "/src/d/f", "f");
    std::filesystem::create_directories(usb);
    // A move to the stick is held once its copy is in place, until released.
    testing_support::FakeMedium medium(1ULL << 40);
    medium.crossDevice = true;
    std::atomic<bool> held{false};
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    SINGLETON_PTR(FileCore)->setBeforeSourceRemoval([&held, released] {
        held = true;
        released.wait();
    });
    // Set before the threads that use it start.
    halUsbtmcDevClose();
    stUsbtmcDevIO.fetch_out_data = halUsbtmcDevSendToSCPI;
    ASSERT_EQ(halUsbtmcDevInit(), 0);
    const std::vector<uint8_t> begun = {USBTMC_STATUS_SUCCESS}, pending = {USBTMC_STATUS_PENDING, 0},
                               done = {USBTMC_STATUS_SUCCESS, 0};
    // The answer CHECK_CLEAR_STATUS settles on, asked as a host asks.
    const auto settled = [&] {
        std::vector<uint8_t> answer;
        EXPECT_TRUE(testing_support::eventually([&] { return (answer = host.control(6)) != pending; }));
        return answer;
    };

    // Waiting for the one walk turn, which stays held here.
    for (bool otherRuns : {false, true}) {
        SCOPED_TRACE(otherRuns ? "another client's message runs" : "alone");
        size_t open = 0;
        for (auto it = std::filesystem::directory_iterator("/proc/self/fd"); it != std::filesystem::directory_iterator();
             ++it) {
            ++open;
        }
        testing_support::SoftLimit limit(open + 2 * walk_turns::kDescriptors);
        ASSERT_TRUE(limit.set());
        ASSERT_EQ(walk_turns::share(), 1u);
        const walk_turns::Turn turn;
        host.sendOut("MMEM:COPY \"INT:\\src\",\"INT:\\copy\"\n", true);
        ASSERT_TRUE(testing_support::eventually([] { return walk_turns::waiting() == 1; }));
        int other = 0;
        if (otherRuns) {
            ScpiManage::instance().ApiScpi_PostExecute(scpi_test::listOf({kOtherMessage}), nullptr, &other);
            std::unique_lock<std::mutex> lock(g_other.mtx);
            ASSERT_TRUE(g_other.cv.wait_for(lock, scpi_test::kWait, [] { return g_other.entered; }));
        }
        EXPECT_EQ(host.control(5), begun);
        EXPECT_EQ(settled(), done);
        if (otherRuns) {
            std::lock_guard<std::mutex> lock(g_other.mtx);
            g_other.open = true;
            g_other.cv.notify_all();
        }
        EXPECT_EQ(query("*ESE?\n"), "0\n");
        EXPECT_EQ(walk_turns::waiting(), 0u);
    }
    EXPECT_FALSE(std::filesystem::exists(user + "/copy"));

    // Running: past its last check, the move finishes, and the clear is
    // pending until it has.
    host.sendOut("MMEM:MOVE \"INT:\\src\",\"USB:\\src\"\n", true);
    ASSERT_TRUE(testing_support::eventually([&] { return held.load(); }));
    EXPECT_EQ(host.control(5), begun);
    EXPECT_EQ(host.control(6), pending);
    release.set_value();
    EXPECT_EQ(settled(), done);
    EXPECT_EQ(query("*ESE?\n"), "0\n");
    EXPECT_TRUE(std::filesystem::exists(usb + "/src/d/f"));
    EXPECT_FALSE(std::filesystem::exists(user + "/src"));
    // Its threads joined, nothing runs the seam any more.
    halUsbtmcDevClose();
    SINGLETON_PTR(FileCore)->setBeforeSourceRemoval(nullptr);
}

} // namespace
