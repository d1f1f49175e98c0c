#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "Network/Socket.h"
#include "Poller/EventPollerPool.h"
#include "poller_test_support.h"
#include "test_socket_support.h"
#include "warning_capture.h"

using namespace toolkit;
using namespace poller_test;
using namespace socket_test;

namespace {

// The pollers of the process-wide pool.
std::vector<EventPoller::Ptr> poolPollers() {
    std::vector<EventPoller::Ptr> out;
    EventPollerPool::Instance().for_each([&](const TaskExecutor::Ptr& executor) {
        if (auto poller = std::dynamic_pointer_cast<EventPoller>(executor)) {
            out.push_back(poller);
        }
    });
    return out;
}

} // namespace

TEST(SocketListen, PortInUseFailsAndKeepsTheOldDescriptor) {
    auto poller = startPoller();
    auto first = Socket::createSocket(poller, true);
    auto second = Socket::createSocket(poller, true);
    ASSERT_TRUE(first->listen(0, "::", 16));
    ASSERT_TRUE(second->listen(0, "::", 16));
    int fd = second->rawFD();
    EXPECT_FALSE(second->listen(first->get_local_port(), "::", 16));
    EXPECT_EQ(second->rawFD(), fd);
    EXPECT_EQ(second->sockType(), Sock_TCP);
}

TEST(SocketListen, CloneRules) {
    auto poller = startPoller();
    auto other_poller = startPoller("other poller");
    auto main = Socket::createSocket(poller, true);
    auto same = Socket::createSocket(poller, true);
    auto empty = Socket::createSocket(poller, true);
    auto clone = Socket::createSocket(other_poller, true);
    testing_support::ScopedWarningCapture warnings;
    EXPECT_FALSE(clone->cloneFromListenSocket(*empty));
    ASSERT_TRUE(warnings->waitFor(1));
    EXPECT_EQ(warnings->texts()[0], "sockfd of src socket is null");

    ASSERT_TRUE(main->listen(0, "127.0.0.1", 16));
    try {
        same->cloneFromListenSocket(*main);
        FAIL() << "cloning onto the same poller must throw";
    } catch (std::invalid_argument& ex) {
        EXPECT_STREQ(ex.what(), "Copy a SockFD with same poller");
    }
    ASSERT_TRUE(clone->cloneFromListenSocket(*main));
    EXPECT_EQ(clone->rawFD(), main->rawFD());
    // The shared descriptor stays open while a clone holds it.
    main.reset();
    RawClient client(clone->get_local_port());
    EXPECT_TRUE(client.connected());
}

// A listener cloned onto every poller of the pool: each of 100 connections is
// accepted exactly once, by one of them.
TEST(SocketListen, ClonedListenerAcceptsEachConnectionOnce) {
    auto pollers = poolPollers();
    ASSERT_FALSE(pollers.empty());
    std::mutex mtx;
    std::map<uint16_t, int> accepted; // peer port -> times accepted
    std::set<EventPoller*> acceptors;
    std::vector<Socket::Ptr> listeners;
    for (auto& poller : pollers) {
        auto sock = Socket::createSocket(poller, true);
        sock->setOnAccept([&, poller](Socket::Ptr& peer, std::shared_ptr<void>&) {
            std::lock_guard<std::mutex> lck(mtx);
            ++accepted[peer->get_peer_port()];
            acceptors.insert(poller.get());
        });
        if (listeners.empty()) {
            ASSERT_TRUE(sock->listen(0, "::", 1024));
        } else {
            ASSERT_TRUE(sock->cloneFromListenSocket(*listeners.front()));
        }
        listeners.push_back(sock);
    }
    uint16_t port = listeners.front()->get_local_port();

    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 100; ++i) {
        clients.push_back(std::make_unique<RawClient>(port));
        ASSERT_TRUE(clients.back()->connected());
    }
    auto total = [&]() {
        std::lock_guard<std::mutex> lck(mtx);
        int sum = 0;
        for (auto& kv : accepted) {
            sum += kv.second;
        }
        return sum;
    };
    ASSERT_TRUE(waitUntil([&]() { return total() >= 100; }));
    for (auto& poller : pollers) {
        runOn(poller, []() {});
    }
    EXPECT_EQ(total(), 100);
    std::lock_guard<std::mutex> lck(mtx);
    for (auto& client : clients) {
        EXPECT_EQ(accepted[client->localPort()], 1) << "port " << client->localPort();
    }
    for (auto& listener : listeners) {
        runOn(listener->getPoller(), [&]() { listener->closeSock(); });
    }
}

TEST(SocketListen, PeerWaitsForItsCompletionToken) {
    auto poller = startPoller();
    auto peer_poller = startPoller("peer poller");
    Trace trace;
    std::shared_ptr<void> token;
    Socket::Ptr peer;
    Latch accepted;
    auto listener = Socket::createSocket(poller, true);
    listener->setOnBeforeAccept([&](const EventPoller::Ptr&) { return Socket::createSocket(peer_poller, true); });
    listener->setOnAccept([&](Socket::Ptr& sock, std::shared_ptr<void>& complete) {
        peer = sock;
        token = complete;
        sock->setOnRead([&](const Buffer::Ptr& buf, sockaddr*, int) { trace.add(buf->toString()); });
        accepted.set();
    });
    ASSERT_TRUE(listener->listen(0, "127.0.0.1", 16));
    RawClient client(listener->get_local_port());
    ASSERT_TRUE(client.sendAll("early"));
    ASSERT_TRUE(accepted.wait());
    EXPECT_EQ(peer->getPoller(), peer_poller);
    runOn(peer_poller, []() {});
    EXPECT_TRUE(trace.labels().empty()) << "no data before the token is released";
    token.reset();
    ASSERT_TRUE(waitUntil([&]() { return !trace.labels().empty(); }));
    EXPECT_EQ(trace.labels()[0], "early");
    runOn(peer_poller, [&]() { peer->closeSock(); });
    listener->closeSock();
}

// Out of descriptors, the listener pauses instead of failing, and accepts the
// waiting connection once descriptors are free again.
TEST(SocketListen, RunningOutOfDescriptorsPausesAccepting) {
#if defined(__SANITIZE_ADDRESS__)
    // The undefined-behaviour checker verifies object types through a pipe;
    // without descriptors it reports false errors.
    GTEST_SKIP() << "needs descriptors to run out, which the sanitizer runtime cannot bear";
#endif
    auto poller = startPoller();
    LogRecorder log("socket-emfile");
    std::atomic<int> accepted{0};
    std::atomic<int> errors{0};
    auto listener = Socket::createSocket(poller, true);
    listener->setOnAccept([&](Socket::Ptr&, std::shared_ptr<void>&) { ++accepted; });
    listener->setOnErr([&](const SockException&) { ++errors; });
    ASSERT_TRUE(listener->listen(0, "127.0.0.1", 16));
    // The client's socket is made first; then every descriptor below a
    // lowered limit is used up.
    int client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(client, -1);
    rlimit old_limit;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old_limit), 0);
    rlimit low = old_limit;
    // Any limit above the lowest free descriptor will do: the fillers take
    // every free number below it.
    int lowest_free = dup(client);
    close(lowest_free);
    low.rlim_cur = lowest_free + 16;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> fillers;
    for (int fd; (fd = dup(client)) != -1;) {
        fillers.push_back(fd);
    }
    // The handshake needs no descriptor; the accept does.
    auto addr = SockUtil::make_sockaddr("127.0.0.1", listener->get_local_port());
    bool connected = connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof(sockaddr_in)) == 0;
    bool paused = log.waitForText("retry in 100 ms");
    for (int fd : fillers) {
        close(fd);
    }
    setrlimit(RLIMIT_NOFILE, &old_limit);
    ASSERT_TRUE(connected);
    ASSERT_TRUE(paused);
    EXPECT_TRUE(waitUntil([&]() { return accepted == 1; }));
    EXPECT_EQ(errors, 0);
    EXPECT_NE(listener->rawFD(), -1);
    runOn(poller, [&]() { listener->closeSock(); });
    close(client);
}
