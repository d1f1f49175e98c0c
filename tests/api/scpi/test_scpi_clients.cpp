// Lists that wait, per client: one client's wait holds up no other client, a
// message runs whole, a client that has left waits for nothing and what it
// sent takes turns with the others, what a client may queue is bounded, and
// each wait keeps its own client's reading time-out.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "CDataManage.h"
#include "DrvScpiErrDef.h"
#include "ListWait.h"
#include "scpi_engine_env.h"
#include "../../platform/eventually.h"

using scpi_test::EngineTest;
using scpi_test::Replies;
using ValueMap = google::protobuf::Map<int, Value>;

namespace {

// Ids the engine takes for handlers that may wait: their lists go to their
// client's worker.
constexpr unsigned int kWaitingQuery = 0x20002200;
constexpr unsigned int kWaitingCommand = 0x10000F01;
constexpr unsigned int kRead = 0x2000060F;  // the acquisition's reader
constexpr unsigned int kMayWait = 0x20000C00;  // may wait, lends nothing: here it returns at once
// Of no table: a list of these alone runs on the first poller.
constexpr unsigned int kRecord = 0x10009901;  // notes its tag
constexpr unsigned int kHold = 0x10009902;    // runs until its gate opens, without waiting as handlers do
constexpr int kGateKey = 1;
constexpr int kTagKey = 2;

// Gates the waiting query holds at, by number, and what its waits saw.
struct Gates {
    std::mutex mtx;
    std::condition_variable cv;
    std::map<int, bool> open;
    std::map<int, bool> entered;
    std::map<int, uint32_t> timeoutMs;  // the reading time-out its wait saw
    std::map<int, bool> gate0OpenAtEntry;
    std::map<int, bool> cancelled;  // its list's waits were ended
    std::map<int, bool> holding;    // a hold not yet over

    void reset() {
        std::lock_guard<std::mutex> lock(mtx);
        open.clear();
        entered.clear();
        cancelled.clear();
        holding.clear();
        timeoutMs.clear();
        gate0OpenAtEntry.clear();
    }
    // Waits until opened or its list's waits are ended: true when opened.
    bool pass(int gate) {
        // Waits as a handler does: other clients' messages run meanwhile.
        ListWait::Waiting waiting;
        std::unique_lock<std::mutex> lock(mtx);
        entered[gate] = true;
        gate0OpenAtEntry[gate] = open[0];
        timeoutMs[gate] = ListWait::readTimeoutMsHere(CDataManage::kReadTimeoutMs);
        cv.notify_all();
        const auto deadline = std::chrono::steady_clock::now() + scpi_test::kWait;

        // The cancellation is a flag of the list, not an event of this gate:
        // looked at every millisecond.
        while (!open[gate] && !ListWait::cancelledHere() && std::chrono::steady_clock::now() < deadline) {
            cv.wait_for(lock, std::chrono::milliseconds(1));
        }
        cancelled[gate] = ListWait::cancelledHere();
        return open[gate];
    }
    void release(int gate) {
        std::lock_guard<std::mutex> lock(mtx);
        open[gate] = true;
        cv.notify_all();
    }
    // A command that takes long without waiting: it keeps its message's turn.
    void hold(int gate) {
        std::unique_lock<std::mutex> lock(mtx);
        entered[gate] = true;
        holding[gate] = true;
        cv.notify_all();
        cv.wait_for(lock, scpi_test::kWait, [&] { return open[gate]; });
        holding[gate] = false;
    }
    // Whether a hold at `gate` still keeps its message's turn (it gives up after kWait).
    bool holds(int gate) {
        std::lock_guard<std::mutex> lock(mtx);
        return holding[gate];
    }
    bool waitEntered(int gate) {
        std::unique_lock<std::mutex> lock(mtx);
        return cv.wait_for(lock, scpi_test::kWait, [&] { return entered[gate]; });
    }
};

Gates gates;
std::atomic<int> commandsRun{0};

// The tags of kRecord, in the order they ran.
struct Recorded {
    std::mutex mtx;
    std::vector<int> tags;
    std::vector<int> all() {
        std::lock_guard<std::mutex> lock(mtx);
        return tags;
    }
} recorded;

structScpiInfo command(unsigned int id, int key, int value) {
    structScpiInfo cmd = scpi_test::listOf({id}).front();
    insertS32(cmd.params, key, value);
    return cmd;
}
structScpiInfo record(int tag) { return command(kRecord, kTagKey, tag); }
structScpiInfo holdAt(int gate) { return command(kHold, kGateKey, gate); }
structScpiInfo fileJobAt(int gate) { return command(kWaitingCommand, kGateKey, gate); }
// Sends a list to its client's worker without waiting there itself.
structScpiInfo toWorker() { return scpi_test::listOf({kMayWait}).front(); }

std::vector<structScpiInfo> waitAt(int gate, unsigned int id = kWaitingQuery) {
    std::vector<structScpiInfo> cmds = scpi_test::listOf({id});
    cmds.front().query = true;
    insertS32(cmds.front().params, kGateKey, gate);
    return cmds;
}

// Replies that a test can wait for.
struct Awaited : Replies {
    std::condition_variable cv;
    ScpiManage::ReplyFn sink() {
        return [this](std::string reply) {
            std::lock_guard<std::mutex> lock(mtx);
            texts.push_back(std::move(reply));
            cv.notify_all();
        };
    }
    bool waitFor(size_t count) {
        std::unique_lock<std::mutex> lock(mtx);
        return cv.wait_for(lock, scpi_test::kWait, [&] { return texts.size() >= count; });
    }
};

class ClientsTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        static std::once_flag once;
        std::call_once(once, [] {
            for (unsigned int id : {kWaitingQuery, kRead}) {
                CFEM::instance()->bindCallback(id, [](unsigned int, const ValueMap& in, ValueMap* out) {
                    // Ended unopened it still answers: a reply that reaches
                    // its client is the engine's doing.
                    insertStr(*out, 1, gates.pass(in.at(kGateKey).s32val()) ? "done" : "ended");
                    return 0;
                });
            }
            // A file job: the engine lends the turn while it runs; with a
            // gate it runs until that opens, whoever has left meanwhile.
            CFEM::instance()->bindCallback(kWaitingCommand, [](unsigned int, const ValueMap& in, ValueMap*) {
                ++commandsRun;
                if (in.count(kGateKey) != 0) gates.hold(in.at(kGateKey).s32val());
                return 0;
            });
            CFEM::instance()->bindCallback(kMayWait, [](unsigned int, const ValueMap&, ValueMap*) { return 0; });
            CFEM::instance()->bindCallback(kRecord, [](unsigned int, const ValueMap& in, ValueMap*) {
                std::lock_guard<std::mutex> lock(recorded.mtx);
                recorded.tags.push_back(in.at(kTagKey).s32val());
                return 0;
            });
            CFEM::instance()->bindCallback(kHold, [](unsigned int, const ValueMap& in, ValueMap*) {
                gates.hold(in.at(kGateKey).s32val());
                return 0;
            });
        });
        gates.reset();
        {
            std::lock_guard<std::mutex> lock(recorded.mtx);
            recorded.tags.clear();
        }
        commandsRun = 0;
    }
    void TearDown() override {
        for (int gate = 0; gate < 4; ++gate) gates.release(gate);
        ScpiManage::instance().setInPlaceTime(ScpiManage::kInPlaceTime);
    }

    static void post(std::vector<structScpiInfo> cmds, ScpiManage::ReplyFn deliver, const void* client,
                     ListWait::Timeout timeout = nullptr) {
        ScpiManage::instance().ApiScpi_PostExecute(std::move(cmds), std::move(deliver), client, std::move(timeout));
    }
    // Posts a list behind the client's others and returns once it has run.
    static void runAfter(const void* client) {
        Awaited done;
        post(waitAt(3), done.sink(), client);
        gates.release(3);
        EXPECT_TRUE(done.waitFor(1));
    }
};

}  // namespace

// Client A's list waits at a gate that only the test opens. Another client's
// waiting list answers meanwhile; a client that leaves gets no answer and no
// query of its runs, while its commands still do, in order.
TEST_F(ClientsTest, AWaitHoldsUpOnlyItsOwnClient) {
    int a = 0, b = 0;
    Awaited ofA, ofB;
    post(waitAt(0), ofA.sink(), &a);
    ASSERT_TRUE(gates.waitEntered(0));
    gates.release(1);
    post(waitAt(1), ofB.sink(), &b);
    ASSERT_TRUE(ofB.waitFor(1)) << "the other client waits behind the first one's wait";
    EXPECT_EQ(ofB.all(), std::vector<std::string>{"done\n"});
    EXPECT_TRUE(ofA.all().empty());
    gates.release(0);
    ASSERT_TRUE(ofA.waitFor(1));
    EXPECT_EQ(ofA.all(), std::vector<std::string>{"done\n"});
}

// The one acquisition has one reader at a time: another client's read takes
// its turn after the first one's, rather than being refused.
// A message that reads takes its turn whole: the second one's setting up runs
// after the first one has ended, while other messages run meanwhile.
TEST_F(ClientsTest, ReadsOfTwoClientsTakeTurns) {
    int a = 0, b = 0, c = 0;
    Awaited ofA, ofB;
    std::vector<structScpiInfo> readOfA = waitAt(0, kRead), readOfB = waitAt(1, kRead);
    readOfA.insert(readOfA.begin(), record(1));
    readOfB.insert(readOfB.begin(), record(2));
    post(readOfA, ofA.sink(), &a);
    ASSERT_TRUE(gates.waitEntered(0));
    gates.release(1);
    post(readOfB, ofB.sink(), &b);
    ASSERT_TRUE(testing_support::eventually([] { return ScpiManage::instance().readersWaiting() == 1; }))
        << "the second read does not wait for its turn";
    post({record(3)}, nullptr, &c);
    ASSERT_TRUE(testing_support::eventually([] { return recorded.all().size() == 2; }))
        << "a message that does not read waits behind a read";
    EXPECT_EQ(recorded.all(), (std::vector<int>{1, 3})) << "the second reader set up while the first one read";
    gates.release(0);
    ASSERT_TRUE(ofA.waitFor(1));
    ASSERT_TRUE(ofB.waitFor(1));
    std::lock_guard<std::mutex> lock(gates.mtx);
    EXPECT_TRUE(gates.gate0OpenAtEntry[1]) << "the second read began while the first one waited";
}

TEST_F(ClientsTest, AGoneClientsCommandsRunButItsQueriesAndWaitsEnd) {
    int a = 0;
    Replies ofA;
    post(waitAt(0), ofA.sink(), &a);
    ASSERT_TRUE(gates.waitEntered(0));
    std::vector<structScpiInfo> later = waitAt(2);
    later.push_back(scpi_test::listOf({kWaitingCommand}).front());
    post(later, ofA.sink(), &a);
    post(scpi_test::listOf({kWaitingCommand}), ofA.sink(), &a);
    ScpiManage::instance().ApiScpi_ClientGone(&a);
    runAfter(&a);
    // A list posted after the client left runs on a worker of its own, beside
    // the one of those that have left: what it left has run once both end.
    ASSERT_TRUE(testing_support::eventually([] { return ScpiManage::instance().clientsWithLists() == 0; }));
    EXPECT_EQ(commandsRun.load(), 2);
    std::lock_guard<std::mutex> lock(gates.mtx);
    EXPECT_FALSE(gates.entered[2]) << "a query of a gone client ran";
    EXPECT_FALSE(gates.open[0]);
    EXPECT_TRUE(gates.cancelled[0]) << "the gone client's wait went on";
    EXPECT_TRUE(ofA.all().empty());
}

// No other client's command runs between two commands of a message that do
// not wait, even when that message runs on a worker.
TEST_F(ClientsTest, AMessageRunsWhole) {
    int a = 0, b = 0;
    post({record(1), holdAt(0), record(2), toWorker()}, nullptr, &a);
    ASSERT_TRUE(gates.waitEntered(0));
    post({record(3)}, nullptr, &b);
    ASSERT_TRUE(scpi_test::drainFirstPoller());
    EXPECT_EQ(recorded.all(), std::vector<int>{1}) << "another client's command ran inside the message";
    gates.release(0);
    runAfter(&b);
    EXPECT_EQ(recorded.all(), (std::vector<int>{1, 2, 3}));
}

// A message run in place on the first poller that runs long goes on on its
// client's worker with the message turn: the poller serves again, no other
// client's command runs between the message's commands, and its one reply
// joins both parts, or is dropped by its client's abort.
TEST_F(ClientsTest, AMessageRunLongInPlaceGoesOnWithItsTurn) {
    const struct {
        const char* name;
        bool aborted;
        std::vector<int> order;
        std::vector<std::string> replies;
    } cases[] = {
        {"to its end", false, {1, 2, 3, 9}, {"0;0\n"}},
        {"stopped by its client", true, {1, 2, 9}, {}},
    };
    int a = 0, b = 0;
    for (const auto& t : cases) {
        SCOPED_TRACE(t.name);
        gates.reset();
        ScpiManage::instance().setInPlaceTime(ScpiManage::kInPlaceTime);
        {
            std::lock_guard<std::mutex> lock(recorded.mtx);
            recorded.tags.clear();
        }
        std::vector<structScpiInfo> cmds = parse("*SRE?\n");
        for (const structScpiInfo& cmd : {record(1), holdAt(0), record(2), holdAt(1), record(3)}) {
            cmds.push_back(cmd);
        }
        cmds.push_back(cmds.front());
        Awaited replies;
        toolkit::EventPoller::Instance().async([&] { post(cmds, replies.sink(), &a); }, false);
        ASSERT_TRUE(gates.waitEntered(0));
        post({record(9)}, nullptr, &b);
        ASSERT_TRUE(testing_support::eventually([] { return ScpiManage::instance().turnWaiting() == 1; }));
        // Its time in place is over before its next command.
        ScpiManage::instance().setInPlaceTime(std::chrono::microseconds(0));
        gates.release(0);
        ASSERT_TRUE(gates.waitEntered(1));
        EXPECT_TRUE(scpi_test::drainFirstPoller()) << "the rest of the message holds the first poller";
        EXPECT_EQ(recorded.all(), (std::vector<int>{1, 2})) << "another client's command ran inside the message";
        if (t.aborted) ScpiManage::instance().ApiScpi_Abort(&a);
        gates.release(1);
        for (const void* client : {&a, &b}) ASSERT_TRUE(scpi_test::drainEngine(client));
        EXPECT_EQ(recorded.all(), t.order);
        EXPECT_EQ(replies.all(), t.replies);
    }
}

// A query of a client that left while it waited for the reader's turn does
// not run once it gets the turn.
TEST_F(ClientsTest, AGoneClientsReadWaitingForItsTurnNeverRuns) {
    int a = 0, b = 0;
    post(waitAt(0, kRead), nullptr, &a);
    ASSERT_TRUE(gates.waitEntered(0));
    gates.release(2);
    post(waitAt(2, kRead), nullptr, &b);
    ASSERT_TRUE(testing_support::eventually([] { return ScpiManage::instance().readersWaiting() == 1; }));
    ScpiManage::instance().ApiScpi_ClientGone(&b);
    gates.release(0);
    runAfter(&b);
    std::lock_guard<std::mutex> lock(gates.mtx);
    EXPECT_FALSE(gates.entered[2]) << "the gone client's read ran";
}

// What a client sent before it left still runs, in its order, but each of
// its lists takes its place in line as it comes to run: a message another
// client sends meanwhile waits for one of them, not for all.
TEST_F(ClientsTest, AGoneClientsListsTakeTurnsWithOthers) {
    int a = 0, c = 0;
    post(waitAt(0), nullptr, &a);
    ASSERT_TRUE(gates.waitEntered(0));
    post({holdAt(1), toWorker()}, nullptr, &a);
    post({record(7), toWorker()}, nullptr, &a);
    post({record(8), toWorker()}, nullptr, &a);
    ScpiManage::instance().ApiScpi_ClientGone(&a);
    ASSERT_TRUE(gates.waitEntered(1));
    post({record(3)}, nullptr, &c);
    ASSERT_TRUE(testing_support::eventually([] { return ScpiManage::instance().turnWaiting() == 1; }));
    gates.release(1);
    runAfter(&c);
    ASSERT_TRUE(testing_support::eventually([] { return recorded.all().size() == 3; }));
    EXPECT_EQ(recorded.all(), (std::vector<int>{3, 7, 8}));
}

// A client that leaves while others wait in line for the turn stops no one:
// its lists keep the places they have, the others theirs.
TEST_F(ClientsTest, AClientThatLeavesTheLineStopsNoOne) {
    const struct {
        const char* name;
        bool tookBackAfterAWait;  // else it waited for its first take
    } cases[] = {{"waiting for the turn", false}, {"taking it back after a wait", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        gates.reset();
        {
            std::lock_guard<std::mutex> lock(recorded.mtx);
            recorded.tags.clear();
        }
        int holder = 0, b = 0, a = 0;
        if (c.tookBackAfterAWait) {
            post(waitAt(0), nullptr, &a);
            ASSERT_TRUE(gates.waitEntered(0));
        }
        post({holdAt(1), toWorker()}, nullptr, &holder);
        ASSERT_TRUE(gates.waitEntered(1));
        post({record(1)}, nullptr, &b);
        if (c.tookBackAfterAWait) {
            gates.release(0);
        } else {
            post({record(2)}, nullptr, &a);
        }
        ASSERT_TRUE(testing_support::eventually([] { return ScpiManage::instance().turnWaiting() == 2; }));
        ScpiManage::instance().ApiScpi_ClientGone(&a);
        ASSERT_TRUE(scpi_test::drainFirstPoller());
        gates.release(1);
        runAfter(&b);
        // What the one that left handed over runs on the worker of those that
        // have left, beside b's: both asked on their workers, either may have
        // asked first.
        ASSERT_TRUE(testing_support::eventually([] { return ScpiManage::instance().clientsWithLists() == 0; }));
        std::vector<int> ran = recorded.all();
        std::sort(ran.begin(), ran.end());
        EXPECT_EQ(ran, c.tookBackAfterAWait ? std::vector<int>{1} : (std::vector<int>{1, 2}));
    }
}

// While a gone client's file job runs, other clients run as if it were
// still connected; its lists after the job still run in order.
TEST_F(ClientsTest, AGoneClientsFileJobHoldsNoOne) {
    int a = 0, c = 0;
    post({fileJobAt(0)}, nullptr, &a);
    ASSERT_TRUE(gates.waitEntered(0));
    post({record(7), toWorker()}, nullptr, &a);
    ScpiManage::instance().ApiScpi_ClientGone(&a);
    ASSERT_TRUE(scpi_test::drainFirstPoller());
    Awaited ofC;
    post({record(3)}, nullptr, &c);
    post(waitAt(2), ofC.sink(), &c);
    gates.release(2);
    ASSERT_TRUE(ofC.waitFor(1)) << "another client waits for a gone client's file job";
    EXPECT_EQ(recorded.all(), std::vector<int>{3});
    gates.release(0);
    ASSERT_TRUE(testing_support::eventually([] { return recorded.all().size() == 2; }));
    EXPECT_EQ(recorded.all(), (std::vector<int>{3, 7}));
}

// A list stopped by its client's clear, or left by a gone client with
// nothing more to run, ends at once without the turn, while another
// client's message holds it; one with a setting left still runs it after.
TEST_F(ClientsTest, AnEndedListWaitsForNoOnesMessage) {
    enum Where { InItsWait, TakingItBack, BeforeItsFirstTake };
    const struct {
        const char* name;
        Where where;
        bool gone;         // else its client's clear
        bool settingLeft;  // after its wait
    } cases[] = {
        {"cleared in its wait", InItsWait, false, true},
        {"cleared in line to take it back", TakingItBack, false, true},
        {"cleared in line for its first take", BeforeItsFirstTake, false, true},
        {"gone in its wait, nothing left", InItsWait, true, false},
        {"gone in its wait, a setting left", InItsWait, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        gates.reset();
        {
            std::lock_guard<std::mutex> lock(recorded.mtx);
            recorded.tags.clear();
        }
        int a = 0, holder = 0, b = 0;
        std::vector<structScpiInfo> ofA = waitAt(0);
        if (c.settingLeft) ofA.push_back(record(7));
        if (c.where != BeforeItsFirstTake) {
            post(ofA, nullptr, &a);
            ASSERT_TRUE(gates.waitEntered(0));
        }
        post({holdAt(1), record(9), toWorker()}, nullptr, &holder);
        ASSERT_TRUE(gates.waitEntered(1));
        if (c.where == TakingItBack) gates.release(0);
        if (c.where == BeforeItsFirstTake) post({record(7), toWorker()}, nullptr, &a);
        if (c.where != InItsWait) {
            ASSERT_TRUE(testing_support::eventually([] { return ScpiManage::instance().turnWaiting() == 1; }));
        }
        if (c.gone) {
            ScpiManage::instance().ApiScpi_ClientGone(&a);
        } else {
            ScpiManage::instance().ApiScpi_Abort(&a);
        }
        const bool endsAtOnce = !c.gone || !c.settingLeft;
        if (endsAtOnce) {
            ASSERT_TRUE(testing_support::eventually([&] { return !ScpiManage::instance().ApiScpi_ClientBusy(&a); }));
            EXPECT_TRUE(recorded.all().empty()) << "it ended only after the other message";
        }
        gates.release(1);
        ASSERT_TRUE(testing_support::eventually([&] { return !ScpiManage::instance().ApiScpi_ClientBusy(&a); }));
        runAfter(&b);
        EXPECT_EQ(recorded.all(), endsAtOnce ? std::vector<int>{9} : (std::vector<int>{9, 7}));
    }
}

// Past its bound a client's list is refused, and the client can tell; the
// errors of what it sent that ran nothing take no place of its lists.
TEST_F(ClientsTest, WhatOneClientQueuesIsBounded) {
    const struct {
        const char* name;
        size_t reports;  // error reports posted behind its first list
        std::vector<std::string> errors;
    } cases[] = {
        {"lists only", 0, {"-363"}},
        {"behind reports of errors", 3, {"-113", "-113", "-113", "-363"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ask("*CLS\n");
        gates.reset();
        commandsRun = 0;
        int a = 0;
        post(waitAt(0), nullptr, &a);
        ASSERT_TRUE(gates.waitEntered(0));
        for (size_t i = 0; i < c.reports; ++i) {
            ScpiManage::instance().ApiScpi_PostErrors(&a, {ScpiRefusal{0, E113_UNDIFINED_HEADER_NOT_FOUND_KEYWORD}});
        }
        for (size_t i = 1; i < ScpiStrand::kMaxQueuedPerClient; ++i) {
            post(scpi_test::listOf({kWaitingCommand}), nullptr, &a);
        }
        Awaited last;
        post(waitAt(3), last.sink(), &a);  // fills the queue
        post(scpi_test::listOf({kWaitingCommand}), nullptr, &a);
        ASSERT_TRUE(scpi_test::drainFirstPoller());
        gates.release(3);
        gates.release(0);
        ASSERT_TRUE(last.waitFor(1));
        // Reported in the client's turn, after its lists.
        ASSERT_TRUE(scpi_test::drainEngine(&a));
        EXPECT_EQ(commandsRun.load(), static_cast<int>(ScpiStrand::kMaxQueuedPerClient) - 1);
        std::vector<std::string> errors;
        for (std::string e = ask("SYST:ERR?\n"); e.rfind("0,", 0) != 0; e = ask("SYST:ERR?\n")) {
            errors.push_back(e.substr(0, e.find(',')));
            ASSERT_LT(errors.size(), 20u);
        }
        EXPECT_EQ(errors, c.errors);
    }
}

// What clients that have left still run is served by one worker, whether
// they left before handing their lists over (a reset connection's rest),
// with lists queued (a destroyed link, a replaced USB host) or while a list
// of theirs waited with a setting after its wait, and bounded for all of
// them together: a client's lists beyond are dropped, and so are its later
// ones, so that what runs of each is what it sent up to a point.
TEST_F(ClientsTest, WhatClientsThatLeftLeaveIsBoundedAndServedByOneWorker) {
    constexpr int kClients = 6, kLists = 100;  // above the bound together
    enum Leaves { BeforeItsLists, WithListsQueued, InAWait };
    const struct {
        const char* name;
        Leaves leaves;
    } cases[] = {
        {"clients that left before handing their lists over", BeforeItsLists},
        {"clients that leave with lists queued", WithListsQueued},
        {"clients that leave while a list of theirs waits", InAWait},
    };
    for (const auto& t : cases) {
        SCOPED_TRACE(t.name);
        gates.reset();
        {
            std::lock_guard<std::mutex> lock(recorded.mtx);
            recorded.tags.clear();
        }
        int holder = 0;
        int clients[kClients] = {};
        // Each has begun and waits, having lent the turn, before the holder takes it.
        for (int i = 0; i < kClients && t.leaves == InAWait; ++i) {
            std::vector<structScpiInfo> waits = waitAt(i + 1);
            waits.push_back(record(i * 1000));
            post(waits, nullptr, &clients[i]);
            ASSERT_TRUE(gates.waitEntered(i + 1));
        }
        post({holdAt(0), toWorker()}, nullptr, &holder);
        ASSERT_TRUE(gates.waitEntered(0));
        const auto backlog = [&](int i, int from, int to) {
            for (int k = from; k < to; ++k) post({record(i * 1000 + k)}, nullptr, &clients[i]);
        };
        for (int i = 0; i < kClients; ++i) {
            if (t.leaves == BeforeItsLists) {
                ScpiManage::instance().ApiScpi_ClientGone(&clients[i]);
                ScpiManage::instance().ApiScpi_PostForGone(&clients[i], [&] { backlog(i, 0, kLists); });
            } else if (t.leaves == InAWait) {
                backlog(i, 1, kLists);  // behind the setting after its wait
            } else {
                // Its first list waits in line on its worker; once it has
                // left, that list too goes to the worker of those that left.
                backlog(i, 0, kLists);
            }
        }
        for (int i = 0; i < kClients && t.leaves != BeforeItsLists; ++i) {
            ScpiManage::instance().ApiScpi_ClientGone(&clients[i]);
        }
        // The holder's worker and the one of those that left, while the
        // holder still holds the turn: a list whose wait ended as its client
        // left does not wait for the turn on its client's worker.
        EXPECT_TRUE(testing_support::eventually(
            [] { return ScpiManage::instance().clientsWithLists() <= 2 && gates.holds(0); }))
            << ScpiManage::instance().clientsWithLists() << " workers, the holder "
            << (gates.holds(0) ? "holding" : "gave up");
        EXPECT_TRUE(recorded.all().empty());
        // One more that leaves with a few lists, the queue full: the
        // longest backlog makes room.
        int newcomer = 0;
        ScpiManage::instance().ApiScpi_ClientGone(&newcomer);
        ScpiManage::instance().ApiScpi_PostForGone(&newcomer, [&] {
            for (int k = 0; k < 2; ++k) post({record(kClients * 1000 + k)}, nullptr, &newcomer);
        });
        gates.release(0);
        for (int i = 0; i < kClients; ++i) ASSERT_TRUE(scpi_test::drainEngine(&clients[i]));
        ASSERT_TRUE(scpi_test::drainEngine(&newcomer));
        // A list more of each: it runs only after all of that client's ran.
        for (int i = 0; i < kClients; ++i) {
            ScpiManage::instance().ApiScpi_PostForGone(&clients[i], [&] { backlog(i, kLists, kLists + 1); });
            ASSERT_TRUE(scpi_test::drainEngine(&clients[i]));
        }
        std::map<int, std::vector<int>> ran;
        size_t total = 0;
        for (int tag : recorded.all()) {
            ran[tag / 1000].push_back(tag % 1000);
            total += tag % 1000 < kLists ? 1 : 0;
        }
        // The one taken out to run was not queued.
        EXPECT_LE(total, ScpiStrand::kMaxLeftBehind + 1);
        EXPECT_GE(total, ScpiStrand::kMaxLeftBehind);
        EXPECT_EQ(ran[kClients].size(), 2u);
        for (const auto& of : ran) {
            const std::vector<int>& lists = of.second;
            for (size_t k = 0; k < lists.size(); ++k) {
                ASSERT_EQ(lists[k], static_cast<int>(k)) << "client " << of.first << " ran with a gap";
            }
        }
        // What ran or was dropped leaves nothing behind: a table of hundreds
        // of lists gone holds pieces of the heap that the allocator cannot
        // hand back.
        EXPECT_TRUE(testing_support::eventually([] { return ScpiManage::instance().ticketsKnown() == 0; }))
            << ScpiManage::instance().ticketsKnown() << " lists still known";
    }
}

// A read waiting for its turn behind another client's read waits no longer
// than its own client's time-out: then its reads do not run, the message
// queues one -365 as a read that timed out, and the rest of it runs.
TEST_F(ClientsTest, AReadWaitsForItsTurnNoLongerThanItsTimeout) {
    int a = 0, b = 0;
    Awaited ofA, ofB;
    post(waitAt(0, kRead), ofA.sink(), &a);
    ASSERT_TRUE(gates.waitEntered(0));
    std::vector<structScpiInfo> reads = waitAt(1, kRead);
    reads.push_back(waitAt(1, kRead).front());
    reads.push_back(waitAt(2).front());
    gates.release(2);
    post(reads, ofB.sink(), &b, std::make_shared<std::atomic<uint32_t>>(50));
    ASSERT_TRUE(ofB.waitFor(1)) << "it waited for the other client's read";
    EXPECT_EQ(ofB.all(), std::vector<std::string>{"done\n"});
    gates.release(0);
    ASSERT_TRUE(ofA.waitFor(1));
    {
        std::lock_guard<std::mutex> lock(gates.mtx);
        EXPECT_FALSE(gates.entered[1]) << "a read ran without its turn";
    }
    EXPECT_EQ(ask("SYST:ERR?\n"), "-365,\"Time out error\"\n");
    EXPECT_EQ(ask("SYST:ERR?\n"), "0,\"No error\"\n");
}

// Each wait keeps its own client's reading time-out, read as it begins.
TEST_F(ClientsTest, EachWaitHasItsClientsReadTimeout) {
    auto ofLink = std::make_shared<std::atomic<uint32_t>>(1);
    const struct {
        const char* name;
        ListWait::Timeout timeout;
        uint32_t setBefore;
        uint32_t expected;
    } cases[] = {
        {"a client with its own", ofLink, 1, 1},
        {"after it changed", ofLink, 60000, 60000},
        {"a client without one", nullptr, 60000, CDataManage::kReadTimeoutMs},
    };
    int client = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        gates.reset();
        ofLink->store(c.setBefore);
        gates.release(0);
        Awaited replies;
        post(waitAt(0), replies.sink(), &client, c.timeout);
        ASSERT_TRUE(replies.waitFor(1));
        std::lock_guard<std::mutex> lock(gates.mtx);
        EXPECT_EQ(gates.timeoutMs[0], c.expected);
    }
}

// A client's backlog takes turns: each of its lists asks for the turn once
// the one before it has run, so another client's message waits for one of
// them, not for all (lists posted off the first poller, as VXI-11 and USBTMC
// post theirs). Clients that have left share one seat in the line: a
// connected client waits for one list of theirs at a time, however many
// have left.
TEST_F(ClientsTest, BacklogsTakeTurnsAndClientsThatLeftShareOneSeat) {
    int a = 0, b = 0, c = 0, holder = 0;
    enum Leaves { Stays, BeforeItsLists, WhileInLine };
    const struct {
        const char* name;
        Leaves leaves;
        std::vector<int> order;
    } cases[] = {
        {"a connected client's backlog", Stays, {1, 9, 2, 3, 4}},
        {"backlogs of two clients that left", BeforeItsLists, {1, 9, 3, 2, 4}},
        {"two clients that leave while their lists wait in line", WhileInLine, {1, 9, 3, 2, 4}},
    };
    for (const auto& t : cases) {
        SCOPED_TRACE(t.name);
        gates.reset();
        {
            std::lock_guard<std::mutex> lock(recorded.mtx);
            recorded.tags.clear();
        }
        post({holdAt(0), toWorker()}, nullptr, &holder);
        ASSERT_TRUE(gates.waitEntered(0));
        auto backlog = [&](const void* client, std::vector<int> tags) {
            for (int tag : tags) post({record(tag)}, nullptr, client);
        };
        // Lists of clients that left before handing them over wait in
        // line one at a time: they are served by one worker.
        const size_t inLine = t.leaves == WhileInLine ? 2 : 1;
        // One client's first list in line before the other's: their
        // workers would race for it.
        auto inLineAfter = [](size_t count) {
            return testing_support::eventually([count] { return ScpiManage::instance().turnWaiting() == count; });
        };
        if (t.leaves == BeforeItsLists) {
            ScpiManage::instance().ApiScpi_ClientGone(&a);
            ScpiManage::instance().ApiScpi_ClientGone(&c);
            ScpiManage::instance().ApiScpi_PostForGone(&a, [&] { backlog(&a, {1, 2}); });
            ASSERT_TRUE(inLineAfter(1));
            ScpiManage::instance().ApiScpi_PostForGone(&c, [&] { backlog(&c, {3, 4}); });
        } else if (t.leaves == WhileInLine) {
            backlog(&a, {1, 2});
            ASSERT_TRUE(inLineAfter(1));
            backlog(&c, {3, 4});
        } else {
            backlog(&a, {1, 2, 3, 4});
        }
        ASSERT_TRUE(inLineAfter(inLine));
        post({record(9)}, nullptr, &b);
        ASSERT_TRUE(inLineAfter(inLine + 1));
        if (t.leaves == WhileInLine) {
            ScpiManage::instance().ApiScpi_ClientGone(&a);
            ScpiManage::instance().ApiScpi_ClientGone(&c);
        }
        gates.release(0);
        for (const void* client : {&a, &b, &c}) ASSERT_TRUE(scpi_test::drainEngine(client));
        // The connected client's message waits for one list of theirs;
        // between two clients that left, whoever asks first goes first.
        std::vector<int> ran = recorded.all();
        ASSERT_EQ(ran.size(), t.order.size());
        // Where each list came in the order they ran (no clock: the order
        // is what the turns promise).
        const auto rank = [&ran](int tag) { return std::find(ran.begin(), ran.end(), tag) - ran.begin(); };
        // A list of theirs that waited in line on its own worker may give
        // up its place there for the worker of those that left.
        EXPECT_LE(rank(9), 1) << "the connected client's message waited for more than one list of theirs";
        EXPECT_TRUE(rank(1) < rank(2) && rank(3) < rank(4)) << "a client's lists ran out of its order";
        if (t.leaves == Stays) {
            EXPECT_EQ(ran, t.order);
        }
    }
}

// What a client sent that runs nothing (a message that does not parse, an
// ABORt's refusals, a list beyond its bound) reports its errors in that
// client's turn: another client's message in line before it runs whole, and
// its *CLS cannot erase them (queued at once, they were, or landed between
// its *CLS and its SYST:ERR?).
TEST_F(ClientsTest, ErrorsOfAMessageThatRunsNothingComeInItsClientsTurn) {
    const struct {
        const char* text;
        std::vector<std::string> errors;
    } cases[] = {
        {"NO:SUCH:HEADER\n", {"-113", "-100"}},
        {"ABOR;NO:SUCH:HEADER\n", {"-113"}},
    };
    int x = 0, holder = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        ask("*CLS\n");
        gates.reset();
        post({holdAt(0), toWorker()}, nullptr, &holder);
        ASSERT_TRUE(gates.waitEntered(0));
        Awaited other;
        const std::string message = "*CLS;SYST:ERR?\n";
        ScpiManage::instance().ApiScpi_ProcessMessage(message.data(), static_cast<uint32_t>(message.size()),
                                                      other.sink());
        ASSERT_TRUE(testing_support::eventually([] { return ScpiManage::instance().turnWaiting() == 1; }));
        ScpiManage::instance().ApiScpi_ProcessMessage(c.text, static_cast<uint32_t>(std::strlen(c.text)), nullptr,
                                                      &x);
        gates.release(0);
        ASSERT_TRUE(other.waitFor(1));
        EXPECT_EQ(other.all(), std::vector<std::string>{"0,\"No error\"\n"});
        ASSERT_TRUE(scpi_test::drainEngine(&x));
        std::vector<std::string> errors;
        for (std::string e = ask("SYST:ERR?\n"); e.rfind("0,", 0) != 0; e = ask("SYST:ERR?\n")) {
            errors.push_back(e.substr(0, e.find(',')));
            ASSERT_LT(errors.size(), 20u);
        }
        EXPECT_EQ(errors, c.errors);
    }
}
