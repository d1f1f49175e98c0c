#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <string>
#include <vector>

#include "CThreadPool.h"
#include "Poller/EventPollerPool.h"
#include "conn_test_env.h"
#include "slow.h"

using namespace conn_test;

namespace {

std::function<bool(const DataPack&)> notificationTagged(unsigned int tag) {
    return [tag](const DataPack& pack) {
        return pack.code() == kNotifyCode && pack.data().count(1) != 0 && pack.data().at(1).u32val() == tag;
    };
}

// Key 1: the tag; key 2, when given: a sequence number.
void pushTagged(unsigned int tag, int seq = -1) {
    ValueMap payload;
    insertU32(payload, 1, tag);
    if (seq >= 0) {
        insertU32(payload, 2, static_cast<unsigned int>(seq));
    }
    CFEM::pushMessage(UPDATE_MEASURE_DATA, std::move(payload));
}

// A notification whose serialised size is exactly `size` bytes.
DataPack notificationOfSize(size_t size) {
    DataPack pack;
    pack.set_code(kNotifyCode);
    insertRaw(*pack.mutable_data(), 3, std::string(size - 64, 'x'));
    const size_t overhead = pack.ByteSizeLong() - (size - 64);
    pack.mutable_data()->at(3).mutable_rawval()->resize(size - overhead);
    return pack;
}

} // namespace

// Every attached client gets every notification, the same bytes in the same
// order, each pool worker's pushes in push order. What the app writes on this
// link changes nothing, and the other client keeps receiving after one closes.
TEST_F(UiLink, EveryClientGetsEveryNotificationInPushOrder) {
    auto first = attachedClient();
    ASSERT_TRUE(first);
    auto second = attachedClient();
    ASSERT_TRUE(second);
    EXPECT_EQ(ConnService::instance()->clientCount(), 2u);
    // The newcomer's state pushes reach the client attached before it too.
    unsigned int latest = testManager().connects.load();
    DataPack pack;
    ASSERT_TRUE(first->readUntil(
        [&](const DataPack& p) { return p.code() == kWelcomeCode && p.data().at(1).u32val() == latest; }, pack));
    ASSERT_TRUE(second->sendAll("ignored bytes"));

    constexpr unsigned int kProducers = 4, kEach = 250, kTagBase = 3000;
    for (unsigned int producer = 0; producer < kProducers; ++producer) {
        CThreadPool::instance()->async(
            [producer] {
                for (unsigned int seq = 0; seq < kEach; ++seq) {
                    pushTagged(kTagBase + producer, static_cast<int>(seq));
                }
            },
            false);
    }
    std::vector<std::string> bodies[2];
    for (int c = 0; c < 2; ++c) {
        std::vector<unsigned int> next(kProducers, 0);  // per producer, the sequence number due
        for (unsigned int n = 0; n < kProducers * kEach; ++n) {
            std::string body;
            ASSERT_TRUE((c ? second : first)->readUntil(
                [](const DataPack& p) {
                    return p.code() == kNotifyCode && p.data().count(1) && p.data().at(1).u32val() >= kTagBase;
                },
                pack, &body))
                << "after " << n << " notifications";
            const unsigned int producer = pack.data().at(1).u32val() - kTagBase;
            ASSERT_LT(producer, kProducers);
            ASSERT_EQ(pack.data().at(2).u32val(), next[producer]++) << "producer " << producer;
            bodies[c].push_back(body);
        }
    }
    EXPECT_EQ(bodies[0], bodies[1]);

    first->close();
    ASSERT_TRUE(eventually([] { return ConnService::instance()->clientCount() == 1; }));
    pushTagged(1002);
    ASSERT_TRUE(second->readUntil(notificationTagged(1002), pack));
}

TEST_F(UiLink, NotificationLargerThanAFrameIsRefusedAndTheNextOneStillGoes) {
    auto client = attachedClient();
    ASSERT_TRUE(client);
    const DataPack largest = notificationOfSize(ConnService::kMaxFrameBody);
    ASSERT_EQ(largest.ByteSizeLong(), ConnService::kMaxFrameBody);
    ConnService::instance()->pushMessage(largest);
    ConnService::instance()->pushMessage(notificationOfSize(ConnService::kMaxFrameBody + 1));
    EXPECT_TRUE(logged("notification of 6291453 bytes exceeds the frame limit"));
    const DataPack small = notificationOfSize(100);
    ConnService::instance()->pushMessage(small);

    std::string body;
    ASSERT_TRUE(client->readFrame(body));
    EXPECT_EQ(body, largest.SerializeAsString());
    ASSERT_TRUE(client->readFrame(body));
    EXPECT_EQ(body, small.SerializeAsString());
}

// The measurement loop's case: the pool nearly full, a storage record of
// 4 MB queued ahead from another thread; the reading's push must not pay for
// the record's serialising and sending, and both arrive in push order.
TEST_F(UiLink, AReadingPushDoesNotWaitForALargeRecordAheadOfIt) {
    auto client = attachedClient();
    ASSERT_TRUE(client);
    CThreadPool* pool = CThreadPool::instance();
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    auto held = std::make_shared<std::atomic<int>>(0);
    for (int i = 0; i < 4; ++i) {
        pool->async([held, released] { ++*held; released.wait(); }, false);
    }
    ASSERT_TRUE(eventually([held] { return held->load() == 4; }));

    ValueMap record;
    insertU32(record, 1, 5000);
    insertU32(record, 2, 0);
    insertRaw(record, 3, std::string(4 << 20, 'r'));
    CFEM::pushMessage(UPDATE_MEASURE_DATA, std::move(record));
    std::promise<double> took;
    pool->async(
        [&took] {
            auto start = std::chrono::steady_clock::now();
            pushTagged(5000, 1);
            took.set_value(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        },
        false);
    const double ms = took.get_future().get();
    release.set_value();
    EXPECT_LT(ms, 1.0 * testing_support::kSlow);

    DataPack pack;
    ASSERT_TRUE(client->readUntil(notificationTagged(5000), pack));
    EXPECT_EQ(pack.data().at(2).u32val(), 0u);
    EXPECT_EQ(pack.data().at(3).rawval().size(), 4u << 20);
    ASSERT_TRUE(client->readUntil(notificationTagged(5000), pack));
    EXPECT_EQ(pack.data().at(2).u32val(), 1u);
}

TEST_F(UiLink, ClientListHoldsASessionOnceAndForgetsSessionsThatAreGone) {
    ConnService* conn = ConnService::instance();
    auto poller = toolkit::EventPollerPool::Instance().getPoller();
    auto kept = std::make_shared<ConnService::NotifySession>(toolkit::Socket::createSocket(poller, false));
    auto gone = std::make_shared<ConnService::NotifySession>(toolkit::Socket::createSocket(poller, false));

    conn->addClient(kept.get());
    conn->addClient(kept.get());
    EXPECT_EQ(conn->clientCount(), 1u);

    conn->addClient(gone.get());
    gone.reset();
    // A push meets the dead entry and skips it.
    conn->pushMessage(notificationOfSize(100));
    conn->addClient(kept.get());
    EXPECT_EQ(conn->clientCount(), 1u);

    conn->removeClient(kept.get());
    EXPECT_EQ(conn->clientCount(), 0u);
}
