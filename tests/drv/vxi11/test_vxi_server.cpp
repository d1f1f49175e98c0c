// The server over loopback with the system's RPC client: links, reads in
// chunks, the device lock, bounds, unsupported procedures, links of departed
// clients, the abort channel and the status byte.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <vector>

#include <arpa/inet.h>

#include "../../toolkit/test_socket_support.h"
#include "CDataManage.h"
#include "CFEM.h"
#include "DrvScpiErrDef.h"
#include "ListWait.h"
#include "Poller/EventPoller.h"
#include "Util/DescriptorLimit.h"
#include "ScpiReplyBudget.h"
#include "vxi_client.h"
#include "slow.h"
#include "turn_holder.h"

namespace {

using namespace vxi_test;
using namespace std::chrono;
using poller_test::waitUntil;
using socket_test::RawClient;

const auto* g_env = ::testing::AddGlobalTestEnvironment(new ServerEnv);

// Whether every list handed to the engine so far has run: the clients'
// messages take turns, so one posted later may run before another's.
bool engineSettled() {
    return waitUntil([] { return ScpiManage::instance().clientsWithLists() == 0; });
}

// What the engine answers to `text` through any transport, once what was
// handed to it before has run.
std::string engineReply(const std::string& text) {
    EXPECT_TRUE(engineSettled());
    auto reply = std::make_shared<std::promise<std::string>>();
    auto got = reply->get_future();
    ScpiManage::instance().ApiScpi_ProcessMessage(text.data(), static_cast<uint32_t>(text.size()),
                                                  [reply](std::string r) { reply->set_value(std::move(r)); });
    return got.wait_for(seconds(5)) == std::future_status::ready ? got.get() : std::string();
}

TEST(VxiServer, CreateLinkTakesOnlyTheInstrumentsName) {
    const struct {
        std::string name;
        int32_t error;
    } cases[] = {
        {"inst0", 0}, {"INST0", 0}, {"inst1", 1}, {"inst", 1}, {"gpib0,5", 1}, {std::string(300, 'i'), 1},
    };
    Client client;
    std::vector<int32_t> lids;
    for (const auto& c : cases) {
        Create_LinkResp r = client.createLink(c.name);
        EXPECT_EQ(r.error, c.error) << c.name;
        if (r.error == 0) {
            EXPECT_EQ(r.abortPort, vxiServicePort(true));
            EXPECT_EQ(r.maxRecvSize, 65536u);
            lids.push_back(r.lid);
        }
    }
    // Two links on one connection are two links.
    ASSERT_EQ(lids.size(), 2u);
    EXPECT_NE(lids[0], lids[1]);
    for (int32_t lid : lids) {
        EXPECT_EQ(client.onLink(vxi_proc::destroy_link, lid), 0);
        EXPECT_EQ(client.onLink(vxi_proc::destroy_link, lid), 4);
    }
}

TEST(VxiServer, QueryReplyIsReadOnceWithEnd) {
    const std::string idn = engineReply("*IDN?\n");
    ASSERT_FALSE(idn.empty());
    for (bool stream : {true, false}) {
        Client client(stream);
        Create_LinkResp link = client.createLink("inst0");
        ASSERT_EQ(link.error, 0);
        EXPECT_EQ(link.maxRecvSize, stream ? 65536u : 8800u);
        Device_WriteResp w = client.write(link.lid, "*IDN?\n");
        EXPECT_EQ(w.error, 0);
        EXPECT_EQ(w.size, 6u);
        ReadResult first = client.readReply(link.lid);
        EXPECT_EQ(first.error, 0);
        EXPECT_EQ(first.reason, VXI_REASON_END);
        EXPECT_EQ(first.data, idn);
        // Over TCP a read waits its time-out; over UDP it answers at once, as
        // then, and holds up no other datagram client.
        auto start = steady_clock::now();
        EXPECT_EQ(client.read(link.lid, 4096, 0, 0, stream ? 200 : 60000).error, 15);
        if (stream) {
            EXPECT_GE(steady_clock::now() - start, milliseconds(190));
        }
        client.onLink(vxi_proc::destroy_link, link.lid);
    }
}

TEST(VxiServer, ReadInChunksAndTermChar) {
    const std::string idn = engineReply("*IDN?\n");
    const struct {
        uint32_t requestSize;
        int32_t flags;
        char termChar;
        int32_t lastReason;
        char lastByte;
    } cases[] = {
        {4, 0, 0, VXI_REASON_END, '\n'},
        {4096, VXI_FLAG_TERMCHRSET, '\n', VXI_REASON_CHR | VXI_REASON_END, '\n'},
        {4096, VXI_FLAG_TERMCHRSET, '#', VXI_REASON_CHR | VXI_REASON_END, '#'},
        {static_cast<uint32_t>(idn.size()), 0, 0, VXI_REASON_END | VXI_REASON_REQCNT, '\n'},
    };
    Client client;
    int32_t lid = client.createLink("inst0").lid;
    for (const auto& c : cases) {
        ASSERT_EQ(client.write(lid, "*IDN?\n").error, 0);
        std::string got;
        ReadResult chunk;
        do {
            chunk = client.read(lid, c.requestSize, c.flags, c.termChar);
            ASSERT_EQ(chunk.error, 0);
            ASSERT_LE(chunk.data.size(), c.requestSize);
            got += chunk.data;
            if ((chunk.reason & VXI_REASON_END) == 0) {
                EXPECT_EQ(chunk.reason, VXI_REASON_REQCNT);
            }
        } while ((chunk.reason & VXI_REASON_END) == 0);
        EXPECT_EQ(chunk.reason, c.lastReason) << c.requestSize;
        EXPECT_EQ(got.substr(0, idn.size() - 1), idn.substr(0, idn.size() - 1));
        EXPECT_EQ(got.back(), c.lastByte);
    }
    client.onLink(vxi_proc::destroy_link, lid);
}

TEST(VxiServer, RepliesStayWithTheirLink) {
    Client a, b;
    int32_t la = a.createLink("inst0").lid;
    int32_t lb = b.createLink("inst0").lid;
    ASSERT_EQ(a.write(la, "*IDN?\n").error, 0);
    ASSERT_EQ(b.write(lb, "*ESE?\n").error, 0);  // leaves a's reply alone
    EXPECT_EQ(b.read(lb).data, "0\n");
    EXPECT_EQ(a.read(la).data, engineReply("*IDN?\n"));
    a.onLink(vxi_proc::destroy_link, la);
    b.onLink(vxi_proc::destroy_link, lb);
}

// A device clear empties its link's output, and a new message makes the
// answers of the link's earlier ones obsolete (query interrupted, -410): a
// reply whose list had ended before either but is delivered after it is
// dropped, as is one still unread or read in part; another link's reply
// still arrives.
TEST(VxiServer, ClearOrNewMessageDropsTheLinksEarlierReplies) {
    const struct {
        const char* name;
        bool late;   // a's first reply is delivered after the cut
        bool clear;  // the cut is a device clear, else a's next message
        int32_t readError;
        const char* data;   // what a's read then answers
        const char* error;  // the head of the error queue then
        bool readPart;      // a's client reads the first bytes of its reply before the cut
    } cases[] = {
        {"clear, reply late", true, true, 15, "", "0,", false},
        {"write, reply late", true, false, 0, "0\n", "-410,", false},
        {"write, reply unread", false, false, 0, "0\n", "-410,", false},
        {"write, reply read in part", false, false, 0, "0\n", "-410,", true},
    };
    const std::string idn = engineReply("*IDN?\n");
    for (const auto& c : cases) {
        engineReply("*CLS;*OPC?\n");
        auto entered = std::make_shared<std::promise<void>>();
        auto release = std::make_shared<std::promise<void>>();
        std::shared_future<void> released = release->get_future().share();
        auto holds = std::make_shared<std::atomic<bool>>(c.late);
        ScpiManage::instance().setDeliverySeam([entered, released, holds] {
            if (holds->exchange(false)) {  // the first reply only
                entered->set_value();
                released.wait_for(seconds(5));
            }
        });
        Client a, b;
        int32_t la = a.createLink("inst0").lid;
        int32_t lb = b.createLink("inst0").lid;
        ASSERT_EQ(a.write(la, "*IDN?\n").error, 0);
        if (c.late) {
            ASSERT_EQ(entered->get_future().wait_for(seconds(5)), std::future_status::ready);
        } else {
            ASSERT_TRUE(engineSettled());  // a's reply is queued
        }
        if (c.readPart) {
            ASSERT_EQ(a.read(la, 4).reason, VXI_REASON_REQCNT);
        }
        ASSERT_EQ(b.write(lb, "*ESE?\n").error, 0);  // queued behind a's list
        Device_Error cleared{-1};
        if (c.clear) {
            a.call(vxi_proc::device_clear, xdr_Device_GenericParms, Device_GenericParms{la, 0, 0, 100},
                   xdr_Device_Error, cleared);
            EXPECT_EQ(cleared.error, 0);
        } else {
            ASSERT_EQ(a.write(la, "*ESE?\n").error, 0);
        }
        release->set_value();
        ASSERT_TRUE(engineSettled());  // every list's reply is delivered
        ScpiManage::instance().setDeliverySeam(nullptr);
        ReadResult read = a.read(la, 4096, 0, 0, 0);
        EXPECT_EQ(read.error, c.readError) << c.name;
        EXPECT_EQ(read.data, c.data) << c.name;
        EXPECT_EQ(engineReply("SYST:ERR?\n").rfind(c.error, 0), 0u) << c.name;
        EXPECT_EQ(b.read(lb).data, "0\n");
        a.write(la, "*IDN?\n");
        EXPECT_EQ(a.read(la).data, idn);
        a.onLink(vxi_proc::destroy_link, la);
        b.onLink(vxi_proc::destroy_link, lb);
    }
}

// The -410 of an interrupted query comes in the turn of the message that
// interrupted it: another client's message posted before that runs whole
// first, and its *CLS leaves the -410 alone (queued on receipt, it was
// erased, or landed between another client's *CLS and its SYST:ERR?).
TEST(VxiServer, AnInterruptedQueryIsReportedInTheTurnOfTheNewMessage) {
    engineReply("*CLS;*OPC?\n");
    Client a;
    int32_t la = a.createLink("inst0").lid;
    ASSERT_EQ(a.write(la, "*IDN?\n").error, 0);
    ASSERT_TRUE(engineSettled());  // a's reply is queued unread
    // Another client's message holds the turn until released.
    testing_support::TurnHolder holder;
    ASSERT_TRUE(holder.hold());
    auto other = std::make_shared<std::promise<std::string>>();
    auto otherReply = other->get_future();
    const std::string text = "*CLS;SYST:ERR?\n";
    ScpiManage::instance().ApiScpi_ProcessMessage(text.data(), static_cast<uint32_t>(text.size()),
                                                  [other](std::string r) { other->set_value(std::move(r)); });
    ASSERT_TRUE(waitUntil([] { return ScpiManage::instance().turnWaiting() == 1; }));
    ASSERT_EQ(a.write(la, "*ESE?\n").error, 0);
    ASSERT_TRUE(waitUntil([] { return ScpiManage::instance().turnWaiting() == 2; }));
    holder.release();
    ASSERT_EQ(otherReply.wait_for(seconds(5)), std::future_status::ready);
    EXPECT_EQ(otherReply.get(), "0,\"No error\"\n");
    EXPECT_EQ(a.read(la).data, "0\n");
    EXPECT_EQ(engineReply("SYST:ERR?\n").rfind("-410,", 0), 0u);
    // A device clear between a message's first write and its last: the
    // clear dropped the reply, and the message owes nothing.
    ASSERT_EQ(a.write(la, "*IDN?\n").error, 0);
    ASSERT_TRUE(engineSettled());
    ASSERT_EQ(a.write(la, "*ES", 0).error, 0);
    Device_Error cleared{-1};
    a.call(vxi_proc::device_clear, xdr_Device_GenericParms, Device_GenericParms{la, 0, 0, 100}, xdr_Device_Error,
           cleared);
    ASSERT_EQ(a.write(la, "*ESE?\n").error, 0);
    EXPECT_EQ(a.read(la).data, "0\n");
    EXPECT_EQ(engineReply("SYST:ERR?\n"), "0,\"No error\"\n");
    a.onLink(vxi_proc::destroy_link, la);
}

// A trigger is the instrument's *TRG on that link: it acts after what the
// link wrote before it, as a *TRG in its next write would, and its errors go
// to the error queue (with nothing armed: -200) while the call succeeds;
// a link that may not act now gets the lock's error and triggers nothing.
// The first poller is held while both are sent: a trigger that jumped the
// link's order would act before the write's *CLS, which would clear it.
TEST(VxiServer, TriggerIsTheInstrumentsTrgInTheLinksOrder) {
    const struct {
        const char* name;
        bool otherHoldsLock;
        int32_t error;
        const char* status;  // *ESR?;SYST:ERR? afterwards
    } cases[] = {
        {"after the link's write, with *TRG's error", false, 0, "16;-200,\"Execution error\"\n"},
        {"not while another link holds the lock", true, 11, "0;0,\"No error\"\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        engineReply("*CLS;*ESR?\n");
        Client a, b;
        int32_t la = a.createLink("inst0").lid;
        int32_t lb = b.createLink("inst0").lid;
        if (c.otherHoldsLock) {
            ASSERT_EQ(b.lock(lb), 0);
        }
        auto release = std::make_shared<std::promise<void>>();
        std::shared_future<void> released = release->get_future().share();
        toolkit::EventPoller::Instance().async([released] { released.wait_for(seconds(5)); }, false);
        EXPECT_EQ(a.write(la, "*CLS\n").error, c.error);
        Device_Error r{-1};
        a.call(vxi_proc::device_trigger, xdr_Device_GenericParms, Device_GenericParms{la, 0, 0, 100}, xdr_Device_Error,
               r);
        EXPECT_EQ(r.error, c.error);
        release->set_value();
        EXPECT_EQ(engineReply("*ESR?;SYST:ERR?\n"), c.status);
        b.onLink(vxi_proc::destroy_link, lb);
        a.onLink(vxi_proc::destroy_link, la);
    }
}

// Whether the service-wide count of what clients hold comes to satisfy
// `holds` within 5 s (replies are made on the engine's thread, links end on
// the server's).
bool heldComes(const std::function<bool(uint64_t)>& holds) {
    return waitUntil([&] { return holds(ScpiReplyBudget::instance().held()); }, seconds(5));
}

// What a link holds for its client counts in the service-wide budget until
// the client takes it or it is dropped: a reply not read, the rest of a
// reply read in part (the link's buffer), input waiting for END.
TEST(VxiServer, WhatALinkHoldsCountsInTheBudgetUntilTakenOrDropped) {
    const struct {
        const char* name;
        std::function<void(Client&, int32_t)> hold;
        bool reply;  // a read takes it
    } holds[] = {
        {"unread reply", [](Client& c, int32_t lid) { EXPECT_EQ(c.write(lid, "*IDN?\n").error, 0); }, true},
        {"reply read in part", [](Client& c, int32_t lid) {
             EXPECT_EQ(c.write(lid, "*IDN?\n").error, 0);
             EXPECT_EQ(c.read(lid, 4).reason, VXI_REASON_REQCNT);
         }, true},
        {"input without END", [](Client& c, int32_t lid) { EXPECT_EQ(c.write(lid, "*CLS;", 0).error, 0); }, false},
    };
    const struct {
        const char* name;
        std::function<void(Client&, int32_t)> end;
        bool linkStays;
        bool onlyReplies;  // leaves input alone
    } ends[] = {
        {"device_read", [](Client& c, int32_t lid) { EXPECT_EQ(c.read(lid).reason & VXI_REASON_END, VXI_REASON_END); },
         true, true},
        {"device_write", [](Client& c, int32_t lid) { EXPECT_EQ(c.write(lid, "*CLS\n").error, 0); }, true, false},
        {"device_clear", [](Client& c, int32_t lid) {
             Device_Error r{-1};
             c.call(vxi_proc::device_clear, xdr_Device_GenericParms, Device_GenericParms{lid, 0, 0, 100},
                    xdr_Device_Error, r);
             EXPECT_EQ(r.error, 0);
         }, true, false},
        {"destroy_link", [](Client& c, int32_t lid) { EXPECT_EQ(c.onLink(vxi_proc::destroy_link, lid), 0); }, false,
         false},
        {"client gone", [](Client& c, int32_t) { c.disconnect(); }, false, false},
    };
    const uint64_t before = ScpiReplyBudget::instance().held();
    for (const auto& h : holds) {
        for (const auto& e : ends) {
            if (!h.reply && e.onlyReplies) {
                continue;
            }
            SCOPED_TRACE(std::string(h.name) + ", then " + e.name);
            Client client;
            int32_t lid = client.createLink("inst0").lid;
            h.hold(client, lid);
            EXPECT_TRUE(heldComes([before](uint64_t held) { return held > before; }));
            e.end(client, lid);
            EXPECT_TRUE(heldComes([before](uint64_t held) { return held == before; }));
            if (e.linkStays) {
                client.onLink(vxi_proc::destroy_link, lid);
            }
        }
    }
}

// Input waiting for END holds 1 MiB per link, and only the budget's free
// share while other clients hold the service's budget: a write beyond fails
// (error 17), drops the input and queues -363.
TEST(VxiServer, InputWithoutEndIsBoundedPerLinkAndByTheBudget) {
    const std::string piece(60000, ' ');
    const struct {
        bool spent;
        size_t taken;  // writes of `piece` taken before one fails
    } cases[] = {{false, (1u << 20) / 60000}, {true, ScpiReplyBudget::kFreeShare / 60000}};
    ScpiReplyBudget& budget = ScpiReplyBudget::instance();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.spent ? "budget spent" : "budget free");
        engineReply("*CLS;*OPC?\n");
        if (c.spent) {
            budget.hold(ScpiReplyBudget::kTotal + 1);
        }
        Client client;
        int32_t lid = client.createLink("inst0").lid;
        for (size_t i = 0; i < c.taken; ++i) {
            ASSERT_EQ(client.write(lid, piece, 0).error, 0) << i;
        }
        EXPECT_EQ(client.write(lid, piece, 0).error, 17);
        if (c.spent) {
            budget.release(ScpiReplyBudget::kTotal + 1);
        }
        EXPECT_EQ(engineReply("SYST:ERR?\n").substr(0, 5), "-363,");
        // The link goes on with the next message.
        ASSERT_EQ(client.write(lid, "*IDN?\n").error, 0);
        EXPECT_EQ(client.read(lid).data, engineReply("*IDN?\n"));
        client.onLink(vxi_proc::destroy_link, lid);
    }
}

// A command that waits until the test opens it or its list's waits are
// ended; it answers nothing either way.
constexpr unsigned int kHeldCommand = 0x10000F01;  // MMEM:DEL
struct HeldGate {
    std::mutex mtx;
    std::condition_variable cv;
    bool entered = false;
    bool open = false;

    void pass() {
        std::unique_lock<std::mutex> lock(mtx);
        entered = true;
        cv.notify_all();
        // The cancellation is a flag of the list, not an event of this gate.
        while (!open && !ListWait::cancelledHere()) {
            cv.wait_for(lock, milliseconds(1));
        }
    }
    bool hasEntered() {
        std::lock_guard<std::mutex> lock(mtx);
        return entered;
    }
};
HeldGate g_held;

int heldCommand(unsigned int, const google::protobuf::Map<int, Value>&, google::protobuf::Map<int, Value>*) {
    g_held.pass();
    return 0;
}

// A link has ScpiStrand::kMaxQueuedPerClient lists in the engine at most, the
// one running among them: a message or trigger beyond fails on its own call, with
// -363 queued, while an ABORt is still taken (and empties the link's queue).
TEST(VxiServer, AListBeyondTheLinksQueueFailsOnItsCall) {
    static constexpr char kOverrun[] = "-363,\"Input buffer overrun\"\n";
    static std::once_flag bound;
    std::call_once(bound, [] { CFEM::instance()->bindCallback(kHeldCommand, heldCommand); });
    const struct {
        const char* name;
        std::function<int32_t(Client&, int32_t)> call;
        int32_t error;
        const char* queued;  // SYST:ERR? afterwards
    } cases[] = {
        {"a write", [](Client& c, int32_t lid) { return c.write(lid, "*ESE 4\n").error; }, 17, kOverrun},
        {"a trigger", [](Client& c, int32_t lid) {
             Device_Error r{-1};
             c.call(vxi_proc::device_trigger, xdr_Device_GenericParms, Device_GenericParms{lid, 0, 0, 100},
                    xdr_Device_Error, r);
             return r.error;
         }, 17, kOverrun},
        {"an ABORt", [](Client& c, int32_t lid) { return c.write(lid, "ABOR\n").error; }, 0, "0,\"No error\"\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        engineReply("*CLS;*OPC?\n");
        {
            std::lock_guard<std::mutex> lock(g_held.mtx);
            g_held.entered = g_held.open = false;
        }
        Client client;
        int32_t lid = client.createLink("inst0").lid;
        ASSERT_EQ(client.write(lid, "MMEM:DEL \"x\"\n").error, 0);
        {
            std::unique_lock<std::mutex> lock(g_held.mtx);
            ASSERT_TRUE(g_held.cv.wait_for(lock, seconds(5), [] { return g_held.entered; }));
        }
        for (size_t i = 1; i < ScpiStrand::kMaxQueuedPerClient; ++i) {
            ASSERT_EQ(client.write(lid, "*ESE 0\n").error, 0) << i;
        }
        EXPECT_EQ(c.call(client, lid), c.error);
        {
            std::lock_guard<std::mutex> lock(g_held.mtx);
            g_held.open = true;
        }
        // Reported in the link's turn, after its lists.
        EXPECT_EQ(engineReply("SYST:ERR?\n"), c.queued);
        // The link takes messages again once its queue drains.
        ASSERT_TRUE(waitUntil([&] { return client.write(lid, "*IDN?\n").error == 0; }));
        EXPECT_EQ(client.readReply(lid).data, engineReply("*IDN?\n"));
        client.onLink(vxi_proc::destroy_link, lid);
    }
}

// A link's list stopped by device_clear, or left by destroy_link with
// nothing more to run, ends while another client's message (held at its gate,
// on its worker: its id may wait) keeps the turn: the link holds no place.
TEST(VxiServer, AClearedOrDestroyedLinksListWaitsForNoOne) {
    static constexpr unsigned int kOtherMessage = 0x20000c00;
    static HeldGate g_other;
    static std::once_flag bound;
    std::call_once(bound, [] {
        CFEM::instance()->bindCallback(kHeldCommand, heldCommand);
        CFEM::instance()->bindCallback(kOtherMessage, [](unsigned int, const google::protobuf::Map<int, Value>&,
                                                         google::protobuf::Map<int, Value>*) {
            g_other.pass();
            return 0;
        });
    });
    for (bool clearFirst : {true, false}) {
        SCOPED_TRACE(clearFirst ? "device_clear, then destroy_link" : "destroy_link");
        for (HeldGate* gate : {&g_held, &g_other}) {
            std::lock_guard<std::mutex> lock(gate->mtx);
            gate->entered = gate->open = false;
        }
        Client client;
        int32_t lid = client.createLink("inst0").lid;
        ASSERT_EQ(client.write(lid, "MMEM:DEL \"x\"\n").error, 0);
        ASSERT_TRUE(waitUntil([] { return g_held.hasEntered(); }));
        int other = 0;
        std::vector<structScpiInfo> held(1);
        held.front().funcID = kOtherMessage;
        ScpiManage::instance().ApiScpi_PostExecute(std::move(held), nullptr, &other);
        ASSERT_TRUE(waitUntil([] { return g_other.hasEntered(); }));
        if (clearFirst) {
            Device_Error cleared{-1};
            client.call(vxi_proc::device_clear, xdr_Device_GenericParms, Device_GenericParms{lid, 0, 0, 100},
                        xdr_Device_Error, cleared);
            EXPECT_EQ(cleared.error, 0);
        }
        EXPECT_EQ(client.onLink(vxi_proc::destroy_link, lid), 0);
        // Its departure is seen on the first poller.
        auto seen = std::make_shared<std::promise<void>>();
        toolkit::EventPoller::Instance().async([seen] { seen->set_value(); }, false);
        ASSERT_EQ(seen->get_future().wait_for(seconds(5)), std::future_status::ready);
        EXPECT_TRUE(waitUntil([] { return ScpiManage::instance().turnWaiting() == 0; }))
            << "the link's list waits for the other client's message";
        {
            std::lock_guard<std::mutex> lock(g_other.mtx);
            g_other.open = true;
        }
        EXPECT_FALSE(engineReply("*IDN?\n").empty());
    }
}

TEST(VxiServer, LinksServeOnlyTheConnectionThatMadeThem) {
    Client owner, other, datagram(false);
    int32_t lid = owner.createLink("inst0").lid;
    ASSERT_EQ(owner.write(lid, "*IDN?\n").error, 0);
    const struct {
        const char* name;
        std::function<int32_t(Client&)> call;
    } calls[] = {
        {"device_read", [lid](Client& c) { return c.read(lid, 4096, 0, 0, 100).error; }},
        {"device_write", [lid](Client& c) { return c.write(lid, "*RST\n").error; }},
        {"device_readstb", [lid](Client& c) { return c.readStb(lid).error; }},
        {"device_lock", [lid](Client& c) { return c.lock(lid); }},
        {"device_unlock", [lid](Client& c) { return c.onLink(vxi_proc::device_unlock, lid); }},
        {"device_clear", [lid](Client& c) {
             Device_Error r{-1};
             c.call(vxi_proc::device_clear, xdr_Device_GenericParms, Device_GenericParms{lid, 0, 0, 100},
                    xdr_Device_Error, r);
             return r.error;
         }},
        {"device_enable_srq", [lid](Client& c) {
             Device_Error r{-1};
             Device_EnableSrqParms p;
             p.lid = lid;
             c.call(vxi_proc::device_enable_srq, xdr_Device_EnableSrqParms, p, xdr_Device_Error, r);
             return r.error;
         }},
        {"destroy_link", [lid](Client& c) { return c.onLink(vxi_proc::destroy_link, lid); }},
    };
    for (Client* intruder : {&other, &datagram}) {
        for (const auto& c : calls) {
            EXPECT_EQ(c.call(*intruder), 4) << c.name;
        }
    }
    // The abort channel is a connection of its own and still reaches it.
    Client abortChannel(true, DEVICE_ASYNC);
    EXPECT_EQ(abortChannel.onLink(vxi_proc::device_abort, lid), 0);
    EXPECT_EQ(owner.read(lid).data, engineReply("*IDN?\n"));
    EXPECT_EQ(owner.onLink(vxi_proc::destroy_link, lid), 0);
}

TEST(VxiServer, MessageEndsWithTheWriteThatCarriesEnd) {
    Client client;
    int32_t lid = client.createLink("inst0").lid;
    EXPECT_EQ(client.write(lid, "*ID", 0).size, 3u);
    EXPECT_EQ(client.read(lid, 4096, 0, 0, 100).error, 15);
    EXPECT_EQ(client.write(lid, "N?\n").error, 0);
    EXPECT_EQ(client.read(lid).data, engineReply("*IDN?\n"));
    // A message that does not parse fails its write; its errors are queued.
    engineReply("*CLS;*OPC?\n");
    EXPECT_EQ(client.write(lid, "NO:SUCH:COMMAND\n").error, 17);
    EXPECT_EQ(engineReply("SYST:ERR?\n").substr(0, 5), "-113,");
    client.onLink(vxi_proc::destroy_link, lid);
}

TEST(VxiServer, LockMatrixOfTwoLinks) {
    Client a, b;
    int32_t la = a.createLink("inst0").lid;
    int32_t lb = b.createLink("inst0").lid;
    ASSERT_EQ(a.lock(la), 0);
    EXPECT_EQ(a.lock(la), 0);  // held already
    const struct {
        int32_t flags;
        uint32_t lockTimeout;
        milliseconds least;
    } waits[] = {{0, 500, milliseconds(0)}, {VXI_FLAG_WAITLOCK, 0, milliseconds(0)},
                 {VXI_FLAG_WAITLOCK, 500, milliseconds(450)}};
    for (const auto& w : waits) {
        auto start = steady_clock::now();
        EXPECT_EQ(b.write(lb, "*ESE 0\n", VXI_FLAG_END | w.flags, w.lockTimeout).error, 11);
        auto took = steady_clock::now() - start;
        EXPECT_GE(took, w.least);
        EXPECT_LT(took, w.least + milliseconds(400) * testing_support::kSlow);
    }
    EXPECT_EQ(b.lock(lb, VXI_FLAG_WAITLOCK, 100), 11);
    EXPECT_EQ(b.onLink(vxi_proc::device_unlock, lb), 12);
    EXPECT_EQ(b.createLink("inst0", false, 0).error, 11);  // no new link while locked
    EXPECT_EQ(a.onLink(vxi_proc::device_unlock, la), 0);
    EXPECT_EQ(a.onLink(vxi_proc::device_unlock, la), 12);
    EXPECT_EQ(b.lock(lb), 0);
    EXPECT_EQ(b.write(lb, "*ESE 0\n").error, 0);
    EXPECT_EQ(b.onLink(vxi_proc::destroy_link, lb), 0);  // releases the lock
    EXPECT_EQ(a.lock(la), 0);
    EXPECT_EQ(a.onLink(vxi_proc::destroy_link, la), 0);
}

TEST(VxiServer, ClientThatLeavesReleasesItsLock) {
    auto leaver = std::make_unique<Client>();
    Create_LinkResp held = leaver->createLink("inst0", true);
    ASSERT_EQ(held.error, 0);
    leaver->disconnect();
    Client next;
    Create_LinkResp link{};
    auto deadline = steady_clock::now() + seconds(5);
    do {
        link = next.createLink("inst0", false, 0);
    } while (link.error == 11 && steady_clock::now() < deadline);
    ASSERT_EQ(link.error, 0);
    EXPECT_NE(link.lid, held.lid);
    EXPECT_EQ(next.lock(link.lid), 0);
    EXPECT_EQ(next.onLink(vxi_proc::destroy_link, held.lid), 4);
    EXPECT_EQ(next.onLink(vxi_proc::destroy_link, link.lid), 0);
}

TEST(VxiServer, WritesAreBoundedPerTransportWhateverTheirFragments) {
    const struct {
        bool stream;
        size_t size;
        u_int sendSize;  // the client's fragment size (0: its default)
        int32_t error;   // 0: taken whole
    } cases[] = {{true, 65536, 4096, 0}, {true, 65537, 0, 5}, {true, 100000, 4096, 5}, {false, 8800, 0, 0},
                 {false, 8801, 0, 5}};
    for (const auto& c : cases) {
        Client client(c.stream, DEVICE_CORE, c.sendSize);
        int32_t lid = client.createLink("inst0").lid;
        std::string text(c.size, ' ');
        text.replace(0, 4, "*CLS");
        Device_WriteResp r = client.write(lid, text);
        EXPECT_EQ(r.error, c.error) << c.size;
        // The link still works.
        EXPECT_EQ(client.write(lid, "*IDN?\n").error, 0);
        EXPECT_EQ(client.readReply(lid).error, 0);
        client.onLink(vxi_proc::destroy_link, lid);
    }
}

TEST(VxiServer, OneClientHoldsABoundedShareOfLinksAndLeavesAtOnce) {
    auto greedy = std::make_unique<Client>();
    for (size_t i = 0; i < CVxiLinks::kMaxLinksPerClient; ++i) {
        ASSERT_EQ(greedy->createLink("inst0").error, 0) << i;
    }
    EXPECT_EQ(greedy->createLink("inst0").error, 9);
    Client other;
    Create_LinkResp link = other.createLink("inst0");
    EXPECT_EQ(link.error, 0);
    // Its links go without holding up the others.
    greedy->disconnect();
    auto start = steady_clock::now();
    EXPECT_EQ(other.readStb(link.lid).error, 0);
    EXPECT_LT(steady_clock::now() - start, milliseconds(200) * testing_support::kSlow);
    other.onLink(vxi_proc::destroy_link, link.lid);
}

// Whether the server answers the null procedure on `peer` within 5 s; when it
// does not, it must have ended the connection instead.
bool served(RawClient& peer) {
    // Mark, xid, call, RPC version 2, program, version, procedure 0, no credentials.
    const uint32_t call[] = {htonl(0x80000028), htonl(1), 0, htonl(2), htonl(DEVICE_CORE), htonl(DEVICE_VERSION),
                             0, 0, 0, 0, 0};
    EXPECT_TRUE(peer.connected());
    peer.sendAll(std::string(reinterpret_cast<const char*>(call), sizeof(call)));
    if (peer.readBytes(28, 5000).size() == 28) {
        return true;
    }
    EXPECT_TRUE(peer.waitClosed()) << "neither answered nor closed";
    return false;
}

// One address holds all but an eighth of the connections, so another address
// is served; beyond the cap every connection is closed at once, and a place
// given back is taken again.
TEST(VxiServer, ConnectionsBeyondTheirAddressShareOrTheCapAreClosedAtOnce) {
    const toolkit::AddressPlaces& places = vxiServicePlaces();
    const size_t cap = places.cap();
    ASSERT_EQ(cap, std::min(kVxiMaxConnections, toolkit::descriptorLimit() / 8));
    ASSERT_EQ(places.share(), cap - cap / 8);
    ASSERT_TRUE(waitUntil([&] { return places.used() == 0; }));  // earlier tests' connections
    const struct {
        const char* from;
        size_t count;
        bool served;
    } steps[] = {
        {"127.0.0.1", places.share(), true}, {"127.0.0.1", 2, false}, {"127.0.0.2", cap - places.share(), true},
        {"127.0.0.3", 2, false},
    };
    std::vector<std::unique_ptr<RawClient>> held;
    for (const auto& step : steps) {
        for (size_t i = 0; i < step.count; ++i) {
            auto peer = std::make_unique<RawClient>(vxiServicePort(true), false, step.from);
            ASSERT_EQ(served(*peer), step.served) << step.from << " " << i;
            if (step.served) {
                held.push_back(std::move(peer));
            }
        }
    }
    EXPECT_EQ(places.used(), cap);
    held.front().reset();
    ASSERT_TRUE(waitUntil([&] { return places.used() == cap - 1; }));
    {
        RawClient last(vxiServicePort(true), false, "127.0.0.3");
        EXPECT_TRUE(served(last));
    }
    held.clear();
    EXPECT_TRUE(waitUntil([&] { return places.used() == 0; }));
}

TEST(VxiServer, UnsupportedProceduresAnswerTheirErrors) {
    Client client;
    int32_t lid = client.createLink("inst0").lid;
    Device_DocmdResp docmd;
    docmd.error = -1;
    Device_DocmdParms cmd;
    cmd.lid = lid;
    ASSERT_EQ(client.call(vxi_proc::device_docmd, xdr_Device_DocmdParms, cmd, xdr_Device_DocmdResp, docmd),
              RPC_SUCCESS);
    EXPECT_EQ(docmd.error, 8);
    EXPECT_EQ(docmd.data_out.len, 0u);
    xdr_free(reinterpret_cast<xdrproc_t>(xdr_Device_DocmdResp), reinterpret_cast<char*>(&docmd));
    Device_Error intr{-1};
    client.call(vxi_proc::create_intr_chan, xdr_Device_RemoteFunc, Device_RemoteFunc{}, xdr_Device_Error, intr);
    EXPECT_EQ(intr.error, 8);
    client.call(vxi_proc::destroy_intr_chan, xdr_Device_Link, 0, xdr_Device_Error, intr);
    EXPECT_EQ(intr.error, 6);
    for (uint32_t proc : {vxi_proc::device_trigger, vxi_proc::device_clear, vxi_proc::device_remote,
                          vxi_proc::device_local}) {
        Device_Error r{-1};
        client.call(proc, xdr_Device_GenericParms, Device_GenericParms{lid, 0, 0, 100}, xdr_Device_Error, r);
        EXPECT_EQ(r.error, 0) << proc;
        client.call(proc, xdr_Device_GenericParms, Device_GenericParms{lid + 1000, 0, 0, 100}, xdr_Device_Error, r);
        EXPECT_EQ(r.error, 4) << proc;
    }
    client.onLink(vxi_proc::destroy_link, lid);
}

TEST(VxiServer, AbortFindsTheLinkByItsIdAndIsForgottenAfterwards) {
    Client core, other;
    int32_t lid = core.createLink("inst0").lid;
    int32_t otherLid = other.createLink("inst0").lid;
    Client abortChannel(true, DEVICE_ASYNC);
    EXPECT_EQ(abortChannel.onLink(vxi_proc::device_abort, lid), 0);
    EXPECT_EQ(abortChannel.onLink(vxi_proc::device_abort, lid + 1000), 4);
    // A later lock wait of the aborted link times out as any other.
    ASSERT_EQ(other.lock(otherLid), 0);
    EXPECT_EQ(core.lock(lid, VXI_FLAG_WAITLOCK, 50), 11);
    other.onLink(vxi_proc::destroy_link, otherLid);
    core.onLink(vxi_proc::destroy_link, lid);
}

TEST(VxiServer, StatusByteIsTheInstruments) {
    Client client;
    int32_t lid = client.createLink("inst0").lid;
    engineReply("*CLS;*ESE 0;*STB?\n");
    client.write(lid, "NO:SUCH:COMMAND\n");  // an error queued sets a bit
    ASSERT_TRUE(engineSettled());                // in the link's turn
    Device_ReadStbResp stb = client.readStb(lid);
    EXPECT_EQ(stb.error, 0);
    EXPECT_NE(stb.stb, 0);
    ASSERT_EQ(client.write(lid, "*STB?\n", VXI_FLAG_END, 0, UINT32_MAX).error, 0);
    ReadResult text = client.read(lid, 4096, 0, 0, UINT32_MAX);
    EXPECT_EQ(std::atoi(text.data.c_str()), stb.stb);
    client.onLink(vxi_proc::destroy_link, lid);
    EXPECT_EQ(client.readStb(lid).error, 4);
}

// HCOP:SDUM:DATA? stands for a reading query: run on its client's worker, as
// a query that may wait is, it answers the reading time-out its list sees.
// Held, it then waits until the test opens its gate, and when told to fail
// ends as a reading that never came (-365), answering nothing.
constexpr unsigned int kReadingQuery = 0x20002200;
using ValueMap = google::protobuf::Map<int, Value>;
struct ReadingQuery {
    HeldGate gate;
    std::atomic<bool> held{false};
    std::atomic<bool> fails{false};
    std::atomic<int64_t> seenMs{-1};

    void arm(bool hold, bool fail) {
        static std::once_flag bound;
        std::call_once(bound, [] { CFEM::instance()->bindCallback(kReadingQuery, answer); });
        std::lock_guard<std::mutex> lock(gate.mtx);
        gate.entered = gate.open = false;
        held = hold;
        fails = fail;
        seenMs = -1;
    }
    void open() {
        std::lock_guard<std::mutex> lock(gate.mtx);
        gate.open = true;
    }
    static int answer(unsigned int, const ValueMap&, ValueMap* out);
};
ReadingQuery g_reading;

int ReadingQuery::answer(unsigned int, const ValueMap&, ValueMap* out) {
    const uint32_t ms = ListWait::readTimeoutMsHere(CDataManage::kReadTimeoutMs);
    g_reading.seenMs = ms;
    if (g_reading.held) {
        g_reading.gate.pass();
        if (g_reading.fails) {
            return E365_TIME_OUT_ERROR;
        }
    }
    insertU32(*out, 1, ms);
    return 0;
}

// A link's query waits for its reading as long as the write that sent it
// asks (a VISA client writes before it reads), never under the time-out of
// an earlier read of the link, shorter or longer; a client's "forever" is
// clamped, a write that gives no time leaves the engine's own, and another
// client keeps the engine's own.
TEST(VxiServer, AQueryWaitsAsLongAsTheWriteThatSentItAsks) {
    const struct {
        const char* name;
        uint32_t earlierReadMs;  // a read that times out first (0: none)
        uint32_t writeMs;
        uint32_t seen;
    } cases[] = {
        {"an earlier read asked less", 300, 6000, 6000},
        {"an earlier read asked more", 300, 200, 200},
        {"a client's forever", 0, UINT32_MAX, CVxiCore::kMaxWaitMs},
        {"a write that gives no time", 0, 0, CDataManage::kReadTimeoutMs},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Client client;
        int32_t lid = client.createLink("inst0").lid;
        if (c.earlierReadMs != 0) {
            EXPECT_EQ(client.read(lid, 4096, 0, 0, c.earlierReadMs).error, 15);
        }
        g_reading.arm(false, false);
        ASSERT_EQ(client.write(lid, "HCOP:SDUM:DATA?\n", VXI_FLAG_END, 0, c.writeMs).error, 0);
        // Seen before the client's read could tell it anything.
        ASSERT_TRUE(waitUntil([] { return g_reading.seenMs.load() >= 0; }));
        EXPECT_EQ(g_reading.seenMs.load(), static_cast<int64_t>(c.seen));
        EXPECT_EQ(client.readReply(lid).data, std::to_string(c.seen) + "\n");
        client.onLink(vxi_proc::destroy_link, lid);
    }
    EXPECT_EQ(engineReply("HCOP:SDUM:DATA?\n"), std::to_string(CDataManage::kReadTimeoutMs) + "\n");
}

// A query whose read timed out, the client told so, and which then fails
// on its own time-out (-365) after the client's next message came, reports
// that one error: it left no reply to interrupt. A reply that came after
// the read but was not read is interrupted all the same (-410).
TEST(VxiServer, AQueryWhoseReadTimedOutReportsOneError) {
    const struct {
        const char* name;
        bool fails;
        std::vector<std::string> errors;  // the codes queued, in order
    } cases[] = {
        {"it fails after the next message came", true, {"-365"}},
        {"its reply came unread", false, {"-410"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        engineReply("*CLS;*OPC?\n");
        Client client;
        int32_t lid = client.createLink("inst0").lid;
        g_reading.arm(true, c.fails);
        ASSERT_EQ(client.write(lid, "HCOP:SDUM:DATA?\n").error, 0);
        ASSERT_TRUE(waitUntil([] { return g_reading.gate.hasEntered(); }));
        EXPECT_EQ(client.read(lid, 4096, 0, 0, 100).error, 15);
        if (!c.fails) {
            const uint64_t before = ScpiReplyBudget::instance().held();
            g_reading.open();
            ASSERT_TRUE(heldComes([before](uint64_t held) { return held > before; }));
        }
        ASSERT_EQ(client.write(lid, "*ESE?\n").error, 0);
        g_reading.open();
        EXPECT_EQ(client.readReply(lid).data, "0\n");
        std::vector<std::string> errors;
        for (std::string e = engineReply("SYST:ERR?\n"); e.rfind("0,", 0) != 0 && errors.size() < 20;
             e = engineReply("SYST:ERR?\n")) {
            errors.push_back(e.substr(0, e.find(',')));
        }
        EXPECT_EQ(errors, c.errors);
        client.onLink(vxi_proc::destroy_link, lid);
    }
}

}  // namespace
