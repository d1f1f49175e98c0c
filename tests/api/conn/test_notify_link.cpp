#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "CThreadPool.h"
#include "Poller/EventPollerPool.h"
#include "conn_test_env.h"

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
    CFEM::pushMessage(UPDATE_MEASURE_DATA, payload);
}

std::string notificationBytes(unsigned int tag) {
    DataPack pack;
    pack.set_code(kNotifyCode);
    insertU32(*pack.mutable_data(), 1, tag);
    return pack.SerializeAsString();
}

} // namespace

TEST_F(UiLink, NotificationReachesEveryClientAndTheOtherKeepsReceivingAfterOneCloses) {
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

    pushTagged(1001);
    DataPack a, b;
    std::string a_bytes, b_bytes;
    ASSERT_TRUE(first->readUntil(notificationTagged(1001), a, &a_bytes));
    ASSERT_TRUE(second->readUntil(notificationTagged(1001), b, &b_bytes));
    EXPECT_EQ(a_bytes, b_bytes);
    EXPECT_EQ(a.stat(), 0);

    // What the app writes on this link changes nothing.
    ASSERT_TRUE(second->sendRaw("ignored bytes"));
    first->close();
    ASSERT_TRUE(eventually([] { return ConnService::instance()->clientCount() == 1; }));
    pushTagged(1002);
    ASSERT_TRUE(second->readUntil(notificationTagged(1002), b));
}

TEST_F(UiLink, NotificationLargerThanAFrameIsRefusedAndTheNextOneStillGoes) {
    auto client = attachedClient();
    ASSERT_TRUE(client);
    std::string largest(ConnService::kMaxFrameBody, 'x');
    ConnService::instance()->pushMessage(largest.data(), static_cast<unsigned int>(largest.size()));
    std::string too_large(ConnService::kMaxFrameBody + 1, 'x');
    ConnService::instance()->pushMessage(too_large.data(), static_cast<unsigned int>(too_large.size()));
    EXPECT_TRUE(logged("notification of 6291453 bytes exceeds the frame limit"));
    std::string small = notificationBytes(2001);
    ConnService::instance()->pushMessage(small.data(), static_cast<unsigned int>(small.size()));

    std::string body;
    ASSERT_TRUE(client->readFrame(body));
    EXPECT_EQ(body, largest);
    ASSERT_TRUE(client->readFrame(body));
    EXPECT_EQ(body, small);
}

TEST_F(UiLink, EachClientKeepsTheOrderOfNotificationsPushedFromSeveralPoolWorkers) {
    auto first = attachedClient();
    ASSERT_TRUE(first);
    auto second = attachedClient();
    ASSERT_TRUE(second);
    constexpr unsigned int kProducers = 4, kEach = 250, kTagBase = 3000;
    for (unsigned int producer = 0; producer < kProducers; ++producer) {
        // On a pool worker the hub delivers at once, so each job's pushes
        // leave in the order it makes them.
        CThreadPool::instance()->async(
            [producer] {
                for (unsigned int seq = 0; seq < kEach; ++seq) {
                    pushTagged(kTagBase + producer, static_cast<int>(seq));
                }
            },
            false);
    }
    for (LinkClient* client : {first.get(), second.get()}) {
        std::vector<unsigned int> next(kProducers, 0);  // per producer, the sequence number due
        DataPack pack;
        for (unsigned int n = 0; n < kProducers * kEach; ++n) {
            ASSERT_TRUE(client->readUntil(
                [](const DataPack& p) {
                    return p.code() == kNotifyCode && p.data().count(1) && p.data().at(1).u32val() >= kTagBase;
                },
                pack))
                << "after " << n << " notifications";
            const unsigned int producer = pack.data().at(1).u32val() - kTagBase;
            ASSERT_LT(producer, kProducers);
            ASSERT_EQ(pack.data().at(2).u32val(), next[producer]++) << "producer " << producer;
        }
    }
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
    std::string bytes = notificationBytes(4001);
    conn->pushMessage(bytes.data(), static_cast<unsigned int>(bytes.size()));
    conn->addClient(kept.get());
    EXPECT_EQ(conn->clientCount(), 1u);

    conn->removeClient(kept.get());
    EXPECT_EQ(conn->clientCount(), 0u);
}
