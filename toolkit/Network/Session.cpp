#include "Network/Session.h"

#include <atomic>

namespace toolkit {

ssize_t SockSender::send(const char* data, size_t size) {
    // A zero size means "nothing", never "up to the first zero byte": the
    // data may be binary.
    if (!data || size == 0) {
        return 0;
    }
    auto buffer = BufferRaw::create();
    buffer->assign(data, size);
    return send(std::move(buffer));
}

SocketHelper::SocketHelper(const Socket::Ptr& sock) {
    setSock(sock);
    setOnCreateSocket(nullptr);
}

void SocketHelper::setSock(const Socket::Ptr& sock) {
    _peer_port = 0;
    _local_port = 0;
    _peer_ip.clear();
    _local_ip.clear();
    _sock = sock;
    if (_sock) {
        _poller = _sock->getPoller();
    }
}

void SocketHelper::setOnCreateSocket(onCreateSocket cb) {
    if (cb) {
        _on_create_socket = std::move(cb);
    } else {
        _on_create_socket = [](const EventPoller::Ptr& poller) { return Socket::createSocket(poller, false); };
    }
}

ssize_t SocketHelper::send(Buffer::Ptr buf) {
    if (!_sock) {
        return -1;
    }
    if (!buf || buf->size() == 0) {
        return 0;
    }
    if (_poller->isCurrentThread()) {
        return _sock->send(std::move(buf), nullptr, 0, _try_flush);
    }
    // The socket may have its locks off: touch it only on its own thread. The
    // task keeps the socket, so data sent before the owner lets go still leaves.
    auto size = static_cast<ssize_t>(buf->size());
    _poller->async([sock = _sock, buf = std::move(buf), try_flush = _try_flush]() mutable {
        sock->send(std::move(buf), nullptr, 0, try_flush);
    }, false);
    return size;
}

void SocketHelper::shutdown(const SockException& ex) {
    if (!_sock) {
        return;
    }
    if (_poller->isCurrentThread()) {
        _sock->emitErr(ex);
        return;
    }
    // Queued behind the sends this thread posted before, so they leave first.
    _poller->async([sock = _sock, ex]() { sock->emitErr(ex); }, false);
}

std::string SocketHelper::get_local_ip() {
    if (_sock && _local_ip.empty()) {
        _local_ip = _sock->get_local_ip();
    }
    return _local_ip;
}

uint16_t SocketHelper::get_local_port() {
    if (_sock && _local_port == 0) {
        _local_port = _sock->get_local_port();
    }
    return _local_port;
}

std::string SocketHelper::get_peer_ip() {
    if (_sock && _peer_ip.empty()) {
        _peer_ip = _sock->get_peer_ip();
    }
    return _peer_ip;
}

uint16_t SocketHelper::get_peer_port() {
    if (_sock && _peer_port == 0) {
        _peer_port = _sock->get_peer_port();
    }
    return _peer_port;
}

Task::Ptr SocketHelper::async(TaskIn task, bool may_sync) {
    return _poller->async(std::move(task), may_sync);
}

Task::Ptr SocketHelper::async_first(TaskIn task, bool may_sync) {
    return _poller->async_first(std::move(task), may_sync);
}

namespace {
// Numbers the sessions of the process; identifiers stay unique even when
// descriptor numbers are reused.
std::atomic<uint64_t> s_session_index{0};
} // namespace

Session::Session(const Socket::Ptr& sock) : SocketHelper(sock) {
    if (sock && sock->sockType() == Sock_TCP) {
        _statistic_tcp = std::make_unique<ObjectStatistic<TcpSession>>();
    } else {
        _statistic_udp = std::make_unique<ObjectStatistic<UdpSession>>();
    }
}

void Session::attachServer(const Server&) {}

std::string Session::getIdentifier() const {
    if (_id.empty()) {
        auto index = ++s_session_index;
        auto fd = getSock() ? getSock()->rawFD() : -1;
        _id = std::to_string(index) + "-" + std::to_string(fd);
    }
    return _id;
}

} // namespace toolkit
