#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "Network/Buffer.h"
#include "Network/BufferList.h"
#include "Network/BufferSock.h"
#include "Network/sockutil.h"

using namespace toolkit;

namespace {

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
    std::string drain() {
        std::string out;
        char buf[65536];
        ssize_t n;
        while ((n = read(fd[1], buf, sizeof(buf))) > 0) {
            out.append(buf, n);
        }
        return out;
    }
    int fd[2] = {-1, -1};
};

Buffer::Ptr bufferOf(const std::string& text) {
    auto buf = BufferRaw::create();
    buf->assign(text.data(), text.size());
    return buf;
}

// Records every report of a batch.
struct Reports {
    BufferList::SendResult callback() {
        return [this](const Buffer::Ptr& buf, bool ok) { items.emplace_back(buf->toString(), ok); };
    }
    std::vector<std::pair<std::string, bool>> items;
};

List<std::pair<Buffer::Ptr, bool>> batchOf(const std::vector<std::string>& texts) {
    List<std::pair<Buffer::Ptr, bool>> list;
    for (auto& t : texts) {
        list.emplace_back(bufferOf(t), false);
    }
    return list;
}

} // namespace

TEST(BufferSendMsgTest, ManyBuffersLeaveInOrderWithOneReportEach) {
    StreamPair pair;
    std::vector<std::string> texts;
    std::string expected;
    for (int i = 0; i < 1500; ++i) {
        texts.push_back(std::to_string(i) + ";");
        expected += texts.back();
    }
    Reports reports;
    auto batch = BufferList::create(batchOf(texts), reports.callback(), false);
    EXPECT_EQ(batch->count(), 1500u);
    EXPECT_EQ(batch->send(pair.fd[0], MSG_NOSIGNAL | MSG_DONTWAIT), static_cast<ssize_t>(expected.size()));
    EXPECT_TRUE(batch->empty());
    EXPECT_EQ(batch->count(), 0u);
    EXPECT_EQ(pair.drain(), expected);
    ASSERT_EQ(reports.items.size(), 1500u);
    for (size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(reports.items[i], std::make_pair(texts[i], true));
    }
}

TEST(BufferSendMsgTest, PartialWriteResumesInsideABufferAndDropReportsTheRest) {
    StreamPair pair(4096);
    std::string big(1 << 20, 'x');
    for (size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<char>('a' + i % 26);
    }
    Reports reports;
    auto batch = BufferList::create(batchOf({"first", "second", big, "tail"}), reports.callback(), false);
    auto n = batch->send(pair.fd[0], MSG_NOSIGNAL | MSG_DONTWAIT);
    ASSERT_GT(n, 11);
    ASSERT_LT(n, static_cast<ssize_t>(big.size()));
    EXPECT_FALSE(batch->empty());
    EXPECT_EQ(batch->count(), 2u) << "the cut buffer and the one after it";
    ASSERT_EQ(reports.items.size(), 2u);
    EXPECT_EQ(reports.items[1], std::make_pair(std::string("second"), true));

    // Full socket: nothing more goes, nothing is lost.
    EXPECT_EQ(batch->send(pair.fd[0], MSG_NOSIGNAL | MSG_DONTWAIT), -1);
    EXPECT_EQ(errno, EAGAIN);

    // Drain and resume until the whole stream is through, in order.
    std::string received;
    for (int round = 0; round < 100000 && !batch->empty(); ++round) {
        received += pair.drain();
        batch->send(pair.fd[0], MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    received += pair.drain();
    EXPECT_EQ(received, "firstsecond" + big + "tail");
    EXPECT_EQ(reports.items.size(), 4u);

    // A batch dropped part-way reports what it still holds with false, in order.
    Reports dropped;
    StreamPair small(4096);
    {
        auto partial = BufferList::create(batchOf({big, "x", "y"}), dropped.callback(), false);
        partial->send(small.fd[0], MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    ASSERT_EQ(dropped.items.size(), 3u);
    EXPECT_FALSE(dropped.items[0].second);
    EXPECT_EQ(dropped.items[2], std::make_pair(std::string("y"), false));
}

TEST(BufferSendMMsgTest, EachBufferIsOneDatagramToItsOwnAddress) {
    int a = SockUtil::bindUdpSock(0, "127.0.0.1");
    int b = SockUtil::bindUdpSock(0, "127.0.0.1");
    int sender = SockUtil::bindUdpSock(0, "127.0.0.1");
    ASSERT_NE(a, -1);
    ASSERT_NE(b, -1);
    auto addr_a = SockUtil::make_sockaddr("127.0.0.1", SockUtil::get_local_port(a));
    auto addr_b = SockUtil::make_sockaddr("127.0.0.1", SockUtil::get_local_port(b));
    // The sender's default destination is a.
    ASSERT_EQ(connect(sender, reinterpret_cast<sockaddr*>(&addr_a), sizeof(sockaddr_in)), 0);

    List<std::pair<Buffer::Ptr, bool>> list;
    list.emplace_back(bufferOf("to-a-1"), false);
    list.emplace_back(std::make_shared<BufferSock>(bufferOf("to-b"), reinterpret_cast<sockaddr*>(&addr_b)), true);
    list.emplace_back(bufferOf("to-a-2"), false);
    Reports reports;
    auto batch = BufferList::create(std::move(list), reports.callback(), true);
    EXPECT_EQ(batch->send(sender, MSG_NOSIGNAL | MSG_DONTWAIT), 16);
    EXPECT_TRUE(batch->empty());
    EXPECT_EQ(reports.items.size(), 3u);

    auto recvOne = [](int fd) {
        char buf[64];
        for (int i = 0; i < 1000; ++i) {
            auto n = recv(fd, buf, sizeof(buf), 0);
            if (n >= 0) {
                return std::string(buf, n);
            }
            usleep(1000);
        }
        return std::string("<none>");
    };
    EXPECT_EQ(recvOne(a), "to-a-1");
    EXPECT_EQ(recvOne(a), "to-a-2");
    EXPECT_EQ(recvOne(b), "to-b");
    close(a);
    close(b);
    close(sender);
}
