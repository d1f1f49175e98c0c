#include "Network/Socket.h"

#include "Util/logger.h"
#include "Util/uv_errno.h"

// Sending: buffers queue in _send_buf_waiting (any thread), a flush turns the
// whole queue into one batch, and batches cut short by a full kernel buffer
// wait in _send_buf_sending for the poller's writable event.
//
// Every flush, the callers' and the poller's, runs under _mtx_sock_fd, so two
// threads never send on one socket at once and the bytes leave in the order
// they were queued.

namespace toolkit {

namespace {

using Lock = std::lock_guard<MutexWrapper<std::recursive_mutex>>;

} // namespace

ssize_t Socket::send(const char* buf, size_t size, struct sockaddr* addr, socklen_t addr_len, bool try_flush) {
    // The length is always explicit: binary data has no terminator to look for.
    if (!buf || !size) {
        return 0;
    }
    auto buffer = BufferRaw::create();
    buffer->assign(buf, size);
    return send(std::move(buffer), addr, addr_len, try_flush);
}

ssize_t Socket::send(std::string buf, struct sockaddr* addr, socklen_t addr_len, bool try_flush) {
    return send(buf.data(), buf.size(), addr, addr_len, try_flush);
}

ssize_t Socket::send(Buffer::Ptr buf, struct sockaddr* addr, socklen_t addr_len, bool try_flush) {
    if (!buf || !buf->size()) {
        return 0;
    }
    if (!addr) {
        return send_l(std::move(buf), false, try_flush);
    }
    return send_l(std::make_shared<BufferSock>(std::move(buf), addr, addr_len), true, try_flush);
}

ssize_t Socket::send_l(Buffer::Ptr buf, bool is_buf_sock, bool try_flush) {
    ssize_t size = buf ? buf->size() : 0;
    if (!size) {
        return 0;
    }
    {
        Lock lck(_mtx_send_buf_waiting);
        _send_buf_waiting.emplace_back(std::move(buf), is_buf_sock);
    }
    if (try_flush && flushAll()) {
        return -1;
    }
    return size;
}

int Socket::flushAll() {
    Lock lck(_mtx_sock_fd);
    if (!_sock_fd) {
        return -1;
    }
    if (_sendable) {
        // A copy: a failing flush drops _sock_fd.
        auto sock = _sock_fd;
        return flushData(sock, false) ? 0 : -1;
    }
    if (elapsedTimeAfterFlushed() > _max_send_buffer_ms) {
        emitErr(SockException(Err_other, "socket send timeout"));
        return -1;
    }
    return 0;
}

void Socket::onWriteAble(const SockFD::Ptr& sock) {
    Lock lck(_mtx_sock_fd);
    bool empty_waiting;
    bool empty_sending;
    {
        Lock lck_waiting(_mtx_send_buf_waiting);
        empty_waiting = _send_buf_waiting.empty();
    }
    {
        Lock lck_sending(_mtx_send_buf_sending);
        empty_sending = _send_buf_sending.empty();
    }
    if (empty_waiting && empty_sending) {
        _sendable = true;
        stopWriteAbleEvent(sock);
    } else {
        flushData(sock, true);
    }
}

bool Socket::flushData(const SockFD::Ptr& sock, bool poller_thread) {
    Lock lck(_mtx_sock_fd);
    // A loop, not recursion: the poller thread goes on while data keeps coming.
    for (;;) {
        List<BufferList::Ptr> batches;
        {
            Lock lck_sending(_mtx_send_buf_sending);
            batches.swap(_send_buf_sending);
        }
        if (batches.empty()) {
            _send_flush_ticker.resetTime();
            if (!makeBatch(sock, batches)) {
                if (!poller_thread) {
                    return true;
                }
                _sendable = true;
                stopWriteAbleEvent(sock);
                // Whatever was queued while the socket still looked busy was
                // left for this thread to send: look once more and send it
                // now (a batch left in this round's list would be dropped).
                if (!makeBatch(sock, batches)) {
                    onFlushed(sock);
                    return true;
                }
            }
        }
        bool cut_short = false;
        if (!sendBatches(sock, batches, cut_short)) {
            return false;
        }
        if (cut_short) {
            if (_sendable.exchange(false)) {
                startWriteAbleEvent(sock);
            }
            Lock lck_sending(_mtx_send_buf_sending);
            // Ahead of anything queued meanwhile: the oldest data leaves first.
            _send_buf_sending.splice(_send_buf_sending.begin(), batches);
            return true;
        }
        if (!poller_thread) {
            return true;
        }
    }
}

bool Socket::makeBatch(const SockFD::Ptr& sock, List<BufferList::Ptr>& batches) {
    Lock lck(_mtx_send_buf_waiting);
    if (_send_buf_waiting.empty()) {
        return false;
    }
    List<std::pair<Buffer::Ptr, bool>> list;
    list.swap(_send_buf_waiting);
    batches.emplace_back(BufferList::create(std::move(list), _send_result, sock->type() == Sock_UDP));
    return true;
}

bool Socket::sendBatches(const SockFD::Ptr& sock, List<BufferList::Ptr>& batches, bool& cut_short) {
    int fd = sock->rawFd();
    bool is_udp = sock->type() == Sock_UDP;
    while (!batches.empty()) {
        auto& batch = batches.front();
        auto n = batch->send(fd, _sock_flags);
        if (n > 0) {
            if (_enable_speed) {
                _send_speed += n;
            }
            if (batch->empty()) {
                batches.pop_front();
                continue;
            }
            cut_short = true;
            return true;
        }
        int err = get_uv_error(true);
        if (err == -11) {
            cut_short = true;
            return true;
        }
        if (is_udp) {
            batches.pop_front();
            WarnL << "Send udp socket[" << fd << "] failed, data ignored: " << uv_strerror(err);
            continue;
        }
        emitErr(toSockException(err));
        return false;
    }
    return true;
}

void Socket::onFlushed(const SockFD::Ptr&) {
    bool keep;
    {
        Lock lck(_mtx_event);
        keep = _on_flush();
    }
    if (!keep) {
        setOnFlush(nullptr);
    }
}

void Socket::startWriteAbleEvent(const SockFD::Ptr& sock) {
    int events = EventPoller::Event_Error | EventPoller::Event_Write;
    if (_enable_recv) {
        events |= EventPoller::Event_Read;
    }
    _poller->modifyEvent(sock->rawFd(), events);
}

void Socket::stopWriteAbleEvent(const SockFD::Ptr& sock) {
    int events = EventPoller::Event_Error;
    if (_enable_recv) {
        events |= EventPoller::Event_Read;
    }
    _poller->modifyEvent(sock->rawFd(), events);
}

size_t Socket::getSendBufferCount() {
    size_t count = 0;
    {
        Lock lck(_mtx_send_buf_waiting);
        count += _send_buf_waiting.size();
    }
    Lock lck(_mtx_send_buf_sending);
    for (auto& batch : _send_buf_sending) {
        count += batch->count();
    }
    return count;
}

uint64_t Socket::elapsedTimeAfterFlushed() {
    // The ticker is restarted by flushes, which hold this lock.
    Lock lck(_mtx_sock_fd);
    return _send_flush_ticker.elapsedTime();
}

void Socket::setSendTimeOutSecond(uint32_t second) {
    Lock lck(_mtx_sock_fd);
    _max_send_buffer_ms = second * 1000;
}

bool Socket::isSocketBusy() const {
    return !_sendable.load();
}

void Socket::setSendFlags(int flags) {
    Lock lck(_mtx_sock_fd);
    _sock_flags = flags;
}

} // namespace toolkit
