#pragma once
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string>

namespace toolkit {

// Stateless helpers over raw socket descriptors. Option setters return the
// last system call's result; a failure is logged at trace level and otherwise
// ignored, since no caller can do better than carry on. The three makers
// (listen, bindUdpSock, connect) return a ready descriptor or -1 after a
// warning, and close what they created on every failure.
class SockUtil {
public:
    // A TCP socket connected, or (async) connecting, to `host`, which may be
    // an address text or a host name (resolved through DnsCache). The local
    // address is always bound first; "::" and port 0 mean any.
    static int connect(const char* host, uint16_t port, bool async = true, const char* local_ip = "::",
                       uint16_t local_port = 0);
    // A listening, non-blocking TCP socket. "::" gives one dual-stack socket
    // that also accepts IPv4 peers; an IPv4 text gives an IPv4 socket.
    static int listen(uint16_t port, const char* local_ip = "::", int back_log = 1024);
    // A bound, non-blocking UDP socket.
    static int bindUdpSock(uint16_t port, const char* local_ip = "::", bool enable_reuse = true);

    // SO_LINGER: on with `second` when second > 0, off otherwise.
    static int setCloseWait(int fd, int second = 0);
    static int setNoDelay(int fd, bool on = true);
    // SO_REUSEADDR, then SO_REUSEPORT when reuse_port.
    static int setReuseable(int fd, bool on = true, bool reuse_port = true);
    // Close-on-exec on or off, keeping the descriptor's other flags.
    static int setCloExec(int fd, bool on = true);
    // Does nothing and returns -1: the sockets pass MSG_NOSIGNAL on every send.
    static int setNoSigpipe(int fd);
    // Non-blocking (FIONBIO) on or off.
    static int setNoBlocked(int fd, bool noblock = true);
    static int setRecvBuf(int fd, int size = 256 * 1024);
    static int setSendBuf(int fd, int size = 256 * 1024);

    // Address texts of a descriptor ("" on failure); an IPv4-mapped IPv6
    // address reads as the dotted IPv4 text.
    static std::string get_local_ip(int fd);
    static std::string get_peer_ip(int fd);
    // Ports in host order; 0 on failure or for a family other than IPv4/IPv6.
    static uint16_t get_local_port(int fd);
    static uint16_t get_peer_port(int fd);

    // getsockname / getpeername into a zeroed storage; false on failure.
    static bool get_sock_local_addr(int fd, struct sockaddr_storage& addr);
    static bool get_sock_peer_addr(int fd, struct sockaddr_storage& addr);

    // Address text of a socket address ("" for other families).
    static std::string inet_ntoa(const struct sockaddr* addr);
    // Port of a socket address in host order (0 for other families).
    static uint16_t inet_port(const struct sockaddr* addr);

    static bool is_ipv4(const char* str);
    static bool is_ipv6(const char* str);

    // An address from an address text; throws std::invalid_argument
    // "Not ip address: <host>" for anything else.
    static struct sockaddr_storage make_sockaddr(const char* host, uint16_t port);
    // 16 for AF_INET, 28 for AF_INET6, 0 otherwise.
    static socklen_t get_sock_len(const struct sockaddr* addr);
};

} // namespace toolkit
