#pragma once
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "Network/Socket.h"
#include "poller_test_support.h"

// Helpers of the socket tests: blocking loopback clients and a listener that
// keeps the sockets it accepts.
namespace socket_test {

// A blocking TCP client on loopback (127.0.0.1, or ::1 with ipv6).
class RawClient {
public:
    explicit RawClient(uint16_t port, bool ipv6 = false) {
        auto addr = toolkit::SockUtil::make_sockaddr(ipv6 ? "::1" : "127.0.0.1", port);
        auto sa = reinterpret_cast<sockaddr*>(&addr);
        _fd = socket(addr.ss_family, SOCK_STREAM, 0);
        _connected = ::connect(_fd, sa, toolkit::SockUtil::get_sock_len(sa)) == 0;
    }
    ~RawClient() { close(); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connected() const { return _connected; }
    uint16_t localPort() const { return toolkit::SockUtil::get_local_port(_fd); }
    void close() {
        if (_fd != -1) {
            ::close(_fd);
            _fd = -1;
        }
    }
    bool sendAll(const std::string& data) {
        size_t done = 0;
        while (done < data.size()) {
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
        while (out.size() < size) {
            pollfd pfd = {_fd, POLLIN, 0};
            if (poll(&pfd, 1, idle_ms) <= 0) {
                break;
            }
            auto n = ::recv(_fd, buf.data(), std::min(buf.size(), size - out.size()), 0);
            if (n <= 0) {
                break;
            }
            out.append(buf.data(), n);
        }
        return out;
    }
private:
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
    const toolkit::Socket::Ptr& listener() const { return _listener; }
    // The n-th accepted peer (0-based), waiting for it.
    toolkit::Socket::Ptr peer(size_t n = 0) {
        std::unique_lock<std::mutex> lck(_state->mtx);
        _state->cv.wait_for(lck, poller_test::kWait, [&]() { return _state->peers.size() > n; });
        return _state->peers.size() > n ? _state->peers[n] : nullptr;
    }
private:
    static void quiet(const toolkit::Socket::Ptr& sock) {
        poller_test::runOn(sock->getPoller(), [sock]() {
            sock->closeSock();
            sock->setOnRead(nullptr);
            sock->setOnErr(nullptr);
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

// A predicate polled until true or the wait is over.
inline bool waitUntil(const std::function<bool()>& pred, std::chrono::milliseconds wait = poller_test::kWait) {
    auto deadline = std::chrono::steady_clock::now() + wait;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// `size` bytes of a pattern that shows both loss and reordering.
inline std::string pattern(size_t size, uint32_t seed = 0) {
    std::string out(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        out[i] = static_cast<char>((i * 131 + (i >> 12) + seed) & 0xFF);
    }
    return out;
}

} // namespace socket_test
