// The SCPI socket session over loopback, with the real engine: messages that
// arrive in pieces run once and whole, a trailing piece runs after the quiet
// time and never at the end of the connection, an overrun queues -363,
// replies are written on the session's own poller, a client that leaves
// before its reply breaks nothing, one that shuts down its sending side is
// answered, a client that floods takes turns with the others, and a pause of
// the service's own never cuts a line short.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "DrvScpiQueue.h"
#include "../../platform/eventually.h"
#include "turn_holder.h"
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
    std::weak_ptr<ProbeSession> session;  // the last one attached
    std::vector<const ProbeSession*> attached;
    std::vector<const ProbeSession*> senders;  // of each send, in order
    int live = 0;
    int receipts = 0;
    int sends = 0;
    int sendsOffOwnPoller = 0;
    int sendsOnFirstPoller = 0;
    // Called on the session's poller after each receipt, with its bytes.
    std::function<void(const std::string&)> afterRecv;

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
        g_probe.update([] { --g_probe.live; });
    }
    void attachServer(const toolkit::Server& server) override {
        ScpiService::ScpiSession::attachServer(server);
        auto self = std::static_pointer_cast<ProbeSession>(shared_from_this());
        g_probe.update([&] {
            g_probe.session = self;
            g_probe.attached.push_back(self.get());
            ++g_probe.live;
        });
    }
    void onRecv(const toolkit::Buffer::Ptr& buf) override {
        ScpiService::ScpiSession::onRecv(buf);
        std::function<void(const std::string&)> hook;
        g_probe.update([&hook] {
            ++g_probe.receipts;
            hook = g_probe.afterRecv;
        });
        if (hook) {
            hook(std::string(buf->data(), buf->size()));
        }
    }
    ssize_t send(toolkit::Buffer::Ptr buf) override {
        bool own = getPoller()->isCurrentThread();
        bool first = EventPoller::Instance().isCurrentThread();
        g_probe.update([&] {
            ++g_probe.sends;
            g_probe.senders.push_back(this);
            g_probe.sendsOffOwnPoller += own ? 0 : 1;
            g_probe.sendsOnFirstPoller += first ? 1 : 0;
        });
        return ScpiService::ScpiSession::send(std::move(buf));
    }
};

// Holds a poller's thread in a task until released (or destroyed).
class PollerHold {
public:
    // `first`: the task goes ahead of every task queued on the poller.
    void post(EventPoller& poller, bool first = false) {
        auto task = [opened = _opened, entered = _entered]() {
            entered->set_value();
            opened.wait();
        };
        if (first) {
            poller.async_first(task, false);
        } else {
            poller.async(task, false);
        }
    }
    bool entered() { return _entered->get_future().wait_for(kWait) == std::future_status::ready; }
    void release() {
        if (!_released) {
            _released = true;
            _release.set_value();
        }
    }
    ~PollerHold() { release(); }

private:
    std::promise<void> _release;
    std::shared_future<void> _opened = _release.get_future().share();
    std::shared_ptr<std::promise<void>> _entered = std::make_shared<std::promise<void>>();
    bool _released = false;
};

std::string repeated(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) {
        out += text;
    }
    return out;
}

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
        // Sessions go to a poller other than the first, where commands run,
        // unless a test puts them where the service does.
        if (_onFirstPoller) {
            _poller = toolkit::EventPollerPool::Instance().getFirstPoller();
        }
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
            g_probe.attached.clear();
            g_probe.senders.clear();
            g_probe.live = 0;
            g_probe.receipts = g_probe.sends = g_probe.sendsOffOwnPoller = g_probe.sendsOnFirstPoller = 0;
            g_probe.afterRecv = nullptr;
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
        g_probe.update([] { g_probe.afterRecv = nullptr; });
        for (int fd : {_fd, _other}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        if (_server) {
            _server.reset();
            // The sessions end on their poller once their connection or their
            // server has gone; they report into the probe, which the process's
            // exit destroys: the test ends after the task that ended them.
            EXPECT_TRUE(g_probe.waitFor([] { return g_probe.live == 0; }));
            runOn(*_poller, [] {});
        }
        EXPECT_EQ(g_probe.sendsOffOwnPoller, 0);
        if (!_onFirstPoller) {
            EXPECT_EQ(g_probe.sendsOnFirstPoller, 0);
        }
    }

    // Connects a client (the first one into _fd) and waits for its session.
    void connectClient(int* fd = nullptr) {
        fd = fd != nullptr ? fd : &_fd;
        *fd = ::socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_GE(*fd, 0);
        timeval timeout{10, 0};
        ::setsockopt(*fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(_server->getPort());
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        size_t before = 0;
        g_probe.update([&before] { before = g_probe.attached.size(); });
        ASSERT_EQ(::connect(*fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
        ASSERT_TRUE(g_probe.waitFor([before] { return g_probe.attached.size() > before; }));
    }

    void sendText(const std::string& text, int fd = -1) {
        fd = fd >= 0 ? fd : _fd;
        ASSERT_EQ(::send(fd, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
    }

    std::string readLine(int fd = -1) {
        fd = fd >= 0 ? fd : _fd;
        std::string line;
        char c = 0;
        while (::recv(fd, &c, 1, 0) == 1) {
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

    // Whether the service's side holds every byte the client sent (it has
    // acknowledged them all), read or not.
    static bool allReceived(int fd) {
        int unacknowledged = -1;
        return ::ioctl(fd, TIOCOUTQ, &unacknowledged) == 0 && unacknowledged == 0;
    }

    static std::vector<std::string> drainErrors() {
        std::vector<std::string> texts;
        while (const char* text = SCP_ReadErrQueue(1)) {
            texts.emplace_back(text);
        }
        return texts;
    }

    bool _onFirstPoller = false;
    EventPoller::Ptr _poller;
    toolkit::TcpServer::Ptr _server;
    int _fd = -1;
    int _other = -1;  // a second client, when a test connects one
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

// A piece without line feed when the connection ends may be a command cut
// short ("*ESE 32" of "*ESE 320"): it never runs, not even to fail.
TEST_F(ScpiSocketTest, TrailingPieceIsDroppedWhenTheConnectionEnds) {
    for (const char* piece : {"*ESE 32", "*ES"}) {
        const void* client = g_probe.session.lock().get();
        feed({"*ESE 4\n", piece}, true);
        ASSERT_TRUE(scpi_test::drainEngine(client));
        EXPECT_EQ(ask("*ESE?\n"), "4\n") << piece;
        EXPECT_TRUE(drainErrors().empty()) << piece;
    }
}

// Shut down for sending, a client still reads: what it sent is answered,
// then the service ends the connection. What follows the last line feed is
// not run.
TEST_F(ScpiSocketTest, HalfClosedClientGetsItsAnswersThenTheEnd) {
    sendText("*ESE 16;*ESE?\n*ESE?\n*ESE 8");
    ASSERT_EQ(::shutdown(_fd, SHUT_WR), 0);
    EXPECT_EQ(readLine(), "16");
    EXPECT_EQ(readLine(), "16");
    char c = 0;
    EXPECT_EQ(::recv(_fd, &c, 1, 0), 0);
    EXPECT_EQ(ask("*ESE?\n"), "16\n");
    EXPECT_TRUE(drainErrors().empty());
}

TEST_F(ScpiSocketTest, OverrunQueues363AndSkipsTheRestOfThatMessage) {
    std::string quarter(ScpiInputBuffer::kMaxPending / 4, 'A');
    feed({"*ESE 8\n", quarter, quarter, quarter, quarter, quarter, "tail\n*ESE?\n"});
    EXPECT_EQ(readLine(), "8");
    EXPECT_EQ(drainErrors(), std::vector<std::string>{"-363,\"Input buffer overrun\""});
}

TEST_F(ScpiSocketTest, ClientLeavingBeforeItsReplyGetsNothingAndBreaksNothing) {
    // Another client's message holds the turn, so that the list waits in line.
    testing_support::TurnHolder holder;
    ASSERT_TRUE(holder.hold());
    const void* client = g_probe.session.lock().get();

    sendText("*ESE?\n");
    EXPECT_TRUE(g_probe.waitFor([] { return g_probe.receipts == 1; }));
    // Reset: one that only ends its sending side is still answered.
    linger reset{1, 0};
    ::setsockopt(_fd, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
    ::close(_fd);
    _fd = -1;
    // The queued list does not keep the session alive.
    EXPECT_TRUE(g_probe.waitFor([] { return g_probe.live == 0; }));
    holder.release();

    // The list ended, and its reply found no session to go to.
    ASSERT_TRUE(scpi_test::drainEngine(client));
    runOn(*_poller, [] {});
    EXPECT_EQ(g_probe.sends, 0);
}

// Sessions on the first poller, as in the service: the lists that do not
// wait run inside their receipts.
class ScpiSocketOnFirstPollerTest : public ScpiSocketTest {
protected:
    ScpiSocketOnFirstPollerTest() { _onFirstPoller = true; }
};

// A client that sends without pause must not keep its poller to itself: its
// input is taken a share per turn, and another client ready meanwhile is
// answered long before the whole flood is.
TEST_F(ScpiSocketOnFirstPollerTest, FloodingClientTakesTurnsWithAnotherReadyOne) {
    constexpr int kFlood = 2000;
    connectClient(&_other);
    // Two turns of the poller: both sessions are in its set, and the events
    // of their start are taken.
    runOn(*_poller, [] {});
    runOn(*_poller, [] {});
    // Hold the poller until both clients' bytes wait in its sockets, the
    // flood's first: it is the first the poller hears of.
    std::promise<void> release;
    std::shared_future<void> opened = release.get_future().share();
    std::promise<void> entered;
    _poller->async([opened, &entered] {
        entered.set_value();
        opened.wait();
    }, false);
    entered.get_future().wait();
    std::string flood;
    for (int i = 0; i < kFlood; ++i) {
        flood += "*ESE?\n";
    }
    sendText(flood);
    EXPECT_TRUE(testing_support::eventually([this] { return allReceived(_fd); }));
    sendText("*SRE?\n", _other);
    EXPECT_TRUE(testing_support::eventually([this] { return allReceived(_other); }));
    release.set_value();

    EXPECT_EQ(readLine(_other), "0");
    for (int i = 0; i < kFlood; ++i) {
        ASSERT_EQ(readLine(), "0") << i;
    }
    std::lock_guard<std::mutex> lock(g_probe.mtx);
    const ProbeSession* quiet = g_probe.attached.back();
    auto its = std::find(g_probe.senders.begin(), g_probe.senders.end(), quiet);
    ASSERT_NE(its, g_probe.senders.end());
    EXPECT_LT(its - g_probe.senders.begin(), kFlood / 10);
}

// A client that leaves with more than one turn of messages sent has all of
// them run, even when a reply of its first turn is what finds it gone: the
// setting at the end still takes effect. Its connection is reset, or closed
// with replies still to come, before the session reads a byte.
TEST_F(ScpiSocketOnFirstPollerTest, AllAClientSentRunsWhenAReplyFindsItGone) {
    const std::string sent =
        repeated("*ESE?\n", ScpiService::ScpiSession::kMessagesPerTurn + 8) + "*ESE 8\n";
    for (bool reset : {true, false}) {
        ask("*ESE 0\n");
        int fd = -1;
        connectClient(&fd);
        const void* client = g_probe.session.lock().get();
        PollerHold gather;
        gather.post(*_poller);
        ASSERT_TRUE(gather.entered());
        sendText(sent, fd);
        ASSERT_TRUE(testing_support::eventually([fd] { return allReceived(fd); }));
        if (reset) {
            linger now{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof(now));
        }
        ::close(fd);
        gather.release();
        EXPECT_TRUE(g_probe.waitFor([] { return g_probe.live == 1; })) << reset;
        ASSERT_TRUE(scpi_test::drainEngine(client));
        EXPECT_EQ(ask("*ESE?\n"), "8\n") << (reset ? "reset" : "closed");
    }
}

// The service stops reading a client by its own choice (its turn is spent,
// by messages or by bytes) or is busy elsewhere, with part of a line read and
// the rest of it already sent: however long that lasts, the part is not taken
// for a message of its own ("*ESE 3" of "*ESE 32"); the line runs whole.
struct PauseCase {
    const char* name;
    std::string before;  // ends in the piece "*ESE 3"
};

const PauseCase kPauseCases[] = {
    {"PollerBusyElsewhere", "*ESE 3"},
    {"TurnOfMessagesSpent", repeated("*ESE 4\n", ScpiService::ScpiSession::kMessagesPerTurn + 8) + "*ESE 3"},
    {"TurnOfBytesSpent", repeated("*ESE 4" + repeated(";*ESE 4", 5000) + "\n", 2) + "*ESE 3"},
};

void PrintTo(const PauseCase& pause, std::ostream* os) {
    *os << pause.name;
}

class ScpiSocketPauseTest : public ScpiSocketTest, public testing::WithParamInterface<PauseCase> {};

TEST_P(ScpiSocketPauseTest, PartOfALineWaitsOutThePausesOfTheService) {
    // Once the piece is read, the session's poller is held ahead of all it
    // has to do (its next turn included) until the rest of the line waits
    // in the socket and the quiet time has passed.
    struct Busy {
        PollerHold hold;
        std::atomic<uint64_t> readAt{0};
    };
    auto busy = std::make_shared<Busy>();
    g_probe.update([busy, poller = _poller] {
        g_probe.afterRecv = [busy, poller](const std::string& bytes) {
            if (!bytes.empty() && bytes.back() != '\n' && busy->readAt == 0) {
                busy->readAt = toolkit::getCurrentMillisecond();
                busy->hold.post(*poller, true);
            }
        };
    });
    // Held while the bytes come, so that one receipt takes them all.
    PollerHold gather;
    gather.post(*_poller);
    ASSERT_TRUE(gather.entered());
    sendText(GetParam().before);
    ASSERT_TRUE(testing_support::eventually([this] { return allReceived(_fd); }));
    gather.release();

    ASSERT_TRUE(busy->hold.entered());
    sendText("2\n*ESE?\n");
    ASSERT_TRUE(testing_support::eventually([this] { return allReceived(_fd); }));
    ASSERT_TRUE(testing_support::eventually([busy] {
        return toolkit::getCurrentMillisecond() > busy->readAt + ScpiService::ScpiSession::kTrailingWaitMs;
    }));
    busy->hold.release();

    EXPECT_EQ(readLine(), "32");
    EXPECT_TRUE(drainErrors().empty());
}

INSTANTIATE_TEST_SUITE_P(Pauses, ScpiSocketPauseTest, testing::ValuesIn(kPauseCases),
                         [](const testing::TestParamInfo<PauseCase>& info) { return info.param.name; });

} // namespace
