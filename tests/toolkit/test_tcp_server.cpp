#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Network/TcpServer.h"
#include "Poller/EventPollerPool.h"
#include "Util/logger.h"
#include "log_records.h"
#include "poller_test_support.h"

using namespace toolkit;
using namespace poller_test;

namespace {

constexpr int kIoTimeoutSec = 30;

// ---- blocking loopback clients ---------------------------------------------

// A connected IPv4 loopback client with bounded blocking I/O, or -1.
int connectClient(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd == -1) {
        return -1;
    }
    timeval tv{kIoTimeoutSec, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == -1) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool sendAll(int fd, const std::string& data) {
    size_t off = 0;
    while (off < data.size()) {
        auto n = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        off += static_cast<size_t>(n);
    }
    return true;
}

// Exactly `size` bytes, or what arrived before the end / time-out.
std::string recvSome(int fd, size_t size) {
    std::string out(size, '\0');
    size_t off = 0;
    while (off < size) {
        auto n = ::recv(fd, &out[off], size - off, 0);
        if (n <= 0) {
            break;
        }
        off += static_cast<size_t>(n);
    }
    out.resize(off);
    return out;
}

// True when the peer closes the connection (reading and dropping anything before).
bool waitClosed(int fd) {
    char buf[4096];
    for (;;) {
        auto n = ::recv(fd, buf, sizeof(buf), 0);
        if (n == 0) {
            return true;
        }
        if (n < 0) {
            return errno == ECONNRESET;
        }
    }
}

// Writes `data` and reads the same number of bytes back at the same time, so
// neither side's buffers can stall the other. The echo, or what came in time.
std::string echoRoundTrip(int fd, const std::string& data) {
    int flags = fcntl(fd, F_GETFL);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    std::string echo(data.size(), '\0');
    size_t sent = 0;
    size_t got = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (got < data.size() && std::chrono::steady_clock::now() < deadline) {
        pollfd pfd{fd, static_cast<short>(POLLIN | (sent < data.size() ? POLLOUT : 0)), 0};
        if (::poll(&pfd, 1, 1000) <= 0) {
            continue;
        }
        if ((pfd.revents & POLLOUT) && sent < data.size()) {
            auto n = ::send(fd, data.data() + sent, std::min<size_t>(data.size() - sent, 65536), MSG_NOSIGNAL);
            if (n > 0) {
                sent += static_cast<size_t>(n);
            }
        }
        if (pfd.revents & (POLLIN | POLLHUP | POLLERR)) {
            auto n = ::recv(fd, &echo[got], data.size() - got, 0);
            if (n == 0 || (n < 0 && errno != EAGAIN)) {
                break;
            }
            if (n > 0) {
                got += static_cast<size_t>(n);
            }
        }
    }
    fcntl(fd, F_SETFL, flags);
    echo.resize(got);
    return echo;
}

// Client-specific bytes, zeros included, so mixed-up or shifted data shows.
std::string pattern(size_t client, size_t size) {
    std::string out(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        out[i] = static_cast<char>((i * 31 + client * 17 + i / 257) & 0xff);
    }
    return out;
}

// ---- sessions --------------------------------------------------------------

class EchoSession : public Session {
public:
    using Session::Session;
    void onRecv(const Buffer::Ptr& buf) override { send(buf->data(), buf->size()); }
    void onError(const SockException&) override {}
    void onManager() override {}
};

// What the probe sessions saw, shared by all of them in one test.
struct ProbeRecord {
    std::mutex mtx;
    int attached = 0;
    int managed = 0;
    int off_thread = 0;
    int recv_before_attach = 0;
    std::vector<std::string> peer_ips;
    // Session identifier -> texts and codes of its onError calls.
    std::map<std::string, std::vector<std::pair<ErrCode, std::string>>> errors;
    std::map<std::string, std::weak_ptr<Session>> sessions;
};
std::mutex g_probe_mtx;
std::shared_ptr<ProbeRecord> g_probe;

// The record of the running test. A session keeps the one it was born under,
// so a late callback never writes into another test's record.
std::shared_ptr<ProbeRecord> currentProbe() {
    std::lock_guard<std::mutex> lck(g_probe_mtx);
    return g_probe ? g_probe : std::make_shared<ProbeRecord>();
}

// Echoes, and records each callback and the thread it ran on.
class ProbeSession : public Session {
public:
    using Session::Session;

    void attachServer(const Server&) override {
        check();
        std::lock_guard<std::mutex> lck(_probe->mtx);
        ++_probe->attached;
        _attached = true;
        _probe->peer_ips.push_back(get_peer_ip());
        _probe->sessions[getIdentifier()] = shared_from_this();
    }
    void onRecv(const Buffer::Ptr& buf) override {
        check();
        if (!_attached) {
            std::lock_guard<std::mutex> lck(_probe->mtx);
            ++_probe->recv_before_attach;
        }
        send(buf->data(), buf->size());
    }
    void onError(const SockException& err) override {
        check();
        std::lock_guard<std::mutex> lck(_probe->mtx);
        _probe->errors[getIdentifier()].emplace_back(err.getErrCode(), err.what());
    }
    void onManager() override {
        check();
        std::lock_guard<std::mutex> lck(_probe->mtx);
        ++_probe->managed;
    }

private:
    void check() {
        if (!getPoller()->isCurrentThread()) {
            std::lock_guard<std::mutex> lck(_probe->mtx);
            ++_probe->off_thread;
        }
    }
    std::shared_ptr<ProbeRecord> _probe = currentProbe();
    bool _attached = false;
};

// Installs a fresh record for one test.
class ProbeScope {
public:
    ProbeScope() {
        std::lock_guard<std::mutex> lck(g_probe_mtx);
        g_probe = _record;
    }
    ~ProbeScope() {
        std::lock_guard<std::mutex> lck(g_probe_mtx);
        g_probe = nullptr;
    }

    template <typename PRED>
    bool waitFor(PRED pred, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            {
                std::lock_guard<std::mutex> lck(record.mtx);
                if (pred(record)) {
                    return true;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

private:
    std::shared_ptr<ProbeRecord> _record = std::make_shared<ProbeRecord>();

public:
    ProbeRecord& record = *_record;
};

template <typename SessionType>
TcpServer::Ptr startServer(const std::string& host = "::") {
    auto server = std::make_shared<TcpServer>();
    server->start<SessionType>(0, host);
    return server;
}

size_t totalErrors(ProbeRecord& r) {
    size_t n = 0;
    for (auto& pr : r.errors) {
        n += pr.second.size();
    }
    return n;
}

// ---- tests -----------------------------------------------------------------

TEST(TcpServerEcho, FiftyClientsEachEchoOneMiBIntact) {
    auto server = startServer<EchoSession>();
    ASSERT_NE(server->getPort(), 0);
    constexpr size_t kClients = 50;
    constexpr size_t kBytes = 1024 * 1024;
    std::vector<int> ok(kClients, 0);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < kClients; ++i) {
        threads.emplace_back([&, i]() {
            int fd = connectClient(server->getPort());
            if (fd == -1) {
                return;
            }
            auto data = pattern(i, kBytes);
            ok[i] = echoRoundTrip(fd, data) == data;
            ::close(fd);
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    for (size_t i = 0; i < kClients; ++i) {
        EXPECT_TRUE(ok[i]) << "client " << i;
    }
}

TEST(TcpServerSessions, CallbacksRunOnTheSocketPollerAndAttachComesFirst) {
    ProbeScope probe;
    auto server = startServer<ProbeSession>();
    constexpr int kClients = 12;
    std::vector<int> fds;
    for (int i = 0; i < kClients; ++i) {
        int fd = connectClient(server->getPort());
        ASSERT_NE(fd, -1);
        // Data right after connecting: it may only arrive once the session is attached.
        ASSERT_TRUE(sendAll(fd, "hello"));
        fds.push_back(fd);
    }
    for (int fd : fds) {
        EXPECT_EQ(recvSome(fd, 5), "hello");
    }
    // Every session gets at least one management tick (every 2 s).
    EXPECT_TRUE(probe.waitFor([](ProbeRecord& r) { return r.managed >= kClients; }));
    for (int fd : fds) {
        ::close(fd);
    }
    ASSERT_TRUE(probe.waitFor([](ProbeRecord& r) { return totalErrors(r) == kClients; }));

    std::lock_guard<std::mutex> lck(probe.record.mtx);
    EXPECT_EQ(probe.record.attached, kClients);
    EXPECT_EQ(probe.record.off_thread, 0);
    EXPECT_EQ(probe.record.recv_before_attach, 0);
    // An IPv4 client of the "::" listener reads as a plain IPv4 peer.
    for (auto& ip : probe.record.peer_ips) {
        EXPECT_EQ(ip, "127.0.0.1");
    }
    for (auto& pr : probe.record.errors) {
        ASSERT_EQ(pr.second.size(), 1u) << pr.first;
        EXPECT_EQ(pr.second[0].first, Err_eof);
    }
}

TEST(TcpServerSessions, EndedSessionIsReleasedByTheServer) {
    ProbeScope probe;
    auto server = startServer<ProbeSession>();
    int fd = connectClient(server->getPort());
    ASSERT_NE(fd, -1);
    ASSERT_TRUE(sendAll(fd, "x"));
    EXPECT_EQ(recvSome(fd, 1), "x");
    ::close(fd);
    ASSERT_TRUE(probe.waitFor([](ProbeRecord& r) { return totalErrors(r) == 1; }));
    // The server's list let go of it and nothing else holds it.
    EXPECT_TRUE(probe.waitFor([](ProbeRecord& r) { return r.sessions.begin()->second.expired(); }));
    EXPECT_EQ(SessionMap::Instance().get(probe.record.sessions.begin()->first), nullptr);
}

TEST(TcpServerShutdown, TearDownWithClientsGivesEachSessionOneServerShutdown) {
    ProbeScope probe;
    auto channel = std::make_shared<testing_support::RecordingChannel>("tcp server teardown");
    getLogger().add(channel);
    auto server = startServer<ProbeSession>();
    constexpr int kClients = 10;
    std::vector<int> fds;
    for (int i = 0; i < kClients; ++i) {
        int fd = connectClient(server->getPort());
        ASSERT_NE(fd, -1);
        ASSERT_TRUE(sendAll(fd, "ping"));
        EXPECT_EQ(recvSome(fd, 4), "ping");
        fds.push_back(fd);
    }
    ASSERT_TRUE(probe.waitFor([](ProbeRecord& r) { return r.attached == kClients; }));
    server.reset();

    ASSERT_TRUE(probe.waitFor([](ProbeRecord& r) { return totalErrors(r) == kClients; }));
    for (int fd : fds) {
        EXPECT_TRUE(waitClosed(fd));
        ::close(fd);
    }
    // Nothing more arrives later.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    {
        std::lock_guard<std::mutex> lck(probe.record.mtx);
        EXPECT_EQ(probe.record.off_thread, 0);
        ASSERT_EQ(probe.record.errors.size(), static_cast<size_t>(kClients));
        for (auto& pr : probe.record.errors) {
            ASSERT_EQ(pr.second.size(), 1u) << pr.first;
            EXPECT_EQ(pr.second[0].first, Err_other);
            EXPECT_EQ(pr.second[0].second, "Server shutdown");
        }
    }
    // Only the main server announces its end, once.
    auto deadline = std::chrono::steady_clock::now() + kWait;
    int closes = 0;
    do {
        closes = 0;
        for (auto& text : channel->texts()) {
            closes += text.find("Close tcp server [") != std::string::npos;
        }
    } while (closes == 0 && std::chrono::steady_clock::now() < deadline &&
             (std::this_thread::sleep_for(std::chrono::milliseconds(5)), true));
    EXPECT_EQ(closes, 1);
    getLogger().del(channel->name());
}

TEST(TcpServerListen, PortInUseThrowsWithListenMessage) {
    auto first = startServer<EchoSession>();
    auto port = first->getPort();
    auto second = std::make_shared<TcpServer>();
    try {
        second->start<EchoSession>(port, "::");
        FAIL() << "second listener on port " << port << " started";
    } catch (std::runtime_error& ex) {
        std::string prefix = "Listen on :: " + std::to_string(port) + " failed: ";
        EXPECT_EQ(std::string(ex.what()).compare(0, prefix.size(), prefix), 0) << ex.what();
        EXPECT_GT(std::string(ex.what()).size(), prefix.size());
    }
    // The first server is unaffected.
    int fd = connectClient(port);
    ASSERT_NE(fd, -1);
    EXPECT_EQ(echoRoundTrip(fd, "still here"), "still here");
    ::close(fd);
}

// Exposes the listening socket of every instance of the family.
class ProbeServer : public TcpServer {
public:
    using TcpServer::TcpServer;
    using TcpServer::getListenSocket;

protected:
    TcpServer::Ptr onCreatServer(const EventPoller::Ptr& poller) override {
        return std::make_shared<ProbeServer>(poller);
    }
};

std::vector<std::shared_ptr<ProbeServer>> familyOf(const TcpServer::Ptr& server) {
    std::set<TcpServer*> seen;
    std::vector<std::shared_ptr<ProbeServer>> out;
    EventPollerPool::Instance().for_each([&](const TaskExecutor::Ptr& executor) {
        auto instance = server->getServer(static_cast<EventPoller*>(executor.get()));
        if (instance && seen.insert(instance.get()).second) {
            out.push_back(std::static_pointer_cast<ProbeServer>(instance));
        }
    });
    return out;
}

TEST(TcpServerListen, OneInstancePerPollerSharingOneDescriptor) {
    auto server = std::make_shared<ProbeServer>();
    server->start<EchoSession>(0, "::");
    auto family = familyOf(server);
    EXPECT_EQ(family.size(), EventPollerPool::Instance().getExecutorSize());
    for (auto& instance : family) {
        EXPECT_EQ(instance->getListenSocket()->get_local_port(), server->getPort());
    }
    // Connections spread over the pollers are each served once.
    constexpr int kClients = 40;
    std::vector<int> fds;
    for (int i = 0; i < kClients; ++i) {
        int fd = connectClient(server->getPort());
        ASSERT_NE(fd, -1);
        fds.push_back(fd);
    }
    for (int i = 0; i < kClients; ++i) {
        auto msg = "client " + std::to_string(i);
        EXPECT_EQ(echoRoundTrip(fds[i], msg), msg);
        ::close(fds[i]);
    }
}

TEST(TcpServerListen, ListenerFailureDoesNotSilenceThePort) {
    auto server = std::make_shared<ProbeServer>();
    server->start<EchoSession>(0, "::");
    auto port = server->getPort();
    auto family = familyOf(server);
    ASSERT_FALSE(family.empty());
    // Every poller's listener fails at once: nobody would accept any more.
    for (auto& instance : family) {
        EXPECT_TRUE(instance->getListenSocket()->emitErr(SockException(Err_other, "injected accept failure")));
    }
    bool all_back = false;
    for (int i = 0; i < 400 && !all_back; ++i) {
        all_back = true;
        for (auto& instance : family) {
            all_back = all_back && instance->getListenSocket()->rawFD() != -1;
        }
        if (!all_back) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    EXPECT_TRUE(all_back);
    EXPECT_EQ(server->getPort(), port);
    for (int i = 0; i < 8; ++i) {
        int fd = connectClient(port);
        ASSERT_NE(fd, -1);
        EXPECT_EQ(echoRoundTrip(fd, "back"), "back");
        ::close(fd);
    }
}

// ---- session faults and foreign threads ------------------------------------

// Throws from onRecv; the server must shut it down with the text.
class ThrowingSession : public ProbeSession {
public:
    using ProbeSession::ProbeSession;
    void onRecv(const Buffer::Ptr&) override { throw std::logic_error("bad request"); }
};

TEST(TcpServerSessions, ExceptionFromOnRecvShutsTheSessionDown) {
    ProbeScope probe;
    auto server = startServer<ThrowingSession>();
    int fd = connectClient(server->getPort());
    ASSERT_NE(fd, -1);
    ASSERT_TRUE(sendAll(fd, "boom"));
    EXPECT_TRUE(waitClosed(fd));
    ::close(fd);
    ASSERT_TRUE(probe.waitFor([](ProbeRecord& r) { return totalErrors(r) == 1; }));
    std::lock_guard<std::mutex> lck(probe.record.mtx);
    auto& err = probe.record.errors.begin()->second.at(0);
    EXPECT_EQ(err.first, Err_shutdown);
    EXPECT_EQ(err.second, "bad request");
}

// Ends itself from its management tick; the server walks on and drops it afterwards.
class SelfEndingSession : public ProbeSession {
public:
    using ProbeSession::ProbeSession;
    void onManager() override {
        ProbeSession::onManager();
        shutdown(SockException(Err_shutdown, "done"));
    }
};

TEST(TcpServerSessions, SessionEndingInsideTheManagementTickIsRemovedSafely) {
    ProbeScope probe;
    auto server = startServer<SelfEndingSession>();
    constexpr int kClients = 6;
    std::vector<int> fds;
    for (int i = 0; i < kClients; ++i) {
        int fd = connectClient(server->getPort());
        ASSERT_NE(fd, -1);
        fds.push_back(fd);
    }
    for (int fd : fds) {
        EXPECT_TRUE(waitClosed(fd));
        ::close(fd);
    }
    ASSERT_TRUE(probe.waitFor([](ProbeRecord& r) { return totalErrors(r) == kClients; }));
    EXPECT_TRUE(probe.waitFor([](ProbeRecord& r) {
        for (auto& pr : r.sessions) {
            if (!pr.second.expired()) {
                return false;
            }
        }
        return true;
    }));
    std::lock_guard<std::mutex> lck(probe.record.mtx);
    EXPECT_EQ(probe.record.managed, kClients);
    for (auto& pr : probe.record.errors) {
        ASSERT_EQ(pr.second.size(), 1u);
        EXPECT_EQ(pr.second[0].second, "done");
    }
}

TEST(TcpServerSessions, SendAndShutdownFromForeignThreads) {
    ProbeScope probe;
    auto server = startServer<ProbeSession>();
    int fd = connectClient(server->getPort());
    ASSERT_NE(fd, -1);
    ASSERT_TRUE(probe.waitFor([](ProbeRecord& r) { return r.attached == 1; }));
    Session::Ptr session;
    {
        std::lock_guard<std::mutex> lck(probe.record.mtx);
        session = probe.record.sessions.begin()->second.lock();
    }
    ASSERT_TRUE(session);

    // Two threads push numbered frames straight at the session.
    constexpr int kThreads = 2;
    constexpr int kFrames = 400;
    constexpr size_t kFrameSize = 16;
    std::vector<std::thread> pushers;
    for (int t = 0; t < kThreads; ++t) {
        pushers.emplace_back([&, t]() {
            for (int seq = 0; seq < kFrames; ++seq) {
                char frame[kFrameSize] = {};
                snprintf(frame, sizeof(frame), "%c%06d", 'A' + t, seq);
                EXPECT_EQ(session->send(frame, kFrameSize), static_cast<ssize_t>(kFrameSize));
            }
        });
    }
    for (auto& t : pushers) {
        t.join();
    }
    std::thread([&]() { session->shutdown(SockException(Err_shutdown, "pushed enough")); }).join();
    session.reset();

    // Every frame arrives, each thread's in its own order, then the end.
    auto data = recvSome(fd, kThreads * kFrames * kFrameSize);
    ASSERT_EQ(data.size(), kThreads * kFrames * kFrameSize);
    std::vector<int> next(kThreads, 0);
    for (size_t off = 0; off < data.size(); off += kFrameSize) {
        int t = data[off] - 'A';
        ASSERT_TRUE(t >= 0 && t < kThreads);
        EXPECT_EQ(std::atoi(data.c_str() + off + 1), next[t]++);
    }
    EXPECT_TRUE(waitClosed(fd));
    ::close(fd);
    ASSERT_TRUE(probe.waitFor([](ProbeRecord& r) { return totalErrors(r) == 1; }));
    std::lock_guard<std::mutex> lck(probe.record.mtx);
    EXPECT_EQ(probe.record.errors.begin()->second.at(0).second, "pushed enough");
    EXPECT_EQ(probe.record.off_thread, 0);
}

} // namespace
