#include "Network/BufferList.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "Network/BufferSock.h"
#include "Util/uv_errno.h"

namespace toolkit {

namespace {

// At most this many buffers go into one sendmsg (the system's IOV_MAX).
constexpr size_t kMaxIovec = 1024;

} // namespace

BufferList::Ptr BufferList::create(List<std::pair<Buffer::Ptr, bool>> list, SendResult cb, bool is_udp) {
    if (is_udp) {
        return std::make_shared<BufferSendMMsg>(std::move(list), std::move(cb));
    }
    return std::make_shared<BufferSendMsg>(std::move(list), std::move(cb));
}

// ---------------------------------------------------------------- BufferCallBack

BufferCallBack::BufferCallBack(List<std::pair<Buffer::Ptr, bool>> list, BufferList::SendResult cb)
    : _cb(std::move(cb)), _pkt_list(std::move(list)) {}

BufferCallBack::~BufferCallBack() {
    sendCompleted(false);
}

void BufferCallBack::sendCompleted(bool flag) {
    if (!_cb) {
        _pkt_list.clear();
        return;
    }
    while (!_pkt_list.empty()) {
        // Removed before the call, so a throwing callback cannot report it twice.
        auto buffer = std::move(_pkt_list.front().first);
        _pkt_list.pop_front();
        _cb(buffer, flag);
    }
}

void BufferCallBack::sendFrontSuccess() {
    auto buffer = std::move(_pkt_list.front().first);
    _pkt_list.pop_front();
    if (_cb) {
        _cb(buffer, true);
    }
}

// ---------------------------------------------------------------- BufferSendMsg

BufferSendMsg::BufferSendMsg(List<std::pair<Buffer::Ptr, bool>> list, SendResult cb)
    : BufferCallBack(std::move(list), std::move(cb)), _iovec(_pkt_list.size()) {
    auto it = _iovec.begin();
    for (auto& pr : _pkt_list) {
        it->iov_base = pr.first->data();
        it->iov_len = pr.first->size();
        _remain_size += it->iov_len;
        ++it;
    }
}

bool BufferSendMsg::empty() {
    return _remain_size == 0;
}

size_t BufferSendMsg::count() {
    return _iovec.size() - _iovec_off;
}

ssize_t BufferSendMsg::send(int fd, int flags) {
    auto start = _remain_size;
    // A call that writes nothing ends the loop too: retrying at once would spin.
    while (_remain_size && send_l(fd, flags) > 0) {
    }
    ssize_t sent = start - _remain_size;
    return sent > 0 ? sent : -1;
}

ssize_t BufferSendMsg::send_l(int fd, int flags) {
    ssize_t n;
    do {
        msghdr msg = {};
        msg.msg_iov = &_iovec[_iovec_off];
        msg.msg_iovlen = std::min(_iovec.size() - _iovec_off, kMaxIovec);
        n = sendmsg(fd, &msg, flags);
    } while (n == -1 && get_uv_error(true) == -4);

    if (n >= static_cast<ssize_t>(_remain_size)) {
        _remain_size = 0;
        _iovec_off = _iovec.size();
        sendCompleted(true);
        return n;
    }
    if (n > 0) {
        reOffset(n);
    }
    return n;
}

void BufferSendMsg::reOffset(size_t n) {
    _remain_size -= n;
    size_t total = 0;
    for (size_t i = _iovec_off; i != _iovec.size(); ++i) {
        auto& io = _iovec[i];
        total += io.iov_len;
        if (total < n) {
            // Written completely.
            sendFrontSuccess();
            continue;
        }
        _iovec_off = i;
        if (total == n) {
            sendFrontSuccess();
            _iovec_off = i + 1;
        } else {
            // Written in part: the rest of this entry is the new start.
            size_t remain = total - n;
            io.iov_base = static_cast<char*>(io.iov_base) + (io.iov_len - remain);
            io.iov_len = remain;
        }
        break;
    }
}

// ---------------------------------------------------------------- BufferSendMMsg

BufferSendMMsg::BufferSendMMsg(List<std::pair<Buffer::Ptr, bool>> list, SendResult cb)
    : BufferCallBack(std::move(list), std::move(cb)), _iovec(_pkt_list.size()), _hdrvec(_pkt_list.size()) {
    size_t i = 0;
    for (auto& pr : _pkt_list) {
        auto& io = _iovec[i];
        io.iov_base = pr.first->data();
        io.iov_len = pr.first->size();
        _remain_size += io.iov_len;

        auto& hdr = _hdrvec[i];
        hdr = {};
        auto sock_buf = pr.second ? std::dynamic_pointer_cast<BufferSock>(pr.first) : nullptr;
        if (sock_buf && sock_buf->addr()) {
            hdr.msg_hdr.msg_name = const_cast<sockaddr*>(sock_buf->addr());
            hdr.msg_hdr.msg_namelen = sock_buf->addrLen();
        }
        hdr.msg_hdr.msg_iov = &io;
        hdr.msg_hdr.msg_iovlen = 1;
        ++i;
    }
}

bool BufferSendMMsg::empty() {
    return _remain_size == 0;
}

size_t BufferSendMMsg::count() {
    return _hdrvec.size() - _hdr_off;
}

ssize_t BufferSendMMsg::send(int fd, int flags) {
    auto start = _remain_size;
    while (_remain_size) {
        int n = sendmmsg(fd, &_hdrvec[_hdr_off], _hdrvec.size() - _hdr_off, flags);
        if (n == -1 && get_uv_error(true) == -4) {
            continue;
        }
        if (n <= 0) {
            // A failure, or nothing accepted (retrying at once would spin).
            break;
        }
        reOffset();
    }
    ssize_t sent = start - _remain_size;
    return sent > 0 ? sent : -1;
}

void BufferSendMMsg::reOffset() {
    while (_hdr_off != _hdrvec.size()) {
        auto& hdr = _hdrvec[_hdr_off];
        auto& io = *hdr.msg_hdr.msg_iov;
        _remain_size -= hdr.msg_len;
        if (io.iov_len != hdr.msg_len) {
            // Not sent (msg_len 0), or only in part.
            io.iov_base = static_cast<char*>(io.iov_base) + hdr.msg_len;
            io.iov_len -= hdr.msg_len;
            hdr.msg_len = 0;
            break;
        }
        hdr.msg_len = 0;
        ++_hdr_off;
        sendFrontSuccess();
    }
}

} // namespace toolkit
