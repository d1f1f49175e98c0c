#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Network/TcpClient.h"
#include "Network/TcpServer.h"
#include "poller_test_support.h"

using namespace toolkit;
using namespace poller_test;

namespace {

// What a client saw; shared so that it outlives the client.
struct ClientRecord {
    std::mutex mtx;
    std::vector<SockException> connects;
    std::vector<SockException> errors;
    std::string received;
    int off_thread = 0;
    Latch connected;
    Latch ended;

    size_t connectCount() {
        std::lock_guard<std::mutex> lck(mtx);
        return connects.size();
    }
};

class RecordingClient : public TcpClient {
public:
    explicit RecordingClient(std::shared_ptr<ClientRecord> record) : _record(std::move(record)) {}

protected:
    void onConnect(const SockException& ex) override {
        check();
        {
            std::lock_guard<std::mutex> lck(_record->mtx);
            _record->connects.push_back(ex);
        }
        _record->connected.set();
    }
    void onRecv(const Buffer::Ptr& buf) override {
        check();
        std::lock_guard<std::mutex> lck(_record->mtx);
        _record->received += buf->toString();
    }
    void onError(const SockException& ex) override {
        check();
        {
            std::lock_guard<std::mutex> lck(_record->mtx);
            _record->errors.push_back(ex);
        }
        _record->ended.set();
    }

private:
    void check() {
        if (!getPoller()->isCurrentThread()) {
            std::lock_guard<std::mutex> lck(_record->mtx);
            ++_record->off_thread;
        }
    }
    std::shared_ptr<ClientRecord> _record;
};

class EchoSession : public Session {
public:
    using Session::Session;
    void onRecv(const Buffer::Ptr& buf) override { send(buf->data(), buf->size()); }
    void onError(const SockException&) override {}
    void onManager() override {}
};

// Ends the connection on the first data it receives.
class HangUpSession : public Session {
public:
    using Session::Session;
    void onRecv(const Buffer::Ptr&) override { shutdown(SockException(Err_shutdown, "bye")); }
    void onError(const SockException&) override {}
    void onManager() override {}
};

// A loopback port with nothing listening on it.
uint16_t closedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

// A loopback listener that never accepts, with its queue filled: the kernel
// drops further connection requests, so connecting to it hangs.
class FullListener {
public:
    FullListener() {
        _listen_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        ::bind(_listen_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        ::listen(_listen_fd, 0);
        ::getsockname(_listen_fd, reinterpret_cast<sockaddr*>(&addr), &len);
        port = ntohs(addr.sin_port);
        // The one connection a zero backlog admits fills the queue.
        _filler_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::connect(_filler_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    }
    ~FullListener() {
        ::close(_filler_fd);
        ::close(_listen_fd);
    }
    uint16_t port = 0;

private:
    int _listen_fd = -1;
    int _filler_fd = -1;
};

TEST(TcpClient, ConnectsToAListeningPortAndExchangesData) {
    auto server = std::make_shared<TcpServer>();
    server->start<EchoSession>(0, "::");
    auto record = std::make_shared<ClientRecord>();
    auto client = std::make_shared<RecordingClient>(record);
    client->startConnect("127.0.0.1", server->getPort(), 5);
    ASSERT_TRUE(record->connected.wait());
    {
        std::lock_guard<std::mutex> lck(record->mtx);
        ASSERT_EQ(record->connects.size(), 1u);
        EXPECT_EQ(record->connects[0].getErrCode(), Err_success) << record->connects[0].what();
    }
    bool alive = false;
    uint16_t peer_port = 0;
    ASSERT_TRUE(runOn(client->getPoller(), [&]() {
        alive = client->alive();
        peer_port = client->get_peer_port();
    }));
    EXPECT_TRUE(alive);
    EXPECT_EQ(peer_port, server->getPort());

    // Sent from this (foreign) thread; the echo comes back through onRecv.
    EXPECT_EQ(client->send("ping", 4), 4);
    auto deadline = std::chrono::steady_clock::now() + kWait;
    std::string got;
    while (std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard<std::mutex> lck(record->mtx);
            got = record->received;
        }
        if (got.size() >= 4) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(got, "ping");
    std::lock_guard<std::mutex> lck(record->mtx);
    EXPECT_EQ(record->off_thread, 0);
}

TEST(TcpClient, ClosedPortIsReportedAsRefusedOnce) {
    auto record = std::make_shared<ClientRecord>();
    auto client = std::make_shared<RecordingClient>(record);
    client->startConnect("127.0.0.1", closedPort(), 5);
    ASSERT_TRUE(record->connected.wait());
    // A late second report would have been queued behind this.
    ASSERT_TRUE(runOn(client->getPoller(), []() {}));
    std::lock_guard<std::mutex> lck(record->mtx);
    ASSERT_EQ(record->connects.size(), 1u);
    EXPECT_EQ(record->connects[0].getErrCode(), Err_refused) << record->connects[0].what();
    EXPECT_TRUE(record->errors.empty());
}

TEST(TcpClient, UnansweredConnectTimesOut) {
    FullListener listener;
    auto record = std::make_shared<ClientRecord>();
    auto client = std::make_shared<RecordingClient>(record);
    client->startConnect("127.0.0.1", listener.port, 0.3f);
    ASSERT_TRUE(record->connected.wait());
    std::lock_guard<std::mutex> lck(record->mtx);
    ASSERT_EQ(record->connects.size(), 1u);
    EXPECT_EQ(record->connects[0].getErrCode(), Err_timeout);
    EXPECT_STREQ(record->connects[0].what(), "connection timed out");
}

TEST(TcpClient, DestroyedDuringAnAttemptReportsNothing) {
    FullListener listener;
    auto record = std::make_shared<ClientRecord>();
    auto client = std::make_shared<RecordingClient>(record);
    auto poller = client->getPoller();
    client->startConnect("127.0.0.1", listener.port, 0.2f);
    client.reset();
    // Well past the time-out: the attempt's timer would have fired by now.
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    ASSERT_TRUE(runOn(poller, []() {}));
    EXPECT_EQ(record->connectCount(), 0u);
}

TEST(TcpClient, NewAttemptAbandonsThePreviousOneSilently) {
    FullListener listener;
    auto server = std::make_shared<TcpServer>();
    server->start<EchoSession>(0, "::");
    auto record = std::make_shared<ClientRecord>();
    auto client = std::make_shared<RecordingClient>(record);
    client->startConnect("127.0.0.1", listener.port, 0.2f);
    client->startConnect("127.0.0.1", server->getPort(), 5);
    ASSERT_TRUE(record->connected.wait());
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    ASSERT_TRUE(runOn(client->getPoller(), []() {}));
    std::lock_guard<std::mutex> lck(record->mtx);
    ASSERT_EQ(record->connects.size(), 1u);
    EXPECT_EQ(record->connects[0].getErrCode(), Err_success);
}

TEST(TcpClient, PeerHangingUpEndsTheConnectionOnce) {
    auto server = std::make_shared<TcpServer>();
    server->start<HangUpSession>(0, "::");
    auto record = std::make_shared<ClientRecord>();
    auto client = std::make_shared<RecordingClient>(record);
    client->startConnect("::1", server->getPort(), 5);
    ASSERT_TRUE(record->connected.wait());
    EXPECT_EQ(client->send("hello", 5), 5);
    ASSERT_TRUE(record->ended.wait());
    ASSERT_TRUE(runOn(client->getPoller(), []() {}));
    std::lock_guard<std::mutex> lck(record->mtx);
    ASSERT_EQ(record->connects.size(), 1u);
    EXPECT_EQ(record->connects[0].getErrCode(), Err_success) << record->connects[0].what();
    ASSERT_EQ(record->errors.size(), 1u);
    EXPECT_EQ(record->errors[0].getErrCode(), Err_eof) << record->errors[0].what();
    EXPECT_EQ(record->off_thread, 0);
}

} // namespace
