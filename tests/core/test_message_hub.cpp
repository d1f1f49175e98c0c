#include <gtest/gtest.h>

#include <future>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "CFEM.h"
#include "CThreadPool.h"
#include "DrvScpiErrDef.h"
#include "hub_fixture.h"

namespace {

using ValueMap = google::protobuf::Map<int, Value>;

// A manager made of the handlers a test gives it. Bindings are never removed,
// so managers live (leaked on purpose) as long as the process; tests use ids
// of their own (group 0xF0, which no real manager owns).
class TestManager : public Manager {
public:
    TestManager(std::string name, std::map<unsigned int, cb_func> handlers, std::function<void()> on_connect)
        : Manager(std::move(name)), _handlers(std::move(handlers)), _on_connect(std::move(on_connect)) {}
    void getCallbacks(std::map<unsigned int, cb_func>& entries) override {
        entries.insert(_handlers.begin(), _handlers.end());
    }
    void onClientConnect() override { _on_connect ? _on_connect() : void(); }

private:
    std::map<unsigned int, cb_func> _handlers;
    std::function<void()> _on_connect;
};

bool bindTestManager(std::string name, std::map<unsigned int, cb_func> handlers,
                     std::function<void()> on_connect = {}) {
    return CFEM::instance()->bindManager(new TestManager(std::move(name), std::move(handlers), std::move(on_connect)));
}

cb_func answering(int result, const char* reply) {
    return [result, reply](unsigned int, const ValueMap&, ValueMap* out) {
        insertStr(*out, 1, reply);
        return result;
    };
}

// Things seen on another thread, waited for with a generous bound.
template <typename T>
struct Inbox {
    std::mutex mtx;
    std::condition_variable cv;
    std::vector<T> items;

    void put(T item) {
        std::lock_guard<std::mutex> lock(mtx);
        items.push_back(std::move(item));
        cv.notify_all();
    }
    size_t size() {
        std::lock_guard<std::mutex> lock(mtx);
        return items.size();
    }
    std::vector<T> waitFor(size_t count) {
        std::unique_lock<std::mutex> lock(mtx);
        cv.wait_for(lock, std::chrono::seconds(20), [&] { return items.size() >= count; });
        return items;
    }
};

using MessageHub = testing_support::HubTest;

} // namespace

// A handler's result comes back as it is, with what it wrote. A failure
// beeps once per request and queues its row's text: none for results outside
// the table or a row without text. An unbound id answers 2, leaves the
// caller's map alone and queues -101.
TEST_F(MessageHub, ResultsBeepAndQueueTheirRow) {
    bindTestManager("result_manager",
                    {{0x1000F010, answering(0, "r")}, {0x1000F011, answering(E109_MISSING_PARAMETER, "r")},
                     {0x1000F020, answering(200, "r")}, {0x1000F021, answering(-1, "r")},
                     {0x1000F022, answering(133, "r")}, {0x1000F023, answering(130, "r")}});
    const char* const kUnbound = "-101,\"Invalid character\"";
    const struct {
        unsigned int id;
        int result;
        std::vector<std::string> errors;
        const char* log;
    } cases[] = {
        {0x1000F010, 0, {}, nullptr},
        {0x1000F011, 8, {"-109,\"Missing parameter\""}, "MID(HEX)=0x1000f011, MID(EDC)=268496913, exec error(8)\n"},
        {0x1000F020, 200, {}, nullptr},
        {0x1000F021, -1, {}, "MID(HEX)=0x1000f021, MID(EDC)=268496929, exec error(-1)\n"},
        {0x1000F022, 133, {}, nullptr},
        {0x1000F023, 130, {}, nullptr},
        {0x1000F001, 2, {kUnbound}, "MID(HEX)=0x1000f001, MID(EDC)=268496897, not bind\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.id);
        DrvScpi_SmInitial();
        const unsigned long before = beeps();
        ValueMap in, out;
        insertS32(out, 9, 42);
        EXPECT_EQ(CFEM::handleMessage(0, c.id, in, &out), c.result);
        EXPECT_EQ(out.size(), c.result == 2 ? 1u : 2u);
        EXPECT_EQ(beeps() - before, c.result == 0 ? 0u : 1u);
        EXPECT_EQ((esr() & SCP_ESR_EXE) != 0, c.result != 0);
        EXPECT_EQ((stb() & SCP_STB_ERR_QUEUE) != 0, !c.errors.empty());
        EXPECT_EQ(drainErrors(), c.errors);
        EXPECT_TRUE(c.log == nullptr || logged(c.log)) << c.log;
    }

    // The source reaches the handler unchanged; without a reply map the handler still runs.
    std::atomic<unsigned int> source{0};
    bindTestManager("source_manager", {{0x1000F012, [&source](unsigned int from, const ValueMap&, ValueMap*) {
                                            source = from;
                                            return 0;
                                        }}});
    ValueMap in;
    EXPECT_EQ(CFEM::handleMessage(9, 0x1000F012, in, nullptr), 0);
    EXPECT_EQ(source.load(), 9u);

    // A handler that throws fails its command; nothing leaves the hub.
    bindTestManager("throwing_manager", {{0x1000F013, [](unsigned int, const ValueMap&, ValueMap*) -> int {
                                              throw std::bad_alloc();
                                          }}});
    EXPECT_EQ(CFEM::handleMessage(2, 0x1000F013, in, nullptr), E200_EXECUTION_ERROR);
    EXPECT_EQ(drainErrors(), std::vector<std::string>{"-200,\"Execution error\""});

    // A row without text still marks lost errors when the queue is about to fill.
    for (int i = 0; i < 19; ++i) {
        SCP_WriteErrorQueue(g_asErrInfo[E200_EXECUTION_ERROR]);
    }
    ValueMap out;
    EXPECT_EQ(CFEM::handleMessage(0, 0x1000F023, in, &out), 130);
    auto errors = drainErrors();
    ASSERT_EQ(errors.size(), 20u);
    EXPECT_EQ(errors.back(), "-350,\"Queue overflow\"");
}

TEST_F(MessageHub, DuplicateBindingKeepsTheFirstHandler) {
    EXPECT_TRUE(bindTestManager("first_manager", {{0x1000F030, answering(0, "first")}}));
    EXPECT_TRUE(bindTestManager("second_manager",
                                {{0x1000F030, answering(0, "second")}, {0x1000F031, answering(0, "own")}}));
    EXPECT_FALSE(CFEM::instance()->bindCallback(0x1000F030, answering(0, "third")));
    EXPECT_TRUE(logged("bindCallback error code=268496944"));

    ValueMap in, out;
    EXPECT_EQ(CFEM::handleMessage(0, 0x1000F030, in, &out), 0);
    EXPECT_EQ(out.at(1).strval(), "first");
    out.clear();
    // The second manager's other ids are bound all the same.
    EXPECT_EQ(CFEM::handleMessage(0, 0x1000F031, in, &out), 0);
    EXPECT_EQ(out.at(1).strval(), "own");
}

TEST_F(MessageHub, ClientConnectRunsEveryManagerInBindingOrderOnThePool) {
    auto seen = std::make_shared<Inbox<std::pair<std::string, std::string>>>();
    for (const char* name : {"connect_a", "connect_b", "connect_c"}) {
        std::string who = name;
        bindTestManager(who, {}, [seen, who] {
            char thread[64] = {0};
            pthread_getname_np(pthread_self(), thread, sizeof(thread));
            seen->put({who, thread});
        });
    }
    CFEM::FEM_ClientConnect();
    auto calls = seen->waitFor(3);
    ASSERT_EQ(calls.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(calls[i].first, std::string("connect_") + char('a' + i));
        EXPECT_EQ(calls[i].second.rfind("thread pool", 0), 0u) << calls[i].second;
    }
}

TEST_F(MessageHub, PushIsDeliveredAsAFlaggedDataPackOnTheNotifyThread) {
    auto packs = std::make_shared<Inbox<std::pair<DataPack, std::string>>>();
    CFEM::setNotifySink([packs](const DataPack& pack) {
        char thread[64] = {0};
        pthread_getname_np(pthread_self(), thread, sizeof(thread));
        packs->put({pack, thread});
    });
    CThreadPool::instance()->async(
        [] {
            ValueMap payload;
            insertS32(payload, ON_SCPI_CMD_SET_CHANGED, 2);
            insertStr(payload, 7, "text");
            CFEM::pushMessage(ON_SCPI_CMD_SET_CHANGED, std::move(payload));
        },
        false);
    auto got = packs->waitFor(1);
    CFEM::setNotifySink(nullptr);
    ASSERT_EQ(got.size(), 1u);
    const DataPack& pack = got[0].first;
    EXPECT_EQ(got[0].second, "notify");
    EXPECT_EQ(static_cast<uint32_t>(pack.code()), 0x80000000u | 2314u);
    EXPECT_EQ(pack.stat(), 0);
    ASSERT_EQ(pack.data().size(), 2u);
    EXPECT_EQ(pack.data().at(ON_SCPI_CMD_SET_CHANGED).s32val(), 2);
    EXPECT_EQ(pack.data().at(7).strval(), "text");
}

// A sink that holds the delivery of notification 0 until released; every
// notification it sees goes to `seen` by its key 0.
std::shared_ptr<Inbox<int>> holdingSink(std::shared_future<void> released, int slow_every = 0) {
    auto seen = std::make_shared<Inbox<int>>();
    CFEM::setNotifySink([seen, released, slow_every](const DataPack& pack) {
        int value = pack.data().at(0).s32val();
        if (value == 0) {
            released.wait();
        }
        // A slow sink widens the window in which pushes could overtake.
        if (slow_every != 0 && value % slow_every == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        seen->put(value);
    });
    return seen;
}

void pushNumbered(int value) {
    ValueMap payload;
    insertS32(payload, 0, value);
    CFEM::pushMessage(UPDATE_MEASURE_DATA, std::move(payload));
}

// Pushes from pool workers and from outside the pool, interleaved, reach the
// sink in push order.
TEST_F(MessageHub, NotificationsArriveInPushOrder) {
    constexpr int kPushes = 2000;
    std::promise<void> release;
    release.set_value();
    auto seen = holdingSink(release.get_future().share(), 100);
    auto done = std::make_shared<Inbox<int>>();
    for (int i = 0; i < kPushes; ++i) {
        if (i % 3 == 0) {
            // Waited for, so that the push order is the order of i.
            CThreadPool::instance()->async([i, done] { pushNumbered(i); done->put(i); }, false);
            done->waitFor(static_cast<size_t>(i / 3 + 1));
        } else {
            pushNumbered(i);
        }
    }
    auto got = seen->waitFor(kPushes);
    CFEM::setNotifySink(nullptr);
    ASSERT_EQ(got.size(), static_cast<size_t>(kPushes));
    for (int i = 0; i < kPushes; ++i) {
        ASSERT_EQ(got[i], i) << "notification " << i << " overtaken";
    }
}

// The measurement loop pushes from a pool worker: it must never wait for a
// delivery under way, whatever that delivery is doing.
TEST_F(MessageHub, APushNeverWaitsForADeliveryUnderWay) {
    std::promise<void> release;
    auto seen = holdingSink(release.get_future().share());
    pushNumbered(0);  // its delivery holds the notify thread
    auto pushed = std::make_shared<Inbox<int>>();
    CThreadPool::instance()->async([pushed] { pushNumbered(1); pushed->put(1); }, false);
    EXPECT_EQ(pushed->waitFor(1).size(), 1u);
    pushNumbered(2);
    EXPECT_EQ(seen->size(), 0u);
    release.set_value();
    auto got = seen->waitFor(3);
    CFEM::setNotifySink(nullptr);
    EXPECT_EQ(got, (std::vector<int>{0, 1, 2}));
}

// Remote control binds while UI clients may already be calling in.
TEST_F(MessageHub, LookupsDuringBindingSeeEitherNothingOrTheHandler) {
    constexpr unsigned int kFirst = 0x1000F100;
    constexpr unsigned int kCount = 64;
    std::map<unsigned int, cb_func> handlers;
    for (unsigned int i = 0; i < kCount; ++i) {
        handlers[kFirst + i] = answering(0, "bound");
    }
    std::atomic<bool> go{false}, bound{false};
    std::atomic<int> odd_results{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 3; ++t) {
        callers.emplace_back([&, t] {
            while (!go) {
                std::this_thread::yield();
            }
            ValueMap in;
            for (unsigned int round = 0; round < 4 * kCount && !(bound && round >= kCount); ++round) {
                ValueMap out;
                int r = CFEM::handleMessage(0, kFirst + (round * 7 + t) % kCount, in, &out);
                odd_results += r != 0 && r != 2;
                Manager::abort = (round % 2) == 0;
            }
        });
    }
    go = true;
    bindTestManager("late_manager", handlers);
    bound = true;
    for (auto& caller : callers) {
        caller.join();
    }
    EXPECT_EQ(odd_results.load(), 0);
    ValueMap in, out;
    for (unsigned int i = 0; i < kCount; ++i) {
        EXPECT_EQ(CFEM::handleMessage(0, kFirst + i, in, &out), 0);
    }
}
