#include "Network/BufferSock.h"

#include <algorithm>
#include <cstring>

#include "Network/sockutil.h"

namespace toolkit {

BufferSock::BufferSock(Buffer::Ptr buffer, struct sockaddr* addr, int addr_len) : _buffer(std::move(buffer)) {
    memset(&_addr, 0, sizeof(_addr));
    if (addr) {
        if (!addr_len) {
            addr_len = SockUtil::get_sock_len(addr);
        }
        _addr_len = std::min<int>(addr_len, sizeof(_addr));
        memcpy(&_addr, addr, _addr_len);
    }
}

char* BufferSock::data() const {
    return _buffer->data();
}

size_t BufferSock::size() const {
    return _buffer->size();
}

const struct sockaddr* BufferSock::addr() const {
    return _addr_len ? reinterpret_cast<const struct sockaddr*>(&_addr) : nullptr;
}

socklen_t BufferSock::addrLen() const {
    return _addr_len;
}

} // namespace toolkit
