#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "Network/Socket.h"
#include "Util/logger.h"
#include "Util/uv_errno.h"

// The server side of Socket: listening, the accept loop, and cloning a
// listening or connected descriptor onto another poller.

namespace toolkit {

namespace {

using Lock = std::lock_guard<MutexWrapper<std::recursive_mutex>>;

// How long accepting pauses after running out of descriptors or memory.
constexpr uint64_t kAcceptRetryMs = 100;

enum class AcceptFailure { Skip, Pause, Fatal };

AcceptFailure classifyAcceptError(int error_no) {
    switch (error_no) {
    // The pending connection died in the queue, or the network under it
    // failed: that connection is gone, the listener is fine.
    case ECONNABORTED:
    case EPROTO:
    case EPERM:
    case ENETDOWN:
    case ENETUNREACH:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ENONET:
    case EOPNOTSUPP:
        return AcceptFailure::Skip;
    // Out of resources: the connections wait in the queue until some are freed.
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
        return AcceptFailure::Pause;
    default:
        return AcceptFailure::Fatal;
    }
}

} // namespace

bool Socket::listen(uint16_t port, const std::string& local_ip, int backlog) {
    int fd = SockUtil::listen(port, local_ip.data(), backlog);
    if (fd == -1) {
        return false;
    }
    return listen(makeSock(fd, Sock_TCP));
}

bool Socket::listen(const SockFD::Ptr& sock) {
    closeSock();
    std::weak_ptr<SockFD> weak_sock = sock;
    std::weak_ptr<Socket> weak_self = shared_from_this();
    _enable_recv = true;
    {
        Lock lck(_mtx_sock_fd);
        _sock_fd = sock;
    }
    // Exclusive: of the pollers sharing this listener, one is woken per
    // incoming connection instead of all of them.
    int events = EventPoller::Event_Read | EventPoller::Event_Error | EventPoller::Event_Exclusive;
    sock->markWatched();
    int result = _poller->addEvent(sock->rawFd(), events, [weak_self, weak_sock](int event) {
        auto strong_self = weak_self.lock();
        auto strong_sock = weak_sock.lock();
        if (strong_self && strong_sock) {
            strong_self->onAccept(strong_sock, event);
        }
    });
    if (result == -1) {
        Lock lck(_mtx_sock_fd);
        if (_sock_fd == sock) {
            _sock_fd = nullptr;
        }
        return false;
    }
    return true;
}

SockFD::Ptr Socket::setPeerSock(int fd, const sockaddr_storage& peer) {
    closeSock();
    _accepted_peer = peer;
    auto sock = makeSock(fd, Sock_TCP);
    Lock lck(_mtx_sock_fd);
    _sock_fd = sock;
    return sock;
}

int Socket::onAccept(const SockFD::Ptr& sock, int event) noexcept {
    if ((event & EventPoller::Event_Read) && !_accept_paused) {
        for (;;) {
            // The address comes with the connection: asked for later it is
            // gone once the peer has reset the connection, though its data
            // is still there to read.
            sockaddr_storage peer{};
            socklen_t peer_len;
            int fd;
            do {
                peer_len = sizeof(peer);
                fd = static_cast<int>(accept(sock->rawFd(), reinterpret_cast<sockaddr*>(&peer), &peer_len));
            } while (fd == -1 && errno == EINTR);
            if (fd == -1) {
                // Judged on the raw errno: the translated code folds ENOBUFS into try-again.
                int error_no = errno;
                if (error_no == EAGAIN || error_no == EWOULDBLOCK) {
                    return 0;
                }
                auto failure = classifyAcceptError(error_no);
                if (failure == AcceptFailure::Skip) {
                    DebugL << "Accept socket failed, connection skipped: " << uv_strerror(uv_translate_posix_error(error_no));
                    continue;
                }
                if (failure == AcceptFailure::Pause) {
                    pauseAccept(sock);
                    WarnL << "Accept socket failed: " << uv_strerror(uv_translate_posix_error(error_no))
                          << ", retry in " << kAcceptRetryMs << " ms";
                    return 0;
                }
                auto ex = toSockException(uv_translate_posix_error(error_no));
                emitErr(ex);
                ErrorL << "Accept socket failed: " << ex.what();
                return -1;
            }
            handleAccepted(fd, peer);
            if (event & EventPoller::Event_Error) {
                break;
            }
        }
    }
    if (event & EventPoller::Event_Error) {
        int fd = sock->rawFd();
        int error = 0;
        socklen_t len = sizeof(error);
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len);
        auto ex = error ? toSockException(uv_translate_posix_error(error)) : SockException(Err_eof, "end of file");
        emitErr(ex);
        ErrorL << "TCP listener occurred a err: " << ex.what();
        return -1;
    }
    return 0;
}

void Socket::pauseAccept(const SockFD::Ptr& sock) {
    _accept_paused = true;
    std::weak_ptr<Socket> weak_self = shared_from_this();
    std::weak_ptr<SockFD> weak_sock = sock;
    // The queue keeps its connections meanwhile; the retry drains it (and
    // pauses again while resources stay short).
    auto retry = _poller->doDelayTask(kAcceptRetryMs, [weak_self, weak_sock]() -> uint64_t {
        auto strong_self = weak_self.lock();
        auto strong_sock = weak_sock.lock();
        if (strong_self && strong_sock && strong_self->isCurrentSock(strong_sock)) {
            strong_self->_accept_paused = false;
            strong_self->onAccept(strong_sock, EventPoller::Event_Read);
        }
        return 0;
    });
    Lock lck(_mtx_sock_fd);
    _accept_retry = std::move(retry);
}

void Socket::handleAccepted(int fd, const sockaddr_storage& peer) {
    SockUtil::setNoSigpipe(fd);
    SockUtil::setNoBlocked(fd, true);
    SockUtil::setNoDelay(fd, true);
    SockUtil::setSendBuf(fd, 256 * 1024);
    SockUtil::setRecvBuf(fd, 256 * 1024);
    SockUtil::setCloseWait(fd, 0);
    SockUtil::setCloExec(fd, true);

    Socket::Ptr peer_sock;
    try {
        Lock lck(_mtx_event);
        peer_sock = _on_before_accept(_poller);
    } catch (std::exception& ex) {
        ErrorL << "Exception occurred when emit on_before_accept: " << ex.what();
        close(fd);
        return;
    }
    if (!peer_sock) {
        peer_sock = Socket::createSocket(_poller, false);
    }
    auto peer_sock_fd = peer_sock->setPeerSock(fd, peer);

    // The peer starts to receive events when the last copy of this token goes,
    // on the thread that lets it go; unless its owner refused it meanwhile by
    // closing it, when the descriptor is simply closed.
    std::shared_ptr<void> completed(nullptr, [peer_sock, peer_sock_fd](void*) {
        if (!peer_sock->isCurrentSock(peer_sock_fd)) {
            return;
        }
        try {
            if (!peer_sock->attachEvent(peer_sock_fd)) {
                peer_sock->emitErr(SockException(Err_eof, "add event to poller failed when accept a socket"));
            }
        } catch (std::exception& ex) {
            ErrorL << "Exception occurred: " << ex.what();
        }
    });
    try {
        Lock lck(_mtx_event);
        _on_accept(peer_sock, completed);
    } catch (std::exception& ex) {
        ErrorL << "Exception occurred when emit on_accept: " << ex.what();
    }
}

SockFD::Ptr Socket::cloneSockFD(const Socket& other) {
    Lock lck(other._mtx_sock_fd);
    if (!other._sock_fd) {
        WarnL << "sockfd of src socket is null";
        return nullptr;
    }
    return std::make_shared<SockFD>(*other._sock_fd, _poller);
}

bool Socket::cloneFromListenSocket(const Socket& other) {
    auto sock = cloneSockFD(other);
    if (!sock) {
        return false;
    }
    return listen(sock);
}

bool Socket::cloneFromPeerSocket(const Socket& other) {
    auto sock = cloneSockFD(other);
    if (!sock) {
        return false;
    }
    return adoptAndAttach(sock);
}

} // namespace toolkit
