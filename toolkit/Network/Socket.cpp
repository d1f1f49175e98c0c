#include "Network/Socket.h"

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include "Poller/EventPollerPool.h"
#include "Util/logger.h"
#include "Util/uv_errno.h"

namespace toolkit {

namespace {

using Lock = std::lock_guard<MutexWrapper<std::recursive_mutex>>;

// The pending error of a descriptor as a report. An error event without a
// pending error is the connection going away, not whatever errno last said.
SockException pendingError(int fd) {
    int error = 0;
    socklen_t len = sizeof(error);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == -1) {
        return toSockException(get_uv_error(true));
    }
    if (error == 0) {
        return SockException(Err_eof, "end of file");
    }
    return toSockException(uv_translate_posix_error(error));
}

} // namespace

// ---------------------------------------------------------------- descriptors

SockNum::~SockNum() {
    ::shutdown(_fd, SHUT_RDWR);
    close(_fd);
}

SockFD::SockFD(int fd, SockType type, const EventPoller::Ptr& poller)
    : _num(std::make_shared<SockNum>(fd, type)), _poller(poller) {}

SockFD::SockFD(const SockFD& that, const EventPoller::Ptr& poller) : _num(that._num), _poller(poller) {
    if (_poller == that._poller) {
        throw std::invalid_argument("Copy a SockFD with same poller");
    }
}

SockFD::~SockFD() {
    // The descriptor stays open until the poller has let go of it, and one
    // task longer: events of it that the poller already took in the current
    // round must still name this descriptor, not a new one that reuses its
    // number after a close on another thread. One the poller never watched
    // (a connection refused as it was accepted) has no such events and closes
    // at once, on whatever thread lets it go: a burst of refusals on the
    // accepting pollers must neither hold their descriptors nor queue work on
    // the busy poller that would have served them.
    if (!_watched) {
        return;
    }
    auto num = _num;
    auto poller = _poller.get();
    _poller->delEvent(num->rawFd(), [num, poller](bool watched) {
        if (watched) {
            poller->async([num]() {}, false);
        }
    });
}

BytesSpeed& BytesSpeed::operator+=(size_t bytes) {
    _bytes += bytes;
    if (_bytes > 1024 * 1024) {
        auto elapsed = _ticker.elapsedTime();
        if (elapsed) {
            _speed = static_cast<int>(_bytes * 1000ULL / elapsed);
            _ticker.resetTime();
            _bytes = 0;
        }
    }
    return *this;
}

// ---------------------------------------------------------------- creation

Socket::Ptr Socket::createSocket(const EventPoller::Ptr& poller, bool enable_mutex) {
    return std::make_shared<Socket>(poller, enable_mutex);
}

Socket::Socket(EventPoller::Ptr poller, bool enable_mutex)
    : _poller(poller ? std::move(poller) : EventPollerPool::Instance().getPoller(true)),
      _mtx_sock_fd(enable_mutex),
      _mtx_event(enable_mutex),
      _mtx_send_buf_waiting(enable_mutex),
      _mtx_send_buf_sending(enable_mutex) {
    setOnRead(nullptr);
    setOnErr(nullptr);
    setOnAccept(nullptr);
    setOnFlush(nullptr);
    setOnBeforeAccept(nullptr);
    setOnSendResult(nullptr);
}

Socket::~Socket() {
    closeSock();
}

// ---------------------------------------------------------------- callbacks
// The replaced callback is destroyed after the lock is released: what it
// holds may do anything in its destructor.

void Socket::setOnRead(onReadCB cb) {
    if (!cb) {
        cb = [](const Buffer::Ptr& buf, struct sockaddr*, int) {
            WarnL << "Socket not set read callback, data ignored: " << buf->size();
        };
    }
    Lock lck(_mtx_event);
    _on_read.swap(cb);
}

void Socket::setOnErr(onErrCB cb) {
    if (!cb) {
        cb = [](const SockException& err) { WarnL << "Socket not set err callback, err: " << err.what(); };
    }
    Lock lck(_mtx_event);
    _on_err.swap(cb);
}

void Socket::setOnEof(onEofCB cb) {
    Lock lck(_mtx_event);
    _on_eof.swap(cb);
}

void Socket::setOnAccept(onAcceptCB cb) {
    if (!cb) {
        cb = [](Socket::Ptr& sock, std::shared_ptr<void>&) {
            WarnL << "Socket not set accept callback, peer fd: " << sock->rawFD();
        };
    }
    Lock lck(_mtx_event);
    _on_accept.swap(cb);
}

void Socket::setOnFlush(onFlush cb) {
    if (!cb) {
        cb = []() { return true; };
    }
    Lock lck(_mtx_event);
    _on_flush.swap(cb);
}

void Socket::setOnBeforeAccept(onCreateSocket cb) {
    if (!cb) {
        cb = [](const EventPoller::Ptr&) { return nullptr; };
    }
    Lock lck(_mtx_event);
    _on_before_accept.swap(cb);
}

void Socket::setOnSendResult(onSendResult cb) {
    Lock lck(_mtx_event);
    // Batches are made under the waiting-queue lock, which reads it.
    Lock lck_waiting(_mtx_send_buf_waiting);
    _send_result.swap(cb);
}

// ---------------------------------------------------------------- descriptor

SockFD::Ptr Socket::makeSock(int fd, SockType type) {
    return std::make_shared<SockFD>(fd, type, _poller);
}

bool Socket::isCurrentSock(const SockFD::Ptr& sock) const {
    Lock lck(_mtx_sock_fd);
    return _sock_fd == sock;
}

bool Socket::attachEvent(const SockFD::Ptr& sock) {
    std::weak_ptr<Socket> weak_self = shared_from_this();
    std::weak_ptr<SockFD> weak_sock = sock;
    _enable_recv = true;
    bool is_udp = sock->type() == Sock_UDP;
    int events = EventPoller::Event_Read | EventPoller::Event_Write | EventPoller::Event_Error;
    sock->markWatched();
    int result = _poller->addEvent(sock->rawFd(), events, [weak_self, weak_sock, is_udp](int event) {
        auto strong_self = weak_self.lock();
        auto strong_sock = weak_sock.lock();
        if (!strong_self || !strong_sock) {
            return;
        }
        if (event & EventPoller::Event_Read) {
            strong_self->onRead(strong_sock, is_udp);
        }
        // Reading may have ended the connection; a closed socket reports nothing more.
        if ((event & EventPoller::Event_Write) && strong_self->isCurrentSock(strong_sock)) {
            strong_self->onWriteAble(strong_sock);
        }
        if ((event & EventPoller::Event_Error) && strong_self->isCurrentSock(strong_sock)) {
            strong_self->onError(strong_sock);
        }
    });
    return result != -1;
}

bool Socket::bindUdpSock(uint16_t port, const std::string& local_ip, bool enable_reuse) {
    closeSock();
    int fd = SockUtil::bindUdpSock(port, local_ip.data(), enable_reuse);
    if (fd == -1) {
        return false;
    }
    return adoptAndAttach(makeSock(fd, Sock_UDP));
}

bool Socket::adoptAndAttach(const SockFD::Ptr& sock) {
    {
        Lock lck(_mtx_sock_fd);
        _sock_fd = sock;
    }
    if (!attachEvent(sock)) {
        Lock lck(_mtx_sock_fd);
        if (_sock_fd == sock) {
            _sock_fd = nullptr;
        }
        return false;
    }
    return true;
}

bool Socket::bindPeerAddr(const struct sockaddr* dst_addr, socklen_t addr_len) {
    Lock lck(_mtx_sock_fd);
    if (!_sock_fd || _sock_fd->type() != Sock_UDP) {
        return false;
    }
    if (!addr_len) {
        addr_len = SockUtil::get_sock_len(dst_addr);
    }
    if (::connect(_sock_fd->rawFd(), dst_addr, addr_len) == -1) {
        WarnL << "Connect socket to peer address failed: " << SockUtil::inet_ntoa(dst_addr);
        return false;
    }
    return true;
}

void Socket::closeSock() {
    std::shared_ptr<Timer> con_timer;
    std::shared_ptr<std::function<void(int, int)>> async_con_cb;
    EventPoller::DelayTask::Ptr accept_retry;
    SockFD::Ptr sock;
    {
        Lock lck(_mtx_sock_fd);
        con_timer.swap(_con_timer);
        async_con_cb.swap(_async_con_cb);
        accept_retry.swap(_accept_retry);
        sock.swap(_sock_fd);
    }
    if (accept_retry) {
        accept_retry->cancel();
    }
    _accept_paused = false;
    // Released here: the descriptor leaves the poller and closes once unshared.
}

// ---------------------------------------------------------------- reading

ssize_t Socket::onRead(const SockFD::Ptr& sock, bool is_udp) noexcept {
    if (!_read_buffer) {
        // Taken on the poller thread, the only one that uses it.
        _read_buffer = _poller->getSharedBuffer();
    }
    ssize_t total = 0;
    struct sockaddr_storage addr;
    // Stops as soon as a callback has closed or failed the socket: no data is
    // delivered after the error report.
    while (_enable_recv && isCurrentSock(sock)) {
        auto data = _read_buffer->data();
        auto capacity = _read_buffer->getCapacity() - 1;
        // Reset on every call: recvfrom overwrites it with the sender's length.
        socklen_t len = sizeof(addr);
        ssize_t nread = recvfrom(sock->rawFd(), data, capacity, 0, reinterpret_cast<struct sockaddr*>(&addr), &len);
        if (nread == 0) {
            if (is_udp) {
                WarnL << "Recv eof on udp socket[" << sock->rawFd() << "]";
            } else {
                onEof();
            }
            return total;
        }
        if (nread == -1) {
            int err = get_uv_error(true);
            if (err == -4) {
                continue;
            }
            if (err == -11) {
                return total;
            }
            if (is_udp) {
                WarnL << "Recv err on udp socket[" << sock->rawFd() << "]: " << uv_strerror(err);
            } else {
                emitErr(toSockException(err));
            }
            return total;
        }
        if (_enable_speed) {
            _recv_speed += nread;
        }
        total += nread;
        data[nread] = '\0';
        _read_buffer->setSize(nread);
        Lock lck(_mtx_event);
        try {
            _on_read(_read_buffer, reinterpret_cast<struct sockaddr*>(&addr), len);
        } catch (std::exception& ex) {
            ErrorL << "Exception occurred when emit on_read: " << ex.what();
        }
    }
    return total;
}

void Socket::onEof() {
    onEofCB told;
    {
        // Not held while the descriptor's lock is taken below: a flush takes
        // the two the other way round.
        Lock lck(_mtx_event);
        told = _on_eof;
    }
    if (!told) {
        emitErr(SockException(Err_eof, "end of file"));
        return;
    }
    // Read again, the end would be reported again: the owner is told once.
    enableRecv(false);
    try {
        told();
    } catch (std::exception& ex) {
        ErrorL << "Exception occurred when emit on_eof: " << ex.what();
    }
}

void Socket::onError(const SockFD::Ptr& sock) {
    emitErr(pendingError(sock->rawFd()));
}

namespace {

// What the kernel still holds of the peer's bytes, up to `most`, read without
// waiting: the receive queue outlives a reset, not the descriptor. The rest
// goes with the descriptor; its size is logged.
std::string takeUnread(int fd, size_t most) {
    std::string unread;
    char chunk[16384];
    while (unread.size() < most) {
        ssize_t got = recv(fd, chunk, std::min(sizeof(chunk), most - unread.size()), MSG_DONTWAIT);
        if (got == -1 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        unread.append(chunk, static_cast<size_t>(got));
    }
    int left = 0;
    if (ioctl(fd, FIONREAD, &left) == 0 && left > 0) {
        WarnL << "The peer's last " << left << " bytes, beyond the " << unread.size()
              << " taken as the connection ended, dropped";
    }
    return unread;
}

}  // namespace

bool Socket::emitErr(const SockException& err) noexcept {
    std::string unread;
    {
        // Checked and dropped under one lock, so concurrent errors report once.
        Lock lck(_mtx_sock_fd);
        if (!_sock_fd) {
            return false;
        }
        const size_t most = _read_to_the_end;
        if (most > 0 && _sock_fd->type() == Sock_TCP) {
            try {
                unread = takeUnread(_sock_fd->rawFd(), most);
            } catch (const std::exception& ex) {
                ErrorL << "Unread input dropped: " << ex.what();
            }
        }
        closeSock();
    }
    std::weak_ptr<Socket> weak_self = weak_from_this();
    _poller->async([weak_self, err, unread = std::move(unread)]() {
        auto strong_self = weak_self.lock();
        if (!strong_self) {
            return;
        }
        Lock lck(strong_self->_mtx_event);
        if (!unread.empty()) {
            // Told here, not where the error arose: that may be inside the
            // owner's own read callback.
            try {
                auto buf = BufferRaw::create();
                buf->assign(unread.data(), unread.size());
                strong_self->_on_read(buf, nullptr, 0);
            } catch (std::exception& ex) {
                ErrorL << "Exception occurred when emit on_read: " << ex.what();
            }
        }
        try {
            strong_self->_on_err(err);
        } catch (std::exception& ex) {
            ErrorL << "Exception occurred when emit on_err: " << ex.what();
        }
    });
    return true;
}

// ---------------------------------------------------------------- information

std::string Socket::get_local_ip() {
    Lock lck(_mtx_sock_fd);
    return _sock_fd ? SockUtil::get_local_ip(_sock_fd->rawFd()) : "";
}

uint16_t Socket::get_local_port() {
    Lock lck(_mtx_sock_fd);
    return _sock_fd ? SockUtil::get_local_port(_sock_fd->rawFd()) : 0;
}

// An accepted socket answers with the address accept gave, which a reset
// peer still has; another asks the kernel.
std::string Socket::get_peer_ip() {
    if (_accepted_peer.ss_family != AF_UNSPEC) {
        return SockUtil::inet_ntoa(reinterpret_cast<const sockaddr*>(&_accepted_peer));
    }
    Lock lck(_mtx_sock_fd);
    return _sock_fd ? SockUtil::get_peer_ip(_sock_fd->rawFd()) : "";
}

uint16_t Socket::get_peer_port() {
    if (_accepted_peer.ss_family != AF_UNSPEC) {
        return SockUtil::inet_port(reinterpret_cast<const sockaddr*>(&_accepted_peer));
    }
    Lock lck(_mtx_sock_fd);
    return _sock_fd ? SockUtil::get_peer_port(_sock_fd->rawFd()) : 0;
}

std::string Socket::getIdentifier() const {
    return "Socket: " + std::to_string(reinterpret_cast<uintptr_t>(this));
}

int Socket::rawFD() const {
    Lock lck(_mtx_sock_fd);
    return _sock_fd ? _sock_fd->rawFd() : -1;
}

SockType Socket::sockType() const {
    Lock lck(_mtx_sock_fd);
    return _sock_fd ? _sock_fd->type() : Sock_Invalid;
}

const EventPoller::Ptr& Socket::getPoller() const {
    return _poller;
}

void Socket::enableRecv(bool enabled) {
    // Under the flush lock: a sender turning write interest on between the
    // read of _sendable and the epoll change below would otherwise be undone.
    Lock lck(_mtx_sock_fd);
    if (_enable_recv.exchange(enabled) == enabled) {
        return;
    }
    int fd = rawFD();
    if (fd == -1) {
        return;
    }
    int events = EventPoller::Event_Error;
    if (enabled) {
        events |= EventPoller::Event_Read;
    }
    if (!_sendable) {
        events |= EventPoller::Event_Write;
    }
    _poller->modifyEvent(fd, events);
}

size_t Socket::unreadBytes() const {
    Lock lck(_mtx_sock_fd);
    int unread = 0;
    if (!_sock_fd || ioctl(_sock_fd->rawFd(), FIONREAD, &unread) == -1 || unread < 0) {
        return 0;
    }
    return static_cast<size_t>(unread);
}

int Socket::getRecvSpeed() {
    _enable_speed = true;
    return _recv_speed.getSpeed();
}

int Socket::getSendSpeed() {
    _enable_speed = true;
    return _send_speed.getSpeed();
}

} // namespace toolkit
