#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
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
#include "Network/TcpServer.h"
#include "Poller/EventPollerPool.h"
#include "Util/DescriptorLimit.h"
#include "test_socket_support.h"

using namespace toolkit;
using namespace poller_test;
using socket_test::RawClient;

namespace {

// What the probe sessions of one test saw.
struct ProbeRecord {
    std::mutex mtx;
    int attached = 0;
    int managed = 0;
    int off_thread = 0;
    int recv_before_attach = 0;
    std::vector<std::string> peer_ips;
    // Every received buffer, in the order the sessions got them.
    std::vector<std::string> received;
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
        note([&](ProbeRecord& r) {
            r.recv_before_attach += !_attached;
            r.received.push_back(buf->toString());
        });
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
    auto first = startServer<ProbeSession>();
    auto port = first->getPort();
    auto second = std::make_shared<TcpServer>();
    std::string error;
    try {
        second->start<ProbeSession>(port, "::");
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
    server->start<ProbeSession>(0, "::");
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

// Throws from onRecv, and ends itself from its management tick once told "end".
class MisbehavingSession : public ProbeSession {
public:
    using ProbeSession::ProbeSession;
    void onRecv(const Buffer::Ptr& buf) override {
        if (buf->toString() != "end") {
            throw std::logic_error("bad request");
        }
        _end = true;
    }
    void onManager() override {
        ProbeSession::onManager();
        if (_end) {
            shutdown(SockException(Err_shutdown, "done"));
        }
    }

private:
    bool _end = false;
};

// A throwing onRecv shuts its session down with the text; a session ending
// itself inside the management tick is removed safely while the server walks on.
TEST(TcpServerSessions, ThrowingOrSelfEndingSessionsAreShutDownOnce) {
    ProbeScope probe;
    auto server = startServer<MisbehavingSession>();
    constexpr int kClients = 6;
    auto clients = connectClients(server->getPort(), kClients);
    for (int i = 0; i < kClients; ++i) {
        ASSERT_TRUE(clients[i]->sendAll(i % 2 ? "end" : "boom"));
    }
    for (auto& client : clients) {
        EXPECT_TRUE(client->waitClosed());
    }
    ASSERT_TRUE(probe.waitFor([](ProbeRecord& r) { return r.totalErrors() == kClients; }));
    EXPECT_TRUE(probe.waitFor([](ProbeRecord& r) { return r.allReleased(); }));
    std::lock_guard<std::mutex> lck(probe.record.mtx);
    std::map<std::string, int> texts;
    for (auto& pr : probe.record.errors) {
        ASSERT_EQ(pr.second.size(), 1u) << pr.first;
        EXPECT_EQ(pr.second[0].first, Err_shutdown);
        ++texts[pr.second[0].second];
    }
    EXPECT_EQ(texts, (std::map<std::string, int>{{"bad request", kClients / 2}, {"done", kClients / 2}}));
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

// Beyond its cap a connection is accepted and closed at once, so the client
// learns at once instead of waiting in the queue; a freed place is taken again.
TEST(TcpServerSessions, ConnectionsBeyondTheCapAreClosedAtOnce) {
    ProbeScope probe;
    auto server = std::make_shared<TcpServer>();
    server->setMaxConnections(4);
    server->start<ProbeSession>(0, "::");
    auto clients = connectClients(server->getPort(), 4);
    for (auto& client : clients) {
        ASSERT_TRUE(client->sendAll("in"));
        EXPECT_EQ(client->readBytes(2), "in");
    }
    EXPECT_EQ(server->connectionCount(), 4u);
    for (int i = 0; i < 3; ++i) {
        RawClient extra(server->getPort());
        ASSERT_TRUE(extra.connected());
        EXPECT_TRUE(extra.waitClosed());
    }
    EXPECT_EQ(server->connectionCount(), 4u);
    for (auto& client : clients) {
        ASSERT_TRUE(client->sendAll("still"));
        EXPECT_EQ(client->readBytes(5), "still");
    }

    clients.front()->close();
    ASSERT_TRUE(waitUntil([&] { return server->connectionCount() == 3; }, std::chrono::seconds(20)));
    RawClient next(server->getPort());
    ASSERT_TRUE(next.sendAll("next"));
    EXPECT_EQ(next.readBytes(4), "next");

    server->setMaxConnections(0);
    EXPECT_EQ(server->maxConnections(), descriptorLimit() / TcpServer::kDescriptorShare);
    server->setMaxConnections(1u << 30);
    EXPECT_EQ(server->maxConnections(), descriptorLimit() / TcpServer::kDescriptorShare);
}

// Serves every connection on the first poller, as the SCPI socket does.
class FirstPollerServer : public TcpServer {
public:
    using TcpServer::TcpServer;

protected:
    TcpServer::Ptr onCreatServer(const EventPoller::Ptr& poller) override {
        return std::make_shared<FirstPollerServer>(poller);
    }
    Socket::Ptr onBeforeAcceptConnection(const EventPoller::Ptr&) override {
        return Socket::createSocket(EventPollerPool::Instance().getFirstPoller(), false);
    }
};

// While the poller that serves the sessions is busy, the other pollers go on
// accepting: connections wait for their sessions holding places, even once
// their clients have reset them. One address holds only its share of the
// places, so another address still gets one; and a connection beyond is
// closed at once by the accepting poller, not by the busy one.
TEST(TcpServerSessions, OneAddressHoldsItsShareWhileTheServingPollerIsBusy) {
    if (EventPollerPool::Instance().getExecutorSize() < 2) {
        GTEST_SKIP() << "one poller: nothing accepts while it is busy";
    }
    ProbeScope probe;
    auto server = std::make_shared<FirstPollerServer>();
    server->setMaxConnections(4, true);
    server->start<ProbeSession>(0, "::");
    ASSERT_EQ(server->addressShare(), 3u);
    std::promise<void> release;
    EventPollerPool::Instance().getFirstPoller()->async([busy = release.get_future().share()]() { busy.wait(); });

    auto holders = std::vector<std::unique_ptr<RawClient>>();
    for (int i = 0; i < 3; ++i) {
        holders.push_back(std::make_unique<RawClient>(server->getPort(), false, "127.0.0.2"));
    }
    ASSERT_TRUE(waitUntil([&] { return server->connectionCount() == 3; }, std::chrono::seconds(20)));
    for (auto& holder : holders) {
        holder->reset();
    }
    const struct {
        const char* from;
        bool served;
    } steps[] = {{"127.0.0.2", false}, {"127.0.0.1", true}, {"127.0.0.3", false}};
    std::vector<std::unique_ptr<RawClient>> served;
    for (const auto& step : steps) {
        const size_t held = server->connectionCount();
        auto client = std::make_unique<RawClient>(server->getPort(), false, step.from);
        ASSERT_TRUE(client->connected()) << step.from;
        ASSERT_TRUE(client->sendAll("in"));
        if (step.served) {
            // Its place is taken before the next client comes: accepted on
            // another poller, a later client could take it first.
            ASSERT_TRUE(waitUntil([&] { return server->connectionCount() == held + 1; }, std::chrono::seconds(20)))
                << step.from;
            served.push_back(std::move(client));
        } else {
            EXPECT_TRUE(client->waitClosed()) << step.from;
        }
    }
    EXPECT_EQ(server->connectionCount(), 4u);
    release.set_value();
    EXPECT_EQ(served.front()->readBytes(2), "in");
    EXPECT_TRUE(waitUntil([&] { return server->connectionCount() == 1; }, std::chrono::seconds(20)));
}

// The kernel still hands over what a client sent before it reset its
// connection in the queue, though the peer's address can no longer be asked
// for: such a connection is served as any other, with its place counted under
// the address it came from, and it gives the place back at its first read error.
TEST(TcpServerSessions, ConnectionsResetInTheQueueAreServed) {
    const struct {
        bool ipv6;
        const char* from;
        size_t cap;
        bool perAddress;
        int clients;
    } cases[] = {
        {false, "127.0.0.2", 4, true, 3},
        {true, nullptr, 4, true, 3},
        {false, nullptr, 0, false, 8},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.ipv6 ? "::1" : c.from ? c.from : "127.0.0.1") + " cap " + std::to_string(c.cap));
        ProbeScope probe;
        auto server = std::make_shared<TcpServer>();
        server->setMaxConnections(c.cap, c.perAddress);
        server->start<ProbeSession>(0, "::");
        std::vector<std::string> sent;
        {
            // Every poller of the pool held in a task: nothing accepts, and
            // the connections wait in the listener's queue.
            std::vector<std::unique_ptr<LoopGate>> held;
            for (auto& poller : socket_test::poolPollers()) held.push_back(std::make_unique<LoopGate>(poller));
            for (int i = 0; i < c.clients; ++i) {
                RawClient client(server->getPort(), c.ipv6, c.from);
                ASSERT_TRUE(client.connected());
                sent.push_back("*ESE " + std::to_string(i) + "\n");
                ASSERT_TRUE(client.sendAll(sent.back()));
                client.reset();
            }
        }
        ASSERT_TRUE(probe.waitFor([&](ProbeRecord& r) { return r.totalErrors() == sent.size(); }));
        EXPECT_TRUE(waitUntil([&] { return server->connectionCount() == 0; }));
        std::lock_guard<std::mutex> lck(probe.record.mtx);
        std::sort(probe.record.received.begin(), probe.record.received.end());
        EXPECT_EQ(probe.record.received, sent);
        EXPECT_EQ(probe.record.recv_before_attach, 0);
        probe.record.expectOneErrorEach(Err_other);
    }
}
