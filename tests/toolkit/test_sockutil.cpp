#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "Network/BufferList.h"
#include "Network/sockutil.h"
#include "test_socket_support.h"

using namespace toolkit;
using socket_test::RawClient;
using testing_support::LogCapture;

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
    int fd = -1;
    poller_test::waitUntil([&]() { return (fd = accept(listen_fd, nullptr, nullptr)) != -1 || errno != EAGAIN; });
    return fd;
}

Buffer::Ptr bufferOf(const std::string& text) {
    auto buf = BufferRaw::create();
    buf->assign(text.data(), text.size());
    return buf;
}

// A batch of buffers whose reports (text, sent) are kept in order.
struct Batch {
    List<std::pair<Buffer::Ptr, bool>> list;
    std::vector<std::pair<std::string, bool>> reports;

    explicit Batch(const std::vector<std::string>& texts) {
        for (auto& t : texts) {
            list.emplace_back(bufferOf(t), false);
        }
    }
    BufferList::Ptr make() {
        return BufferList::create(std::move(list), [this](const Buffer::Ptr& buf, bool ok) {
            reports.emplace_back(buf->toString(), ok);
        }, false);
    }
};

struct StreamPair {
    explicit StreamPair(int sndbuf = 0) {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fd), 0);
        if (sndbuf) {
            setsockopt(fd[0], SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(sndbuf));
        }
    }
    ~StreamPair() {
        close(fd[0]);
        close(fd[1]);
    }
    ssize_t send(const BufferList::Ptr& batch) { return batch->send(fd[0], MSG_NOSIGNAL | MSG_DONTWAIT); }
    std::string drain() {
        std::string out;
        char buf[65536];
        for (ssize_t n; (n = read(fd[1], buf, sizeof(buf))) > 0;) {
            out.append(buf, n);
        }
        return out;
    }
    int fd[2] = {-1, -1};
};

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

TEST(SockUtilListen, FamilyFollowsTheAddressTextAndAPortInUseFails) {
    int v4 = SockUtil::listen(0, "0.0.0.0", 16);
    ASSERT_NE(v4, -1);
    EXPECT_EQ(familyOf(v4), AF_INET);
    close(v4);

    LogCapture log;
    int named = SockUtil::listen(0, "localhost", 16);
    ASSERT_NE(named, -1);
    EXPECT_EQ(familyOf(named), AF_INET6);
    EXPECT_TRUE(log.waitFor("inet_pton to ipv6 address failed: localhost"));

    EXPECT_EQ(SockUtil::listen(SockUtil::get_local_port(named), "::", 16), -1);
    EXPECT_TRUE(log.waitFor("Bind socket failed: "));
    close(named);
}

TEST(SockUtilConnect, BlockingConnectToAClosedPortIsRefused) {
    uint16_t port = socket_test::closedPort();
    LogCapture log;
    EXPECT_EQ(SockUtil::connect("127.0.0.1", port, false), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    EXPECT_TRUE(log.waitFor("Connect socket to 127.0.0.1 " + std::to_string(port) + " failed: "));
}

// ---------------------------------------------------------------- send batches

TEST(BufferList, ManyBuffersLeaveInOrderWithOneReportEach) {
    StreamPair pair;
    std::vector<std::string> texts;
    std::string expected;
    for (int i = 0; i < 1500; ++i) {  // more than one sendmsg takes
        texts.push_back(std::to_string(i) + ";");
        expected += texts.back();
    }
    Batch batch(texts);
    auto list = batch.make();
    EXPECT_EQ(list->count(), 1500u);
    EXPECT_EQ(pair.send(list), static_cast<ssize_t>(expected.size()));
    EXPECT_TRUE(list->empty());
    EXPECT_EQ(pair.drain(), expected);
    ASSERT_EQ(batch.reports.size(), 1500u);
    for (size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(batch.reports[i], std::make_pair(texts[i], true));
    }
}

TEST(BufferList, PartialWriteResumesInsideABufferAndDropReportsTheRest) {
    StreamPair pair(4096);
    std::string big = socket_test::pattern(1 << 20);
    Batch batch({"first", "second", big, "tail"});
    auto list = batch.make();
    auto n = pair.send(list);
    ASSERT_GT(n, 11);
    ASSERT_LT(n, static_cast<ssize_t>(big.size()));
    EXPECT_EQ(list->count(), 2u) << "the cut buffer and the one after it";
    ASSERT_EQ(batch.reports.size(), 2u);
    EXPECT_EQ(batch.reports[1], std::make_pair(std::string("second"), true));
    // Full socket: nothing more goes, nothing is lost.
    EXPECT_EQ(pair.send(list), -1);
    EXPECT_EQ(errno, EAGAIN);
    std::string received;
    for (int round = 0; round < 100000 && !list->empty(); ++round) {
        received += pair.drain();
        pair.send(list);
    }
    received += pair.drain();
    EXPECT_EQ(received, "firstsecond" + big + "tail");
    EXPECT_EQ(batch.reports.size(), 4u);

    // A batch dropped part-way reports what it still holds with false, in order.
    Batch dropped({big, "x", "y"});
    pair.send(dropped.make());
    ASSERT_EQ(dropped.reports.size(), 3u);
    EXPECT_FALSE(dropped.reports[0].second);
    EXPECT_EQ(dropped.reports[2], std::make_pair(std::string("y"), false));
}
