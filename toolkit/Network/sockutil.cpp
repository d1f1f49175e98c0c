#include "Network/sockutil.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <stdexcept>

#include "Network/DnsCache.h"
#include "Util/logger.h"
#include "Util/uv_errno.h"

namespace toolkit {

namespace {

// Whether this system can make IPv6 TCP sockets; probed once.
bool support_ipv6() {
    static std::once_flag s_once;
    static bool s_support = false;
    std::call_once(s_once, []() {
        int fd = socket(AF_INET6, SOCK_STREAM, IPPROTO_TCP);
        if (fd != -1) {
            s_support = true;
            close(fd);
        }
    });
    return s_support;
}

// The family of a socket for a local address text: IPv4 for an IPv4 text,
// IPv6 (dual stack) for anything else when the system supports it.
int familyFor(const char* local_ip) {
    if (!support_ipv6()) {
        return AF_INET;
    }
    return SockUtil::is_ipv4(local_ip) ? AF_INET : AF_INET6;
}

int set_ipv6_only(int fd, bool flag) {
    int opt = flag ? 1 : 0;
    int ret = setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &opt, sizeof(opt));
    if (ret == -1) {
        TraceL << "setsockopt IPV6_V6ONLY failed";
    }
    return ret;
}

int bind_sock6(int fd, const char* ifr_ip, uint16_t port) {
    set_ipv6_only(fd, false);
    sockaddr_in6 addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin6_family = AF_INET6;
    addr.sin6_port = htons(port);
    if (1 != inet_pton(AF_INET6, ifr_ip, &addr.sin6_addr)) {
        if (strcmp(ifr_ip, "0.0.0.0") != 0) {
            WarnL << "inet_pton to ipv6 address failed: " << ifr_ip;
        }
        addr.sin6_addr = IN6ADDR_ANY_INIT;
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == -1) {
        WarnL << "Bind socket failed: " << get_uv_errmsg(true);
        return -1;
    }
    return 0;
}

int bind_sock4(int fd, const char* ifr_ip, uint16_t port) {
    sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (1 != inet_pton(AF_INET, ifr_ip, &addr.sin_addr)) {
        if (strcmp(ifr_ip, "::") != 0) {
            WarnL << "inet_pton to ipv4 address failed: " << ifr_ip;
        }
        addr.sin_addr.s_addr = INADDR_ANY;
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == -1) {
        WarnL << "Bind socket failed: " << get_uv_errmsg(true);
        return -1;
    }
    return 0;
}

int bind_sock(int fd, const char* ifr_ip, uint16_t port, int family) {
    switch (family) {
    case AF_INET: return bind_sock4(fd, ifr_ip, port);
    case AF_INET6: return bind_sock6(fd, ifr_ip, port);
    default: return -1;
    }
}

std::string my_inet_ntop(int af, const void* addr) {
    char buf[128];
    if (!inet_ntop(af, addr, buf, sizeof(buf))) {
        return "";
    }
    return buf;
}

int setIntOption(int fd, int level, int option, int value, const char* failure) {
    int ret = setsockopt(fd, level, option, &value, sizeof(value));
    if (ret == -1) {
        TraceL << failure;
    }
    return ret;
}

} // namespace

int SockUtil::setCloseWait(int fd, int second) {
    linger value;
    value.l_onoff = second > 0 ? 1 : 0;
    value.l_linger = second;
    int ret = setsockopt(fd, SOL_SOCKET, SO_LINGER, &value, sizeof(value));
    if (ret == -1) {
        TraceL << "setsockopt SO_LINGER failed";
    }
    return ret;
}

int SockUtil::setNoDelay(int fd, bool on) {
    return setIntOption(fd, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0, "setsockopt TCP_NODELAY failed");
}

int SockUtil::setReuseable(int fd, bool on, bool reuse_port) {
    int ret = setIntOption(fd, SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0, "setsockopt SO_REUSEADDR failed");
    if (ret == -1 || !reuse_port) {
        return ret;
    }
    return setIntOption(fd, SOL_SOCKET, SO_REUSEPORT, on ? 1 : 0, "setsockopt SO_REUSEPORT failed");
}

int SockUtil::setCloExec(int fd, bool on) {
    int flags = fcntl(fd, F_GETFD);
    if (flags == -1) {
        TraceL << "fcntl F_GETFD failed";
        return -1;
    }
    if (on) {
        flags |= FD_CLOEXEC;
    } else {
        flags &= ~FD_CLOEXEC;
    }
    int ret = fcntl(fd, F_SETFD, flags);
    if (ret == -1) {
        TraceL << "fcntl F_SETFD failed";
    }
    return ret;
}

int SockUtil::setNoSigpipe(int) {
    return -1;
}

int SockUtil::setNoBlocked(int fd, bool noblock) {
    int value = noblock ? 1 : 0;
    int ret = ioctl(fd, FIONBIO, &value);
    if (ret == -1) {
        TraceL << "ioctl FIONBIO failed";
    }
    return ret;
}

int SockUtil::setRecvBuf(int fd, int size) {
    return setIntOption(fd, SOL_SOCKET, SO_RCVBUF, size, "setsockopt SO_RCVBUF failed");
}

int SockUtil::setSendBuf(int fd, int size) {
    return setIntOption(fd, SOL_SOCKET, SO_SNDBUF, size, "setsockopt SO_SNDBUF failed");
}

int SockUtil::listen(uint16_t port, const char* local_ip, int back_log) {
    int family = familyFor(local_ip);
    int fd = socket(family, SOCK_STREAM, IPPROTO_TCP);
    if (fd == -1) {
        WarnL << "Create socket failed: " << get_uv_errmsg(true);
        return -1;
    }
    setReuseable(fd, true, false);
    setNoBlocked(fd, true);
    setCloExec(fd, true);
    if (bind_sock(fd, local_ip, port, family) == -1) {
        close(fd);
        return -1;
    }
    if (::listen(fd, back_log) == -1) {
        WarnL << "Listen socket failed: " << get_uv_errmsg(true);
        close(fd);
        return -1;
    }
    return fd;
}

int SockUtil::bindUdpSock(uint16_t port, const char* local_ip, bool enable_reuse) {
    int family = familyFor(local_ip);
    int fd = socket(family, SOCK_DGRAM, IPPROTO_UDP);
    if (fd == -1) {
        WarnL << "Create socket failed: " << get_uv_errmsg(true);
        return -1;
    }
    if (enable_reuse) {
        setReuseable(fd, true, true);
    }
    setNoBlocked(fd, true);
    setSendBuf(fd, 256 * 1024);
    setRecvBuf(fd, 256 * 1024);
    setCloseWait(fd, 0);
    setCloExec(fd, true);
    if (bind_sock(fd, local_ip, port, family) == -1) {
        close(fd);
        return -1;
    }
    return fd;
}

int SockUtil::connect(const char* host, uint16_t port, bool async, const char* local_ip, uint16_t local_port) {
    sockaddr_storage addr;
    if (!DnsCache::Instance().getDomainIP(host, addr, AF_INET, SOCK_STREAM, IPPROTO_TCP, 60)) {
        return -1;
    }
    if (addr.ss_family == AF_INET) {
        reinterpret_cast<sockaddr_in&>(addr).sin_port = htons(port);
    } else if (addr.ss_family == AF_INET6) {
        reinterpret_cast<sockaddr_in6&>(addr).sin6_port = htons(port);
    }
    int fd = socket(addr.ss_family, SOCK_STREAM, IPPROTO_TCP);
    if (fd < 0) {
        WarnL << "Create socket failed: " << host;
        return -1;
    }
    setReuseable(fd, true, true);
    setNoBlocked(fd, async);
    setNoDelay(fd, true);
    setSendBuf(fd, 256 * 1024);
    setRecvBuf(fd, 256 * 1024);
    setCloseWait(fd, 0);
    setCloExec(fd, true);
    if (bind_sock(fd, local_ip, local_port, addr.ss_family) == -1) {
        close(fd);
        return -1;
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), get_sock_len(reinterpret_cast<sockaddr*>(&addr))) == 0) {
        return fd;
    }
    int err = get_uv_error(true);
    if (async && err == -11) {
        // Under way; the socket turns writable when it is done.
        return fd;
    }
    WarnL << "Connect socket to " << host << " " << port << " failed: " << uv_strerror(err);
    close(fd);
    // The caller may read why (close must not hide it).
    errno = -err;
    return -1;
}

bool SockUtil::get_sock_local_addr(int fd, sockaddr_storage& addr) {
    memset(&addr, 0, sizeof(addr));
    socklen_t len = sizeof(addr);
    return getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
}

bool SockUtil::get_sock_peer_addr(int fd, sockaddr_storage& addr) {
    memset(&addr, 0, sizeof(addr));
    socklen_t len = sizeof(addr);
    return getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
}

std::string SockUtil::get_local_ip(int fd) {
    sockaddr_storage addr;
    if (!get_sock_local_addr(fd, addr)) {
        return "";
    }
    return inet_ntoa(reinterpret_cast<sockaddr*>(&addr));
}

std::string SockUtil::get_peer_ip(int fd) {
    sockaddr_storage addr;
    if (!get_sock_peer_addr(fd, addr)) {
        return "";
    }
    return inet_ntoa(reinterpret_cast<sockaddr*>(&addr));
}

uint16_t SockUtil::get_local_port(int fd) {
    sockaddr_storage addr;
    if (!get_sock_local_addr(fd, addr)) {
        return 0;
    }
    return inet_port(reinterpret_cast<sockaddr*>(&addr));
}

uint16_t SockUtil::get_peer_port(int fd) {
    sockaddr_storage addr;
    if (!get_sock_peer_addr(fd, addr)) {
        return 0;
    }
    return inet_port(reinterpret_cast<sockaddr*>(&addr));
}

std::string SockUtil::inet_ntoa(const sockaddr* addr) {
    switch (addr->sa_family) {
    case AF_INET: return my_inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(addr)->sin_addr);
    case AF_INET6: {
        const in6_addr& a6 = reinterpret_cast<const sockaddr_in6*>(addr)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&a6)) {
            // An IPv4 peer of a dual-stack socket reads as plain IPv4.
            in_addr a4;
            memcpy(&a4, a6.s6_addr + 12, sizeof(a4));
            return my_inet_ntop(AF_INET, &a4);
        }
        return my_inet_ntop(AF_INET6, &a6);
    }
    default: return "";
    }
}

uint16_t SockUtil::inet_port(const sockaddr* addr) {
    switch (addr->sa_family) {
    case AF_INET: return ntohs(reinterpret_cast<const sockaddr_in*>(addr)->sin_port);
    case AF_INET6: return ntohs(reinterpret_cast<const sockaddr_in6*>(addr)->sin6_port);
    default: return 0;
    }
}

bool SockUtil::is_ipv4(const char* host) {
    in_addr addr;
    return 1 == inet_pton(AF_INET, host, &addr);
}

bool SockUtil::is_ipv6(const char* host) {
    in6_addr addr;
    return 1 == inet_pton(AF_INET6, host, &addr);
}

sockaddr_storage SockUtil::make_sockaddr(const char* host, uint16_t port) {
    sockaddr_storage storage;
    memset(&storage, 0, sizeof(storage));
    in_addr addr;
    in6_addr addr6;
    if (1 == inet_pton(AF_INET, host, &addr)) {
        auto& in = reinterpret_cast<sockaddr_in&>(storage);
        in.sin_family = AF_INET;
        in.sin_port = htons(port);
        in.sin_addr = addr;
        return storage;
    }
    if (1 == inet_pton(AF_INET6, host, &addr6)) {
        auto& in6 = reinterpret_cast<sockaddr_in6&>(storage);
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(port);
        in6.sin6_addr = addr6;
        return storage;
    }
    throw std::invalid_argument(std::string("Not ip address: ") + host);
}

socklen_t SockUtil::get_sock_len(const sockaddr* addr) {
    switch (addr->sa_family) {
    case AF_INET: return sizeof(sockaddr_in);
    case AF_INET6: return sizeof(sockaddr_in6);
    default: return 0;
    }
}

} // namespace toolkit
