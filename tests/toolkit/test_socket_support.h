#pragma once
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Network/Socket.h"
#include "Network/sockutil.h"
#include "Poller/EventPollerPool.h"
#include "poller_test_support.h"

// Helpers of the socket tests: blocking loopback clients and a listener that
// keeps the sockets it accepts.
namespace socket_test {

// A TCP client on loopback (127.0.0.1, or ::1 with ipv6; from the source
// address `from` when given) whose reads end after a wait without data, so
// that a fault fails a test instead of hanging it.
class RawClient {
public:
    explicit RawClient(uint16_t port, bool ipv6 = false, const char* from = nullptr) {
        auto addr = toolkit::SockUtil::make_sockaddr(ipv6 ? "::1" : "127.0.0.1", port);
        auto sa = reinterpret_cast<sockaddr*>(&addr);
        _fd = socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval limit{10, 0};  // a stalled send fails instead of hanging the test
        setsockopt(_fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
        if (from) {
            auto local = toolkit::SockUtil::make_sockaddr(from, 0);
            auto la = reinterpret_cast<sockaddr*>(&local);
            EXPECT_EQ(::bind(_fd, la, toolkit::SockUtil::get_sock_len(la)), 0) << from;
        }
        _connected = ::connect(_fd, sa, toolkit::SockUtil::get_sock_len(sa)) == 0;
    }
    ~RawClient() { close(); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connected() const { return _connected; }
    void close() {
        if (_fd != -1) {
            ::close(std::exchange(_fd, -1));
        }
    }
    // Ends the connection with a reset, as a client that aborts does.
    void reset() {
        linger abort{1, 0};
        setsockopt(_fd, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
        close();
    }
    // Ends the sending side only: the client still reads.
    void shutdownSending() { ::shutdown(_fd, SHUT_WR); }
    uint16_t localPort() const { return toolkit::SockUtil::get_local_port(_fd); }
    bool sendAll(const std::string& data) {
        for (size_t done = 0; done < data.size();) {
            auto n = ::send(_fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            done += n;
        }
        return true;
    }
    // Reads until `size` bytes came, the peer closed, or nothing came for the wait.
    std::string readBytes(size_t size, int idle_ms = 10000) {
        std::string out;
        std::vector<char> buf(256 * 1024);
        while (out.size() < size && readable(idle_ms)) {
            auto n = ::recv(_fd, buf.data(), std::min(buf.size(), size - out.size()), 0);
            if (n <= 0) {
                break;
            }
            out.append(buf.data(), n);
        }
        return out;
    }
    // True when the peer closes the connection (dropping anything sent before).
    bool waitClosed() {
        char buf[4096];
        while (readable(10000)) {
            auto n = ::recv(_fd, buf, sizeof(buf), 0);
            if (n <= 0) {
                return n == 0 || errno == ECONNRESET;
            }
        }
        return false;
    }
    // Writes `data` from another thread while reading as much back, so that
    // neither side's buffers stall the other. The echo, or what came in time.
    std::string echo(const std::string& data) {
        std::thread writer([&]() { sendAll(data); });
        auto back = readBytes(data.size());
        writer.join();
        return back;
    }

private:
    bool readable(int wait_ms) {
        pollfd pfd = {_fd, POLLIN, 0};
        return poll(&pfd, 1, wait_ms) > 0;
    }
    int _fd = -1;
    bool _connected = false;
};

// A listener on an ephemeral loopback-reachable port that keeps every peer it
// accepts. `wire` runs on the peer's poller thread before the peer is
// attached, so no event can come before its callbacks are set.
class Acceptor {
public:
    using Wire = std::function<void(const toolkit::Socket::Ptr& peer)>;

    Acceptor(const toolkit::EventPoller::Ptr& poller, Wire wire = nullptr, bool peer_mutex = false)
        : _listener(toolkit::Socket::createSocket(poller, false)), _state(std::make_shared<State>()) {
        auto state = _state;
        _listener->setOnBeforeAccept([peer_mutex](const toolkit::EventPoller::Ptr& p) {
            return toolkit::Socket::createSocket(p, peer_mutex);
        });
        _listener->setOnAccept([state, wire](toolkit::Socket::Ptr& peer, std::shared_ptr<void>&) {
            if (wire) {
                wire(peer);
            }
            std::lock_guard<std::mutex> lck(state->mtx);
            state->peers.push_back(peer);
            state->cv.notify_all();
        });
        bool ok = false;
        poller_test::runOn(poller, [&]() { ok = _listener->listen(0, "::", 1024); });
        _port = ok ? _listener->get_local_port() : 0;
    }
    // Closes the listener and every peer on its poller thread and drops their
    // callbacks, so that nothing of the test is called afterwards.
    ~Acceptor() {
        quiet(_listener);
        std::lock_guard<std::mutex> lck(_state->mtx);
        for (auto& peer : _state->peers) {
            quiet(peer);
        }
    }

    uint16_t port() const { return _port; }
    // The first accepted peer, waiting for it.
    toolkit::Socket::Ptr peer() {
        std::unique_lock<std::mutex> lck(_state->mtx);
        _state->cv.wait_for(lck, poller_test::kWait, [&]() { return !_state->peers.empty(); });
        return _state->peers.empty() ? nullptr : _state->peers[0];
    }

private:
    static void quiet(const toolkit::Socket::Ptr& sock) {
        poller_test::runOn(sock->getPoller(), [sock]() {
            sock->closeSock();
            sock->setOnRead(nullptr);
            sock->setOnErr(nullptr);
            sock->setOnEof(nullptr);
            sock->setOnFlush(nullptr);
            sock->setOnAccept(nullptr);
            sock->setOnBeforeAccept(nullptr);
            sock->setOnSendResult(nullptr);
        });
    }

    struct State {
        std::mutex mtx;
        std::condition_variable cv;
        std::vector<toolkit::Socket::Ptr> peers;
    };
    toolkit::Socket::Ptr _listener;
    std::shared_ptr<State> _state;
    uint16_t _port = 0;
};

// `size` bytes, zeros included, of a pattern that shows loss, reordering and
// mixing of two streams with different seeds.
inline std::string pattern(size_t size, uint32_t seed = 0) {
    std::string out(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        out[i] = static_cast<char>((i * 131 + (i >> 12) + seed * 17) & 0xFF);
    }
    return out;
}

// The pollers of the process-wide pool.
inline std::vector<toolkit::EventPoller::Ptr> poolPollers() {
    std::vector<toolkit::EventPoller::Ptr> out;
    toolkit::EventPollerPool::Instance().for_each([&](const toolkit::TaskExecutor::Ptr& executor) {
        out.push_back(std::dynamic_pointer_cast<toolkit::EventPoller>(executor));
    });
    return out;
}

// Records of several senders, each `size` bytes: the sender's letter, its
// sequence number, zero bytes (which a send must not stop at). Checks that
// every record arrived, each sender's in order.
inline std::string makeRecordFrame(int sender, int seq, size_t size) {
    std::string frame(size, '\0');
    frame[0] = static_cast<char>('A' + sender);
    std::string number = std::to_string(seq);
    frame.replace(1, number.size(), number);
    return frame;
}
inline ::testing::AssertionResult framesInOrder(const std::string& data, int senders, int each, size_t size) {
    if (data.size() != senders * each * size) {
        return ::testing::AssertionFailure() << "got " << data.size() << " bytes of " << senders * each * size;
    }
    std::vector<int> next(senders, 0);
    for (size_t off = 0; off < data.size(); off += size) {
        int t = data[off] - 'A';
        if (t < 0 || t >= senders || data.compare(off, size, makeRecordFrame(t, next[t], size)) != 0) {
            return ::testing::AssertionFailure() << "record at " << off << " out of order or corrupted";
        }
        ++next[t];
    }
    return ::testing::AssertionSuccess();
}

} // namespace socket_test
