#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Network/Server.h"
#include "Network/Session.h"
#include "Poller/EventPollerPool.h"
#include "poller_test_support.h"

using namespace toolkit;
using namespace poller_test;

namespace {

// Counts its error callbacks and notes the thread of the last one.
class CountingSession : public Session {
public:
    using Session::Session;
    void onRecv(const Buffer::Ptr&) override {}
    void onError(const SockException& err) override {
        on_poller = getPoller()->isCurrentThread();
        last_code = err.getErrCode();
        last_text = err.what();
        ++errors;
        done.set();
    }
    void onManager() override {}

    std::atomic<int> errors{0};
    std::atomic<bool> on_poller{false};
    ErrCode last_code = Err_success;
    std::string last_text;
    Latch done;
};

// A socket without descriptor on a pool poller (locks off, as the servers make them).
Socket::Ptr idleSocket() {
    return Socket::createSocket(EventPollerPool::Instance().getPoller(false), false);
}

// A sender whose send only records what reached it.
class RecordingSender : public SockSender {
public:
    using SockSender::send;
    ssize_t send(Buffer::Ptr buf) override {
        sent.push_back(buf->toString());
        return static_cast<ssize_t>(buf->size());
    }
    void shutdown(const SockException&) override {}
    std::vector<std::string> sent;
};

TEST(SockSender, SendsExactlyTheGivenBytesAndNothingForAnEmptySend) {
    RecordingSender sender;
    const char binary[] = {'a', '\0', 'b', '\0', 'c'};
    EXPECT_EQ(sender.send(binary, sizeof(binary)), 5);
    // Size 0 is empty, never "up to the first zero byte".
    EXPECT_EQ(sender.send("not empty", 0), 0);
    EXPECT_EQ(sender.send(nullptr, 0), 0);
    ASSERT_EQ(sender.sent.size(), 1u);
    EXPECT_EQ(sender.sent[0], std::string(binary, sizeof(binary)));
}

TEST(SocketHelper, WithoutSocketSendFailsAndShutdownDoesNothing) {
    auto session = std::make_shared<CountingSession>(nullptr);
    EXPECT_EQ(session->send("abc", 3), -1);
    session->shutdown();
    EXPECT_EQ(session->get_peer_ip(), "");
    EXPECT_EQ(session->get_local_port(), 0);
}

TEST(SocketHelper, EmptySendQueuesNothingOnEveryThread) {
    auto sock = idleSocket();
    auto session = std::make_shared<CountingSession>(sock);
    EXPECT_EQ(session->send("abc", 0), 0);
    EXPECT_EQ(session->send(BufferRaw::create()), 0);
    ssize_t on_poller = 1;
    size_t queued = 1;
    ASSERT_TRUE(runOn(sock->getPoller(), [&]() {
        on_poller = session->send("abc", 0);
        queued = sock->getSendBufferCount();
    }));
    EXPECT_EQ(on_poller, 0);
    EXPECT_EQ(queued, 0u);
}

TEST(SocketHelper, SendFromAForeignThreadIsCarriedOutOnThePoller) {
    auto sock = idleSocket();
    auto session = std::make_shared<CountingSession>(sock);
    // Off the poller the send is posted: the caller learns the queued size.
    EXPECT_EQ(session->send("abc", 3), 3);
    // On the poller it goes straight to the socket, which has no descriptor.
    ssize_t direct = 0;
    ASSERT_TRUE(runOn(sock->getPoller(), [&]() { direct = session->send("abc", 3); }));
    EXPECT_EQ(direct, -1);
}

TEST(Session, IdentifierIsSequenceAndDescriptorFixedAtFirstCall) {
    auto first = std::make_shared<CountingSession>(idleSocket());
    auto second = std::make_shared<CountingSession>(idleSocket());
    auto id1 = first->getIdentifier();
    auto id2 = second->getIdentifier();
    EXPECT_EQ(first->getIdentifier(), id1);
    // No descriptor: "<n>--1".
    ASSERT_EQ(id1.substr(id1.find('-')), "--1");
    auto n1 = std::stoull(id1.substr(0, id1.find('-')));
    auto n2 = std::stoull(id2.substr(0, id2.find('-')));
    EXPECT_EQ(n2, n1 + 1);
    EXPECT_NE(id1, id2);
}

TEST(Session, IdentifiersMadeOnManyThreadsNeverCollide) {
    constexpr int kThreads = 4;
    constexpr int kEach = 50;
    std::vector<std::vector<std::string>> ids(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t]() {
            for (int i = 0; i < kEach; ++i) {
                ids[t].push_back(std::make_shared<CountingSession>(nullptr)->getIdentifier());
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    std::set<std::string> all;
    for (auto& v : ids) {
        all.insert(v.begin(), v.end());
    }
    EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kEach));
}

TEST(SessionHelper, RegistersTheSessionForItsLifetime) {
    auto server = std::make_shared<Server>();
    auto session = std::make_shared<CountingSession>(idleSocket());
    std::string id;
    {
        SessionHelper helper(server, session);
        id = session->getIdentifier();
        EXPECT_EQ(SessionMap::Instance().get(id), session);
    }
    EXPECT_EQ(SessionMap::Instance().get(id), nullptr);
    EXPECT_FALSE(SessionMap::Instance().del(id));
}

TEST(SessionHelper, WhileTheServerLivesNoServerShutdownIsReported) {
    auto server = std::make_shared<Server>();
    auto session = std::make_shared<CountingSession>(idleSocket());
    { SessionHelper helper(server, session); }
    // Anything it posted would have run by the time a later task runs.
    ASSERT_TRUE(runOn(session->getPoller(), []() {}));
    EXPECT_EQ(session->errors, 0);
}

TEST(SessionHelper, OutlivingItsServerReportsServerShutdownOnceOnThePoller) {
    auto server = std::make_shared<Server>();
    auto session = std::make_shared<CountingSession>(idleSocket());
    auto helper = std::make_shared<SessionHelper>(server, session);
    server.reset();
    helper.reset();
    ASSERT_TRUE(session->done.wait());
    ASSERT_TRUE(runOn(session->getPoller(), []() {}));
    EXPECT_EQ(session->errors, 1);
    EXPECT_TRUE(session->on_poller);
    EXPECT_EQ(session->last_code, Err_other);
    EXPECT_EQ(session->last_text, "Server shutdown");
}

} // namespace
