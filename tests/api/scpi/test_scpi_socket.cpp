// The SCPI socket session over loopback, with the real engine: messages that
// arrive in pieces run once and whole, a trailing piece runs after the quiet
// time, an overrun queues -363, replies are written on the session's own
// poller, and a client that leaves before its reply breaks nothing.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "DrvScpiQueue.h"
#include "Network/TcpServer.h"
#include "Poller/EventPollerPool.h"
#include "ScpiService.h"
#include "scpi_engine_env.h"

namespace {

using namespace std::chrono_literals;
using toolkit::EventPoller;

constexpr auto kWait = 10s;

class ProbeSession;

// What the probe sessions did; the tests run one at a time.
struct Probe {
    std::mutex mtx;
    std::condition_variable cv;
    std::weak_ptr<ProbeSession> session;
    int receipts = 0;
    int sends = 0;
    int sendsOffOwnPoller = 0;
    int sendsOnFirstPoller = 0;
    bool destroyed = false;

    template <typename PRED>
    bool waitFor(PRED pred) {
        std::unique_lock<std::mutex> lock(mtx);
        return cv.wait_for(lock, kWait, pred);
    }
    template <typename FN>
    void update(FN fn) {
        std::lock_guard<std::mutex> lock(mtx);
        fn();
        cv.notify_all();
    }
} g_probe;

// A session that reports what it receives and on which thread it sends.
class ProbeSession : public ScpiService::ScpiSession {
public:
    using ScpiService::ScpiSession::ScpiSession;
    using ScpiService::ScpiSession::send;
    ~ProbeSession() override {
        g_probe.update([] { g_probe.destroyed = true; });
    }
    void attachServer(const toolkit::Server& server) override {
        ScpiService::ScpiSession::attachServer(server);
        auto self = std::static_pointer_cast<ProbeSession>(shared_from_this());
        g_probe.update([&] { g_probe.session = self; });
    }
    void onRecv(const toolkit::Buffer::Ptr& buf) override {
        ScpiService::ScpiSession::onRecv(buf);
        g_probe.update([] { ++g_probe.receipts; });
    }
    ssize_t send(toolkit::Buffer::Ptr buf) override {
        bool own = getPoller()->isCurrentThread();
        bool first = EventPoller::Instance().isCurrentThread();
        g_probe.update([&] {
            ++g_probe.sends;
            g_probe.sendsOffOwnPoller += own ? 0 : 1;
            g_probe.sendsOnFirstPoller += first ? 1 : 0;
        });
        return ScpiService::ScpiSession::send(std::move(buf));
    }
};

// Runs fn on the poller's thread and waits for it.
template <typename FN>
void runOn(EventPoller& poller, FN fn) {
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    poller.async([fn, done]() mutable {
        fn();
        done->set_value();
    }, false);
    ASSERT_EQ(future.wait_for(kWait), std::future_status::ready);
}

class ScpiSocketTest : public scpi_test::EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        // Sessions go to a poller other than the first, where commands run.
        toolkit::EventPollerPool::Instance().for_each([this](const toolkit::TaskExecutor::Ptr& executor) {
            auto poller = std::dynamic_pointer_cast<EventPoller>(executor);
            if (!_poller && poller.get() != &EventPoller::Instance()) {
                _poller = poller;
            }
        });
        if (!_poller) {
            GTEST_SKIP() << "the poller pool has a single poller";
        }
        g_probe.update([] {
            g_probe.session.reset();
            g_probe.receipts = g_probe.sends = g_probe.sendsOffOwnPoller = g_probe.sendsOnFirstPoller = 0;
            g_probe.destroyed = false;
        });
        SCP_ClearErrQueue(1);
        _server = std::make_shared<toolkit::TcpServer>();
        _server->setOnCreateSocket([poller = _poller](const EventPoller::Ptr&) {
            return toolkit::Socket::createSocket(poller, false);
        });
        _server->start<ProbeSession>(0, "127.0.0.1");
        connectClient();
    }

    void TearDown() override {
        if (_fd >= 0) {
            ::close(_fd);
        }
        if (_server) {
            _server.reset();
            // The session ends on its poller once its connection or its server
            // has gone; it reports into the probe, which the process's exit
            // destroys: the test ends after the task that ended it.
            EXPECT_TRUE(g_probe.waitFor([] { return g_probe.destroyed; }));
            runOn(*_poller, [] {});
        }
        EXPECT_EQ(g_probe.sendsOffOwnPoller, 0);
        EXPECT_EQ(g_probe.sendsOnFirstPoller, 0);
    }

    void connectClient() {
        _fd = ::socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_GE(_fd, 0);
        timeval timeout{10, 0};
        ::setsockopt(_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(_server->getPort());
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::connect(_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
        ASSERT_TRUE(g_probe.waitFor([] { return !g_probe.session.expired(); }));
    }

    void sendText(const std::string& text) {
        ASSERT_EQ(::send(_fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
    }

    std::string readLine() {
        std::string line;
        char c = 0;
        while (::recv(_fd, &c, 1, 0) == 1) {
            if (c == '\n') {
                return line;
            }
            line += c;
        }
        return "<no reply: " + line + ">";
    }

    // Hands the pieces to the session as separate receipts, within one task
    // of its poller: no quiet time can pass between them. The connection
    // then ends when `leave`.
    void feed(std::vector<std::string> pieces, bool leave = false) {
        auto session = g_probe.session.lock();
        ASSERT_TRUE(session);
        runOn(*_poller, [session, pieces, leave] {
            for (const std::string& piece : pieces) {
                auto buf = toolkit::BufferRaw::create();
                buf->assign(piece.data(), piece.size());
                session->onRecv(buf);
            }
            if (leave) {
                session->onError(toolkit::SockException(toolkit::Err_eof, "end of file"));
            }
        });
    }

    static std::vector<std::string> drainErrors() {
        std::vector<std::string> texts;
        while (const char* text = SCP_ReadErrQueue(1)) {
            texts.emplace_back(text);
        }
        return texts;
    }

    EventPoller::Ptr _poller;
    toolkit::TcpServer::Ptr _server;
    int _fd = -1;
};

TEST_F(ScpiSocketTest, MessageSentByteByByteRunsOnceAndWhole) {
    std::string text = "*ESE 20;*ESE?\n";
    std::vector<std::string> bytes;
    for (char c : text) {
        bytes.emplace_back(1, c);
    }
    feed(bytes);
    EXPECT_EQ(readLine(), "20");
    // Nothing else was answered before the next reply, and nothing failed.
    sendText("*ESE?\n");
    EXPECT_EQ(readLine(), "20");
    EXPECT_TRUE(drainErrors().empty());
    EXPECT_GE(g_probe.sends, 2);
}

TEST_F(ScpiSocketTest, TrailingPieceRunsAfterTheQuietTime) {
    auto start = std::chrono::steady_clock::now();
    sendText("*ESE 4;*ESE?");
    EXPECT_EQ(readLine(), "4");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 40ms);
    EXPECT_TRUE(drainErrors().empty());
}

TEST_F(ScpiSocketTest, TrailingPieceRunsWhenTheConnectionEndsFirst) {
    // A client that sends a command without terminator and leaves at once.
    feed({"*ESE 32"}, true);
    ASSERT_TRUE(scpi_test::drainFirstPoller());
    EXPECT_EQ(ask("*ESE?\n"), "32\n");
    EXPECT_TRUE(drainErrors().empty());
}

TEST_F(ScpiSocketTest, OverrunQueues363AndSkipsTheRestOfThatMessage) {
    std::string quarter(ScpiInputBuffer::kMaxPending / 4, 'A');
    feed({"*ESE 8\n", quarter, quarter, quarter, quarter, quarter, "tail\n*ESE?\n"});
    EXPECT_EQ(readLine(), "8");
    EXPECT_EQ(drainErrors(), std::vector<std::string>{"-363,\"Input buffer overrun\""});
}

TEST_F(ScpiSocketTest, ClientLeavingBeforeItsReplyGetsNothingAndBreaksNothing) {
    // Hold the first poller so that the command list waits in its queue.
    std::promise<void> release;
    std::shared_future<void> opened = release.get_future().share();
    std::promise<void> entered;
    EventPoller::Instance().async([opened, &entered] {
        entered.set_value();
        opened.wait();
    }, false);
    entered.get_future().wait();

    sendText("*ESE?\n");
    EXPECT_TRUE(g_probe.waitFor([] { return g_probe.receipts == 1; }));
    ::close(_fd);
    _fd = -1;
    // The queued list does not keep the session alive.
    EXPECT_TRUE(g_probe.waitFor([] { return g_probe.destroyed; }));
    release.set_value();

    // The list ran, and its reply found no session to go to.
    runOn(EventPoller::Instance(), [] {});
    runOn(*_poller, [] {});
    EXPECT_EQ(g_probe.sends, 0);
}

} // namespace
