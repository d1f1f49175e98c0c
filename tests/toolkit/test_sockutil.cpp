#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <string>

#include "Network/DnsCache.h"
#include "Network/sockutil.h"
#include "test_socket_support.h"
#include "warning_capture.h"

using namespace toolkit;
using socket_test::RawClient;

namespace {

int optionOf(int fd, int level, int option) {
    int value = -1;
    socklen_t len = sizeof(value);
    getsockopt(fd, level, option, &value, &len);
    return value;
}

int familyOf(int fd) {
    sockaddr_storage addr;
    return SockUtil::get_sock_local_addr(fd, addr) ? addr.ss_family : -1;
}

// Accepts one pending connection on a non-blocking listener.
int acceptOne(int listen_fd) {
    for (int i = 0; i < 1000; ++i) {
        int fd = accept(listen_fd, nullptr, nullptr);
        if (fd != -1 || errno != EAGAIN) {
            return fd;
        }
        usleep(1000);
    }
    return -1;
}

} // namespace

TEST(SockUtilListen, DualStackListenerShowsIpv4PeerAsDottedText) {
    int fd = SockUtil::listen(0, "::", 1024);
    ASSERT_NE(fd, -1);
    EXPECT_EQ(familyOf(fd), AF_INET6);
    EXPECT_EQ(optionOf(fd, IPPROTO_IPV6, IPV6_V6ONLY), 0);
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    EXPECT_EQ(optionOf(fd, SOL_SOCKET, SO_REUSEADDR), 1);

    RawClient v4(SockUtil::get_local_port(fd));
    ASSERT_TRUE(v4.connected());
    int peer = acceptOne(fd);
    ASSERT_NE(peer, -1);
    EXPECT_EQ(SockUtil::get_peer_ip(peer), "127.0.0.1");
    EXPECT_EQ(SockUtil::get_peer_port(peer), v4.localPort());
    EXPECT_EQ(SockUtil::get_local_ip(peer), "127.0.0.1");

    RawClient v6(SockUtil::get_local_port(fd), true);
    ASSERT_TRUE(v6.connected());
    int peer6 = acceptOne(fd);
    ASSERT_NE(peer6, -1);
    EXPECT_EQ(SockUtil::get_peer_ip(peer6), "::1");
    close(peer6);
    close(peer);
    close(fd);
}

TEST(SockUtilListen, FamilyFollowsTheLocalAddressText) {
    int v4 = SockUtil::listen(0, "0.0.0.0", 16);
    ASSERT_NE(v4, -1);
    EXPECT_EQ(familyOf(v4), AF_INET);
    close(v4);

    testing_support::ScopedWarningCapture warnings;
    int named = SockUtil::listen(0, "localhost", 16);
    ASSERT_NE(named, -1);
    EXPECT_EQ(familyOf(named), AF_INET6);
    ASSERT_TRUE(warnings->waitFor(1));
    EXPECT_EQ(warnings->texts()[0], "inet_pton to ipv6 address failed: localhost");
    close(named);
}

TEST(SockUtilListen, PortInUseFailsWithTheBindWarning) {
    int first = SockUtil::listen(0, "::", 16);
    ASSERT_NE(first, -1);
    testing_support::ScopedWarningCapture warnings;
    EXPECT_EQ(SockUtil::listen(SockUtil::get_local_port(first), "::", 16), -1);
    ASSERT_TRUE(warnings->waitFor(1));
    EXPECT_EQ(warnings->texts()[0].rfind("Bind socket failed: ", 0), 0u) << warnings->texts()[0];
    close(first);
}

TEST(SockUtilConnect, BlockingConnectToAClosedPortIsRefused) {
    // A port that was just free: bind, read the number, close.
    int probe = SockUtil::listen(0, "127.0.0.1", 1);
    uint16_t port = SockUtil::get_local_port(probe);
    close(probe);

    testing_support::ScopedWarningCapture warnings;
    EXPECT_EQ(SockUtil::connect("127.0.0.1", port, false), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    ASSERT_TRUE(warnings->waitFor(1));
    EXPECT_EQ(warnings->texts().back().rfind("Connect socket to 127.0.0.1 " + std::to_string(port) + " failed: ", 0),
              0u);
}

TEST(SockUtilAddress, AddressTextsAndLengths) {
    EXPECT_TRUE(SockUtil::is_ipv4("10.1.2.3"));
    EXPECT_FALSE(SockUtil::is_ipv4("10.1.2"));
    EXPECT_TRUE(SockUtil::is_ipv6("fe80::1"));
    EXPECT_FALSE(SockUtil::is_ipv6("10.1.2.3"));

    auto v4 = SockUtil::make_sockaddr("192.168.7.9", 5025);
    EXPECT_EQ(SockUtil::get_sock_len(reinterpret_cast<sockaddr*>(&v4)), 16u);
    EXPECT_EQ(SockUtil::inet_ntoa(reinterpret_cast<sockaddr*>(&v4)), "192.168.7.9");
    EXPECT_EQ(SockUtil::inet_port(reinterpret_cast<sockaddr*>(&v4)), 5025);

    auto mapped = SockUtil::make_sockaddr("::ffff:10.0.0.5", 1);
    EXPECT_EQ(SockUtil::get_sock_len(reinterpret_cast<sockaddr*>(&mapped)), 28u);
    EXPECT_EQ(SockUtil::inet_ntoa(reinterpret_cast<sockaddr*>(&mapped)), "10.0.0.5");

    try {
        SockUtil::make_sockaddr("dmm.local", 1);
        FAIL() << "a host name is not an address";
    } catch (std::invalid_argument& ex) {
        EXPECT_STREQ(ex.what(), "Not ip address: dmm.local");
    }
    sockaddr unix_addr = {};
    unix_addr.sa_family = AF_UNIX;
    EXPECT_EQ(SockUtil::get_sock_len(&unix_addr), 0u);
    EXPECT_EQ(SockUtil::inet_ntoa(&unix_addr), "");
}

TEST(SockUtilAddress, ClosedDescriptorHasNoAddress) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    close(fd);
    EXPECT_EQ(SockUtil::get_local_port(fd), 0);
    EXPECT_EQ(SockUtil::get_local_ip(fd), "");
    EXPECT_EQ(SockUtil::get_peer_ip(fd), "");
    EXPECT_EQ(SockUtil::setNoSigpipe(fd), -1);
    EXPECT_EQ(SockUtil::setNoDelay(fd, true), -1);

    int live = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(SockUtil::setCloseWait(live, 3), 0);
    linger value = {};
    socklen_t len = sizeof(value);
    getsockopt(live, SOL_SOCKET, SO_LINGER, &value, &len);
    EXPECT_EQ(value.l_onoff, 1);
    EXPECT_EQ(value.l_linger, 3);
    close(live);
}

TEST(DnsCacheLookup, AddressTextNeedsNoResolver) {
    sockaddr_storage addr;
    ASSERT_TRUE(DnsCache::Instance().getDomainIP("127.0.0.1", addr));
    EXPECT_EQ(addr.ss_family, AF_INET);
    EXPECT_EQ(SockUtil::inet_port(reinterpret_cast<sockaddr*>(&addr)), 0);

    // "localhost" comes from the hosts file, without a network.
    ASSERT_TRUE(DnsCache::Instance().getDomainIP("localhost", addr, AF_INET, SOCK_STREAM, IPPROTO_TCP, 60));
    EXPECT_EQ(SockUtil::inet_ntoa(reinterpret_cast<sockaddr*>(&addr)), "127.0.0.1");
}
