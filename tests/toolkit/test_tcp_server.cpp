#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Network/Server.h"
#include "Network/Session.h"
#include "Network/TcpClient.h"
#include "Network/TcpServer.h"
#include "test_socket_support.h"

using namespace toolkit;
using namespace poller_test;
using socket_test::RawClient;

namespace {

// Echoes, and ends the connection when told "bye".
class EchoSession : public Session {
public:
    using Session::Session;
    void onRecv(const Buffer::Ptr& buf) override {
        buf->toString() == "bye" ? shutdown(SockException(Err_shutdown, "bye")) : (void)send(buf->data(), buf->size());
    }
    void onError(const SockException&) override {}
    void onManager() override {}
};

// What a client saw; shared so that it outlives the client.
struct ClientRecord {
    std::mutex mtx;
    std::vector<SockException> connects;
    std::vector<SockException> errors;
    std::string received;
    int off_thread = 0;
    Latch connected;
    Latch ended;
};

class RecordingClient : public TcpClient {
public:
    explicit RecordingClient(std::shared_ptr<ClientRecord> record) : _record(std::move(record)) {}

protected:
    void onConnect(const SockException& ex) override {
        note([&]() { _record->connects.push_back(ex); });
        _record->connected.set();
    }
    void onRecv(const Buffer::Ptr& buf) override {
        note([&]() { _record->received += buf->toString(); });
    }
    void onError(const SockException& ex) override {
        note([&]() { _record->errors.push_back(ex); });
        _record->ended.set();
    }

private:
    template <typename FUNC>
    void note(FUNC fn) {
        std::lock_guard<std::mutex> lck(_record->mtx);
        _record->off_thread += !getPoller()->isCurrentThread();
        fn();
    }
    std::shared_ptr<ClientRecord> _record;
};

// A loopback listener that never accepts, with its queue filled: the kernel
// drops further connection requests, so connecting to it hangs.
class FullListener {
public:
    FullListener() {
        _listen_fd = SockUtil::listen(0, "127.0.0.1", 0);
        port = SockUtil::get_local_port(_listen_fd);
        // The one connection a zero backlog admits fills the queue.
        auto addr = SockUtil::make_sockaddr("127.0.0.1", port);
        _filler_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::connect(_filler_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(sockaddr_in));
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

std::shared_ptr<RecordingClient> connectTo(const std::shared_ptr<ClientRecord>& record, const char* host,
                                           uint16_t port, float timeout) {
    auto client = std::make_shared<RecordingClient>(record);
    client->startConnect(host, port, timeout);
    return client;
}

// What the probe sessions of one test saw.
struct ProbeRecord {
    std::mutex mtx;
    int attached = 0;
    int managed = 0;
    int off_thread = 0;
    int recv_before_attach = 0;
    std::vector<std::string> peer_ips;
    // Session identifier -> codes and texts of its onError calls.
    std::map<std::string, std::vector<std::pair<ErrCode, std::string>>> errors;
    std::map<std::string, std::weak_ptr<Session>> sessions;

    size_t totalErrors() {
        size_t n = 0;
        for (auto& pr : errors) {
            n += pr.second.size();
        }
        return n;
    }
    // Every session got exactly one onError, with this code (and text, if given).
    void expectOneErrorEach(ErrCode code, const char* text = nullptr) {
        for (auto& pr : errors) {
            ASSERT_EQ(pr.second.size(), 1u) << pr.first;
            EXPECT_EQ(pr.second[0].first, code) << pr.second[0].second;
            if (text) {
                EXPECT_EQ(pr.second[0].second, text);
            }
        }
    }
    bool allReleased() {
        return std::all_of(sessions.begin(), sessions.end(), [](auto& pr) { return pr.second.expired(); });
    }
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
        note([&](ProbeRecord& r) {
            ++r.attached;
            _attached = true;
            r.peer_ips.push_back(get_peer_ip());
            r.sessions[getIdentifier()] = shared_from_this();
        });
    }
    void onRecv(const Buffer::Ptr& buf) override {
        note([&](ProbeRecord& r) { r.recv_before_attach += !_attached; });
        send(buf->data(), buf->size());
    }
    void onError(const SockException& err) override {
        note([&](ProbeRecord& r) { r.errors[getIdentifier()].emplace_back(err.getErrCode(), err.what()); });
    }
    void onManager() override {
        note([](ProbeRecord& r) { ++r.managed; });
    }

private:
    template <typename FUNC>
    void note(FUNC fn) {
        std::lock_guard<std::mutex> lck(_probe->mtx);
        _probe->off_thread += !getPoller()->isCurrentThread();
        fn(*_probe);
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
    bool waitFor(PRED pred) {
        return waitUntil([&]() {
            std::lock_guard<std::mutex> lck(record.mtx);
            return pred(record);
        }, std::chrono::seconds(20));
    }

private:
    std::shared_ptr<ProbeRecord> _record = std::make_shared<ProbeRecord>();

public:
    ProbeRecord& record = *_record;
};

template <typename SessionType>
TcpServer::Ptr startServer() {
    auto server = std::make_shared<TcpServer>();
    server->start<SessionType>(0, "::");
    return server;
}

std::vector<std::unique_ptr<RawClient>> connectClients(uint16_t port, int count) {
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < count; ++i) {
        clients.push_back(std::make_unique<RawClient>(port));
        EXPECT_TRUE(clients.back()->connected());
    }
    return clients;
}

// Counts its error callbacks.
class CountingSession : public Session {
public:
    using Session::Session;
    void onRecv(const Buffer::Ptr&) override {}
    void onError(const SockException&) override { ++errors; }
    void onManager() override {}
    std::atomic<int> errors{0};
};

// A socket without descriptor on a pool poller (locks off, as the servers make them).
Socket::Ptr idleSocket() {
    return Socket::createSocket(EventPollerPool::Instance().getPoller(false), false);
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

} // namespace

TEST(TcpServerEcho, FiftyClientsEachEchoOneMiBIntact) {
    auto server = startServer<EchoSession>();
    ASSERT_NE(server->getPort(), 0);
    constexpr size_t kClients = 50, kBytes = 1024 * 1024;
    std::vector<int> ok(kClients, 0);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < kClients; ++i) {
        threads.emplace_back([&, i]() {
            RawClient client(server->getPort());
            auto data = socket_test::pattern(kBytes, i);
            ok[i] = client.connected() && client.echo(data) == data;
        });
    }
    for (size_t i = 0; i < kClients; ++i) {
        threads[i].join();
        EXPECT_TRUE(ok[i]) << "client " << i;
    }
}

// Data sent right after connecting reaches a session only once it is attached;
// every callback runs on the session's poller; an IPv4 client of the "::"
// listener reads as a plain IPv4 peer; a closed client ends its session once,
// and the server then lets go of it.
TEST(TcpServerSessions, CallbacksRunOnTheSocketPollerAndAttachComesFirst) {
    ProbeScope probe;
    auto server = startServer<ProbeSession>();
    constexpr int kClients = 12;
    auto clients = connectClients(server->getPort(), kClients);
    for (auto& client : clients) {
        ASSERT_TRUE(client->sendAll("hello"));
    }
    for (auto& client : clients) {
        EXPECT_EQ(client->readBytes(5), "hello");
    }
    // Every session gets at least one management tick (every 2 s).
    EXPECT_TRUE(probe.waitFor([](ProbeRecord& r) { return r.managed >= kClients; }));
    clients.clear();
    ASSERT_TRUE(probe.waitFor([](ProbeRecord& r) { return r.totalErrors() == kClients; }));
    EXPECT_TRUE(probe.waitFor([](ProbeRecord& r) { return r.allReleased(); }));

    std::lock_guard<std::mutex> lck(probe.record.mtx);
    EXPECT_EQ(probe.record.attached, kClients);
    EXPECT_EQ(probe.record.off_thread, 0);
    EXPECT_EQ(probe.record.recv_before_attach, 0);
    EXPECT_EQ(probe.record.peer_ips, std::vector<std::string>(kClients, "127.0.0.1"));
    probe.record.expectOneErrorEach(Err_eof);
    for (auto& pr : probe.record.sessions) {
        EXPECT_EQ(SessionMap::Instance().get(pr.first), nullptr);
    }
}

TEST(TcpServerShutdown, TearDownWithClientsGivesEachSessionOneServerShutdown) {
    ProbeScope probe;
    testing_support::LogCapture log;
    auto server = startServer<ProbeSession>();
    constexpr int kClients = 10;
    auto clients = connectClients(server->getPort(), kClients);
    for (auto& client : clients) {
        ASSERT_TRUE(client->sendAll("ping"));
        EXPECT_EQ(client->readBytes(4), "ping");
    }
    ASSERT_TRUE(probe.waitFor([](ProbeRecord& r) { return r.attached == kClients; }));
    server.reset();

    ASSERT_TRUE(probe.waitFor([](ProbeRecord& r) { return r.totalErrors() == kClients; }));
    for (auto& client : clients) {
        EXPECT_TRUE(client->waitClosed());
    }
    // Only the main server announces its end, once.
    EXPECT_TRUE(log.waitFor("Close tcp server ["));
    // Nothing more arrives later.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(log.count("Close tcp server ["), 1u);
    std::lock_guard<std::mutex> lck(probe.record.mtx);
    EXPECT_EQ(probe.record.off_thread, 0);
    ASSERT_EQ(probe.record.errors.size(), static_cast<size_t>(kClients));
    probe.record.expectOneErrorEach(Err_other, "Server shutdown");
}

TEST(TcpServerListen, PortInUseThrowsWithListenMessage) {
    auto first = startServer<EchoSession>();
    auto port = first->getPort();
    auto second = std::make_shared<TcpServer>();
    std::string error;
    try {
        second->start<EchoSession>(port, "::");
    } catch (std::runtime_error& ex) {
        error = ex.what();
    }
    std::string prefix = "Listen on :: " + std::to_string(port) + " failed: ";
    EXPECT_EQ(error.compare(0, prefix.size(), prefix), 0) << error;
    EXPECT_GT(error.size(), prefix.size());
    // The first server is unaffected.
    RawClient client(port);
    EXPECT_EQ(client.echo("still here"), "still here");
}

// One instance per poller, sharing the listening descriptor. A listener
// error (as a failing accept gives) does not silence the port: each instance
// listens again.
TEST(TcpServerListen, ListenerFailureDoesNotSilenceThePort) {
    auto server = std::make_shared<ProbeServer>();
    server->start<EchoSession>(0, "::");
    auto port = server->getPort();
    std::set<TcpServer*> seen;
    std::vector<std::shared_ptr<ProbeServer>> family;
    for (auto& poller : socket_test::poolPollers()) {
        auto instance = server->getServer(poller.get());
        if (instance && seen.insert(instance.get()).second) {
            family.push_back(std::static_pointer_cast<ProbeServer>(instance));
        }
    }
    ASSERT_EQ(family.size(), EventPollerPool::Instance().getExecutorSize());
    for (auto& instance : family) {
        EXPECT_EQ(instance->getListenSocket()->get_local_port(), port);
        EXPECT_TRUE(instance->getListenSocket()->emitErr(SockException(Err_other, "injected accept failure")));
    }
    EXPECT_TRUE(waitUntil([&]() {
        for (auto& instance : family) {
            if (instance->getListenSocket()->rawFD() == -1) {
                return false;
            }
        }
        return true;
    }, std::chrono::seconds(20)));
    EXPECT_EQ(server->getPort(), port);
    for (int i = 0; i < 8; ++i) {
        RawClient client(port);
        auto msg = "back " + std::to_string(i);
        EXPECT_EQ(client.echo(msg), msg);
    }
}

// Throws from onRecv; the server must shut it down with the text.
class ThrowingSession : public ProbeSession {
public:
    using ProbeSession::ProbeSession;
    void onRecv(const Buffer::Ptr&) override { throw std::logic_error("bad request"); }
};

TEST(TcpServerSessions, ExceptionFromOnRecvShutsTheSessionDown) {
    ProbeScope probe;
    auto server = startServer<ThrowingSession>();
    RawClient client(server->getPort());
    ASSERT_TRUE(client.sendAll("boom"));
    EXPECT_TRUE(client.waitClosed());
    ASSERT_TRUE(probe.waitFor([](ProbeRecord& r) { return r.totalErrors() == 1; }));
    std::lock_guard<std::mutex> lck(probe.record.mtx);
    probe.record.expectOneErrorEach(Err_shutdown, "bad request");
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
    auto clients = connectClients(server->getPort(), kClients);
    for (auto& client : clients) {
        EXPECT_TRUE(client->waitClosed());
    }
    ASSERT_TRUE(probe.waitFor([](ProbeRecord& r) { return r.totalErrors() == kClients; }));
    EXPECT_TRUE(probe.waitFor([](ProbeRecord& r) { return r.allReleased(); }));
    std::lock_guard<std::mutex> lck(probe.record.mtx);
    EXPECT_EQ(probe.record.managed, kClients);
    probe.record.expectOneErrorEach(Err_shutdown, "done");
}

// The servers' sockets have their locks off: a send or shutdown from another
// thread is carried out on the socket's poller.
TEST(TcpServerSessions, SendAndShutdownFromForeignThreads) {
    ProbeScope probe;
    auto server = startServer<ProbeSession>();
    RawClient client(server->getPort());
    ASSERT_TRUE(probe.waitFor([](ProbeRecord& r) { return r.attached == 1; }));
    Session::Ptr session;
    {
        std::lock_guard<std::mutex> lck(probe.record.mtx);
        session = probe.record.sessions.begin()->second.lock();
    }
    ASSERT_TRUE(session);
    constexpr int kThreads = 2, kFrames = 400;
    constexpr size_t kFrameSize = 16;
    std::vector<std::thread> pushers;
    for (int t = 0; t < kThreads; ++t) {
        pushers.emplace_back([&, t]() {
            for (int seq = 0; seq < kFrames; ++seq) {
                auto frame = socket_test::makeRecordFrame(t, seq, kFrameSize);
                EXPECT_EQ(session->send(frame.data(), kFrameSize), static_cast<ssize_t>(kFrameSize));
            }
        });
    }
    for (auto& t : pushers) {
        t.join();
    }
    std::thread([&]() { session->shutdown(SockException(Err_shutdown, "pushed enough")); }).join();
    session.reset();

    // Every frame arrives, each thread's in its own order, then the end.
    auto data = client.readBytes(kThreads * kFrames * kFrameSize);
    EXPECT_TRUE(socket_test::framesInOrder(data, kThreads, kFrames, kFrameSize));
    EXPECT_TRUE(client.waitClosed());
    ASSERT_TRUE(probe.waitFor([](ProbeRecord& r) { return r.totalErrors() == 1; }));
    std::lock_guard<std::mutex> lck(probe.record.mtx);
    probe.record.expectOneErrorEach(Err_shutdown, "pushed enough");
    EXPECT_EQ(probe.record.off_thread, 0);
}

// ---------------------------------------------------------------- sessions

// An empty send queues nothing on any thread. A send off the poller is posted
// (the caller learns the queued size); on the poller it goes straight to the
// socket, here one without descriptor. Without a socket a send fails.
TEST(SocketHelper, EmptySendAndSendsFromEveryThread) {
    auto sock = idleSocket();
    auto session = std::make_shared<CountingSession>(sock);
    EXPECT_EQ(session->send("abc", 0), 0);
    EXPECT_EQ(session->send(nullptr, 0), 0);
    EXPECT_EQ(session->send(BufferRaw::create()), 0);
    ssize_t empty = 1, direct = 0;
    size_t queued = 1;
    ASSERT_TRUE(runOn(sock->getPoller(), [&]() {
        empty = session->send("abc", 0);
        queued = sock->getSendBufferCount();
        direct = session->send("abc", 3);
    }));
    EXPECT_EQ(empty, 0);
    EXPECT_EQ(queued, 0u);
    EXPECT_EQ(direct, -1);
    EXPECT_EQ(session->send("abc", 3), 3);

    auto bare = std::make_shared<CountingSession>(nullptr);
    EXPECT_EQ(bare->send("abc", 3), -1);
    bare->shutdown();
    EXPECT_EQ(bare->get_peer_ip(), "");
}

// "<sequence>-<descriptor>", fixed at the first call, unique across threads.
TEST(Session, IdentifiersAreSequencedAndNeverCollide) {
    auto first = std::make_shared<CountingSession>(idleSocket());
    auto second = std::make_shared<CountingSession>(idleSocket());
    auto id1 = first->getIdentifier();
    auto id2 = second->getIdentifier();
    EXPECT_EQ(first->getIdentifier(), id1);
    ASSERT_EQ(id1.substr(id1.find('-')), "--1");  // no descriptor
    EXPECT_EQ(std::stoull(id2.substr(0, id2.find('-'))), std::stoull(id1.substr(0, id1.find('-'))) + 1);

    constexpr int kThreads = 4, kEach = 50;
    std::vector<std::vector<std::string>> ids(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t]() {
            for (int i = 0; i < kEach; ++i) {
                ids[t].push_back(std::make_shared<CountingSession>(nullptr)->getIdentifier());
            }
        });
    }
    std::set<std::string> all;
    for (int t = 0; t < kThreads; ++t) {
        threads[t].join();
        all.insert(ids[t].begin(), ids[t].end());
    }
    EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kEach));
}

TEST(SessionHelper, RegistersTheSessionForItsLifetimeQuietlyWhileTheServerLives) {
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
    // Anything it posted would have run by the time a later task runs.
    ASSERT_TRUE(runOn(session->getPoller()));
    EXPECT_EQ(session->errors, 0);
}

// ---------------------------------------------------------------- outgoing connections

// Everything from the foreign test thread; the callbacks all run on the
// client's poller, and the peer's hang-up ends the connection once.
TEST(TcpClient, ConnectsExchangesDataAndSeesTheHangUpOnce) {
    auto server = startServer<EchoSession>();
    auto record = std::make_shared<ClientRecord>();
    auto client = connectTo(record, "::1", server->getPort(), 5);
    ASSERT_TRUE(record->connected.wait());
    bool alive = false;
    uint16_t peer_port = 0;
    ASSERT_TRUE(runOn(client->getPoller(), [&]() {
        alive = client->alive();
        peer_port = client->get_peer_port();
    }));
    EXPECT_TRUE(alive);
    EXPECT_EQ(peer_port, server->getPort());

    EXPECT_EQ(client->send("ping", 4), 4);
    EXPECT_TRUE(waitUntil([&]() {
        std::lock_guard<std::mutex> lck(record->mtx);
        return record->received == "ping";
    }));
    EXPECT_EQ(client->send("bye", 3), 3);
    ASSERT_TRUE(record->ended.wait());
    ASSERT_TRUE(runOn(client->getPoller()));
    std::lock_guard<std::mutex> lck(record->mtx);
    ASSERT_EQ(record->connects.size(), 1u);
    EXPECT_EQ(record->connects[0].getErrCode(), Err_success) << record->connects[0].what();
    ASSERT_EQ(record->errors.size(), 1u);
    EXPECT_EQ(record->errors[0].getErrCode(), Err_eof) << record->errors[0].what();
    EXPECT_EQ(record->off_thread, 0);
}

TEST(TcpClient, ClosedPortIsRefusedAndSilenceTimesOut) {
    FullListener silent;
    auto refused = std::make_shared<ClientRecord>();
    auto timed_out = std::make_shared<ClientRecord>();
    auto first = connectTo(refused, "127.0.0.1", socket_test::closedPort(), 5);
    auto second = connectTo(timed_out, "127.0.0.1", silent.port, 0.3f);
    ASSERT_TRUE(refused->connected.wait());
    ASSERT_TRUE(timed_out->connected.wait());
    // A late second report would have been queued behind this.
    ASSERT_TRUE(runOn(first->getPoller()));
    ASSERT_TRUE(runOn(second->getPoller()));
    std::lock_guard<std::mutex> lck(refused->mtx);
    ASSERT_EQ(refused->connects.size(), 1u);
    EXPECT_EQ(refused->connects[0].getErrCode(), Err_refused) << refused->connects[0].what();
    EXPECT_TRUE(refused->errors.empty());
    std::lock_guard<std::mutex> lck2(timed_out->mtx);
    ASSERT_EQ(timed_out->connects.size(), 1u);
    EXPECT_EQ(timed_out->connects[0].getErrCode(), Err_timeout);
    EXPECT_STREQ(timed_out->connects[0].what(), "connection timed out");
}

// An attempt given up (client destroyed, or a new attempt started) reports nothing.
TEST(TcpClient, AbandonedAttemptsReportNothing) {
    FullListener listener;
    auto server = startServer<EchoSession>();
    auto destroyed = std::make_shared<ClientRecord>();
    auto gone = connectTo(destroyed, "127.0.0.1", listener.port, 0.2f);
    auto poller = gone->getPoller();
    gone.reset();
    auto record = std::make_shared<ClientRecord>();
    auto client = connectTo(record, "127.0.0.1", listener.port, 0.2f);
    client->startConnect("127.0.0.1", server->getPort(), 5);
    ASSERT_TRUE(record->connected.wait());
    // Well past the time-out: the attempts' timers would have fired by now.
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    ASSERT_TRUE(runOn(poller));
    ASSERT_TRUE(runOn(client->getPoller()));
    std::lock_guard<std::mutex> lck(record->mtx);
    ASSERT_EQ(record->connects.size(), 1u);
    EXPECT_EQ(record->connects[0].getErrCode(), Err_success);
    std::lock_guard<std::mutex> lck2(destroyed->mtx);
    EXPECT_TRUE(destroyed->connects.empty());
}
