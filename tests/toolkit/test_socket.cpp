#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <sys/socket.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Network/Socket.h"
#include "poller_test_support.h"
#include "test_socket_support.h"

using namespace toolkit;
using namespace poller_test;
using namespace socket_test;

// Each test declares its poller first, so that it outlives the sockets.

TEST(SockExceptionTest, SystemErrorsMapToKinds) {
    EXPECT_EQ(toSockException(0).getErrCode(), Err_success);
    EXPECT_STREQ(toSockException(-11).what(), "success");
    EXPECT_FALSE(toSockException(-11));
    auto refused = toSockException(-111);
    EXPECT_EQ(refused.getErrCode(), Err_refused);
    EXPECT_EQ(refused.getCustomCode(), -111);
    EXPECT_EQ(toSockException(-110).getErrCode(), Err_timeout);
    auto reset = toSockException(-104);
    EXPECT_EQ(reset.getErrCode(), Err_other);
    EXPECT_EQ(reset.getCustomCode(), -104);
    EXPECT_STREQ(reset.what(), "connection reset by peer");
    EXPECT_TRUE(reset);
}

TEST(SocketBasics, AccessorsWithoutDescriptor) {
    auto poller = startPoller();
    auto sock = Socket::createSocket(poller, true);
    EXPECT_EQ(sock->getIdentifier().rfind("Socket: ", 0), 0u);
    EXPECT_EQ(sock->rawFD(), -1);
    EXPECT_EQ(sock->sockType(), Sock_Invalid);
    EXPECT_EQ(sock->get_peer_port(), 0);
    EXPECT_EQ(sock->get_local_ip(), "");
    EXPECT_FALSE(sock->emitErr(SockException(Err_other, "x")));
    EXPECT_EQ(sock->getPoller(), poller);
}

TEST(SocketRead, PeerAddressAndDataOfAnIpv4Client) {
    auto poller = startPoller();
    Trace trace;
    Acceptor acceptor(poller, [&trace](const Socket::Ptr& peer) {
        peer->setOnRead([&trace](const Buffer::Ptr& buf, sockaddr*, int) {
            // The data is followed by a zero byte outside its size.
            trace.add(buf->toString() + (buf->data()[buf->size()] == '\0' ? "|nul" : "|no-nul"));
        });
        trace.add("peer " + peer->get_peer_ip());
    });
    ASSERT_NE(acceptor.port(), 0);
    RawClient client(acceptor.port());
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.sendAll("hello"));
    ASSERT_TRUE(waitUntil([&]() { return trace.labels().size() >= 2; }));
    EXPECT_EQ(trace.labels(), (std::vector<std::string>{"peer 127.0.0.1", "hello|nul"}));
}

TEST(SocketRead, PeerCloseReportsEofOnceOnThePollerThread) {
    auto poller = startPoller();
    Trace trace;
    std::atomic<bool> on_poller{false};
    Acceptor acceptor(poller, [&](const Socket::Ptr& peer) {
        peer->setOnErr([&, poller](const SockException& err) {
            on_poller = poller->isCurrentThread();
            trace.add(std::to_string(err.getErrCode()) + " " + err.what());
        });
    });
    RawClient client(acceptor.port());
    auto peer = acceptor.peer();
    ASSERT_TRUE(peer);
    client.close();
    ASSERT_TRUE(waitUntil([&]() { return !trace.labels().empty(); }));
    bool second = true;
    runOn(poller, [&]() { second = peer->emitErr(SockException(Err_other, "again")); });
    EXPECT_FALSE(second);
    EXPECT_TRUE(on_poller);
    EXPECT_EQ(trace.labels(), (std::vector<std::string>{"1 end of file"}));
    runOn(poller, [&]() { EXPECT_EQ(peer->rawFD(), -1); });
}

// A receiver that shuts its connection down from inside the read callback gets
// no data after its error callback, although more is pending in the socket.
TEST(SocketRead, NoDataAfterAShutdownFromTheReadCallback) {
    auto poller = startPoller();
    Trace trace;
    std::shared_ptr<void> token;
    auto listener = Socket::createSocket(poller, false);
    Socket::Ptr peer;
    listener->setOnAccept([&](Socket::Ptr& sock, std::shared_ptr<void>& complete) {
        peer = sock;
        token = complete; // holds the peer back until the data is all there
        peer->setOnRead([&](const Buffer::Ptr& buf, sockaddr*, int) {
            trace.add("recv " + std::to_string(buf->size()));
            peer->emitErr(SockException(Err_shutdown, "enough"));
        });
        peer->setOnErr([&](const SockException& err) { trace.add(std::string("err ") + err.what()); });
    });
    ASSERT_TRUE(runOn(poller, [&]() { ASSERT_TRUE(listener->listen(0, "127.0.0.1", 16)); }));
    RawClient client(listener->get_local_port());
    // More than one read's worth (the shared buffer takes 256 KiB per read).
    const size_t total = 300 * 1024;
    std::thread writer([&]() { client.sendAll(std::string(total, 'd')); });
    ASSERT_TRUE(waitUntil([&]() {
        bool ready = false;
        runOn(poller, [&]() {
            int pending = 0;
            ready = peer && ioctl(peer->rawFD(), FIONREAD, &pending) == 0 && pending == static_cast<int>(total);
        });
        return ready;
    }));
    writer.join();
    runOn(poller, [&]() { token.reset(); });
    ASSERT_TRUE(waitUntil([&]() { return trace.labels().size() >= 2; }));
    runOn(poller, []() {});
    EXPECT_EQ(trace.labels(), (std::vector<std::string>{"recv 262144", "err enough"}));
    runOn(poller, [&]() {
        listener->closeSock();
        peer.reset();
    });
}

// An error event without a pending socket error is the end of the stream.
TEST(SocketRead, ErrorEventWithoutPendingErrorIsEof) {
    auto poller = startPoller();
    Trace trace;
    Acceptor acceptor(poller, [&](const Socket::Ptr& peer) {
        peer->setOnErr([&](const SockException& err) {
            trace.add(std::to_string(err.getErrCode()) + " " + err.what());
        });
    });
    RawClient client(acceptor.port());
    auto peer = acceptor.peer();
    ASSERT_TRUE(peer);
    runOn(poller, [&]() {
        // Without read interest the hang-up arrives as an error event alone.
        peer->enableRecv(false);
        errno = ECONNRESET;
        ::shutdown(peer->rawFD(), SHUT_RDWR);
    });
    ASSERT_TRUE(waitUntil([&]() { return !trace.labels().empty(); }));
    EXPECT_EQ(trace.labels(), (std::vector<std::string>{"1 end of file"}));
}

TEST(SocketConnect, RefusalIsReportedAsRefused) {
    auto poller = startPoller();
    int probe = SockUtil::listen(0, "127.0.0.1", 1);
    uint16_t port = SockUtil::get_local_port(probe);
    close(probe);

    for (auto host : {"127.0.0.1", "localhost"}) {
        auto sock = Socket::createSocket(poller, true);
        Latch done;
        std::atomic<int> calls{0};
        SockException result;
        sock->connect(host, port, [&](const SockException& err) {
            result = err;
            ++calls;
            done.set();
        }, 5);
        ASSERT_TRUE(done.wait());
        runOn(poller, []() {});
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(result.getErrCode(), Err_refused) << host << ": " << result.what();
        EXPECT_EQ(sock->rawFD(), -1);
    }
}
