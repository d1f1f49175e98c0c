#include "Network/TcpClient.h"

#include "Poller/EventPollerPool.h"
#include "Util/logger.h"

namespace toolkit {

namespace {
constexpr float kManagerSecond = 2.0f;

EventPoller::Ptr choosePoller(const EventPoller::Ptr& poller) {
    return poller ? poller : EventPollerPool::Instance().getPoller(true);
}
} // namespace

// The placeholder socket only fixes the poller; each attempt makes its own.
TcpClient::TcpClient(const EventPoller::Ptr& poller)
    : SocketHelper(Socket::createSocket(choosePoller(poller), false)) {}

TcpClient::~TcpClient() {
    // The socket (locks off) may be in use on its poller right now: let its
    // last reference go there.
    getPoller()->async([sock = getSock(), timer = std::move(_timer)]() {}, true);
}

bool TcpClient::alive() const {
    return _timer != nullptr;
}

void TcpClient::startConnect(const std::string& url, uint16_t port, float timeout_sec, uint16_t local_port) {
    std::weak_ptr<TcpClient> weak_self = shared_from_this();
    getPoller()->async([weak_self, url, port, timeout_sec, local_port]() {
        if (auto strong_self = weak_self.lock()) {
            strong_self->startConnect_l(url, port, timeout_sec, local_port);
        }
    }, true);
}

void TcpClient::startConnect_l(const std::string& url, uint16_t port, float timeout_sec, uint16_t local_port) {
    _timer.reset();
    auto sock = Socket::createSocket(getPoller(), false);
    wireSocket(sock);
    // Replacing the socket abandons the previous connection or attempt.
    setSock(sock);
    std::weak_ptr<TcpClient> weak_self = shared_from_this();
    Socket* sock_ptr = sock.get();
    sock->connect(url, port, [weak_self, sock_ptr](const SockException& ex) {
        auto strong_self = weak_self.lock();
        if (strong_self && strong_self->getSock().get() == sock_ptr) {
            strong_self->onSockConnect(ex);
        }
    }, timeout_sec, "::", local_port);
}

void TcpClient::wireSocket(const Socket::Ptr& sock) {
    std::weak_ptr<TcpClient> weak_self = shared_from_this();
    Socket* sock_ptr = sock.get();
    // Callbacks of a socket this client has already replaced are ignored.
    auto current = [weak_self, sock_ptr]() -> Ptr {
        auto strong_self = weak_self.lock();
        return strong_self && strong_self->getSock().get() == sock_ptr ? strong_self : nullptr;
    };
    sock->setOnRead([current](const Buffer::Ptr& buf, struct sockaddr*, int) {
        auto strong_self = current();
        if (!strong_self) {
            return;
        }
        try {
            strong_self->onRecv(buf);
        } catch (SockException& ex) {
            strong_self->shutdown(ex);
        } catch (std::exception& ex) {
            strong_self->shutdown(SockException(Err_shutdown, ex.what()));
        }
    });
    sock->setOnErr([current](const SockException& ex) {
        if (auto strong_self = current()) {
            strong_self->_timer.reset();
            strong_self->onError(ex);
        }
    });
    sock->setOnFlush([current]() {
        if (auto strong_self = current()) {
            strong_self->onFlush();
            return true;
        }
        return false;
    });
}

void TcpClient::onSockConnect(const SockException& ex) {
    if (!ex) {
        std::weak_ptr<TcpClient> weak_self = shared_from_this();
        _timer = std::make_shared<Timer>(kManagerSecond, [weak_self]() {
            auto strong_self = weak_self.lock();
            if (!strong_self) {
                return false;
            }
            try {
                strong_self->onManager();
            } catch (std::exception& ex) {
                WarnL << ex.what();
            }
            return true;
        }, getPoller());
    }
    onConnect(ex);
}

} // namespace toolkit
