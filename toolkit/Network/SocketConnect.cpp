#include <sys/socket.h>
#include <unistd.h>

#include "Network/DnsCache.h"
#include "Network/Socket.h"
#include "Poller/WorkThreadPool.h"
#include "Util/logger.h"
#include "Util/uv_errno.h"

// Outgoing connections: an address text is connected on the poller thread, a
// host name is resolved and connected on a work thread, and the descriptor
// comes back to the poller. The outcome is reported once.

namespace toolkit {

namespace {

using Lock = std::lock_guard<MutexWrapper<std::recursive_mutex>>;

// The error code that stands for "the name did not resolve".
constexpr int kErrUnresolved = -3008;

// Why SockUtil::connect gave no descriptor. Whatever went wrong before the
// connection was under way (the name, the socket, the local bind, a refusal
// at once), the caller sees one kind of outcome for it; the system's reason
// stays in the text and the error code.
SockException connectFailure(int err, const std::string& url) {
    return SockException(Err_dns, std::string(uv_strerror(err)) + ": " + url, err);
}

// Resolves and connects (blocking in the resolver); the descriptor or -1 and
// the failure's error code.
std::pair<int, int> resolveAndConnect(const std::string& url, uint16_t port, const std::string& local_ip,
                                      uint16_t local_port) {
    if (!isIP(url.data())) {
        struct sockaddr_storage addr;
        if (!DnsCache::Instance().getDomainIP(url.data(), addr, AF_INET, SOCK_STREAM, IPPROTO_TCP, 60)) {
            return {-1, kErrUnresolved};
        }
    }
    // A name resolved above is answered from the cache here.
    int fd = SockUtil::connect(url.data(), port, true, local_ip.data(), local_port);
    return {fd, fd == -1 ? get_uv_error(true) : 0};
}

} // namespace

void Socket::connect(const std::string& url, uint16_t port, const onErrCB& con_cb, float timeout_sec,
                     const std::string& local_ip, uint16_t local_port) {
    std::weak_ptr<Socket> weak_self = shared_from_this();
    _poller->async([=]() {
        if (auto strong_self = weak_self.lock()) {
            strong_self->connect_l(url, port, con_cb, timeout_sec, local_ip, local_port);
        }
    });
}

void Socket::connect_l(const std::string& url, uint16_t port, const onErrCB& con_cb_in, float timeout_sec,
                       const std::string& local_ip, uint16_t local_port) {
    closeSock();
    std::weak_ptr<Socket> weak_self = shared_from_this();
    // The result step: ends the attempt (timer, pending resolution and, on
    // failure, the descriptor) and reports once.
    auto con_cb = [con_cb_in, weak_self](const SockException& err) {
        auto strong_self = weak_self.lock();
        if (!strong_self) {
            return;
        }
        std::shared_ptr<Timer> timer;
        std::shared_ptr<std::function<void(int, int)>> pending;
        SockFD::Ptr sock;
        {
            Lock lck(strong_self->_mtx_sock_fd);
            timer.swap(strong_self->_con_timer);
            pending.swap(strong_self->_async_con_cb);
            if (err) {
                sock.swap(strong_self->_sock_fd);
            }
        }
        con_cb_in(err);
    };
    // The descriptor step, on the poller thread.
    auto async_con_cb = std::make_shared<std::function<void(int, int)>>([weak_self, con_cb, url](int fd, int err) {
        auto strong_self = weak_self.lock();
        if (fd == -1) {
            if (strong_self) {
                con_cb(connectFailure(err, url));
            }
            return;
        }
        if (!strong_self) {
            close(fd);
            return;
        }
        strong_self->startConnectWatch(fd, con_cb);
    });

    auto timer = std::make_shared<Timer>(timeout_sec, [con_cb]() {
        con_cb(SockException(Err_timeout, uv_strerror(-110), -110));
        return false;
    }, _poller);
    {
        Lock lck(_mtx_sock_fd);
        _con_timer = timer;
    }

    if (isIP(url.data())) {
        auto result = resolveAndConnect(url, port, local_ip, local_port);
        (*async_con_cb)(result.first, result.second);
        return;
    }
    std::weak_ptr<std::function<void(int, int)>> weak_task = async_con_cb;
    auto poller = _poller;
    WorkThreadPool::Instance().getExecutor()->async([url, port, local_ip, local_port, poller, weak_task]() {
        auto result = resolveAndConnect(url, port, local_ip, local_port);
        poller->async([result, weak_task]() {
            if (auto task = weak_task.lock()) {
                (*task)(result.first, result.second);
            } else if (result.first != -1) {
                // The attempt was abandoned meanwhile.
                close(result.first);
            }
        });
    });
    Lock lck(_mtx_sock_fd);
    _async_con_cb = std::move(async_con_cb);
}

void Socket::startConnectWatch(int fd, const onErrCB& con_cb) {
    auto sock = makeSock(fd, Sock_TCP);
    std::weak_ptr<Socket> weak_self = shared_from_this();
    std::weak_ptr<SockFD> weak_sock = sock;
    sock->markWatched();
    int result = _poller->addEvent(fd, EventPoller::Event_Write, [weak_self, weak_sock, con_cb](int) {
        auto strong_self = weak_self.lock();
        auto strong_sock = weak_sock.lock();
        if (strong_self && strong_sock) {
            strong_self->onConnected(strong_sock, con_cb);
        }
    });
    if (result == -1) {
        con_cb(SockException(Err_other, "add event to poller failed when start connect"));
        return;
    }
    Lock lck(_mtx_sock_fd);
    _sock_fd = sock;
}

void Socket::onConnected(const SockFD::Ptr& sock, const onErrCB& cb) {
    int error = 0;
    socklen_t len = sizeof(error);
    if (getsockopt(sock->rawFd(), SOL_SOCKET, SO_ERROR, &error, &len) == -1) {
        error = errno;
    }
    auto ex = toSockException(error ? uv_translate_posix_error(error) : 0);
    if (ex) {
        cb(ex);
        return;
    }
    _poller->delEvent(sock->rawFd(), nullptr);
    if (!attachEvent(sock)) {
        cb(SockException(Err_other, "add event to poller failed when connected"));
        return;
    }
    cb(ex);
}

} // namespace toolkit
