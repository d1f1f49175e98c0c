#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "Network/Socket.h"
#include "poller_test_support.h"
#include "test_socket_support.h"

using namespace toolkit;
using namespace poller_test;
using namespace socket_test;
using namespace std::chrono_literals;

// The peers here are made with their locks on, so that the test thread may
// send on them directly, as any thread may on such a socket.

TEST(SocketSend, EmptySendQueuesNothingAndBinaryDataKeepsItsLength) {
    auto poller = startPoller();
    Acceptor acceptor(poller, nullptr, true);
    RawClient client(acceptor.port());
    auto peer = acceptor.peer();
    ASSERT_TRUE(peer);

    const char binary[] = {'\x01', '\0', '\x02', '\0', '\x03'};
    EXPECT_EQ(peer->send(binary, 0), 0);
    EXPECT_EQ(peer->send(Buffer::Ptr()), 0);
    EXPECT_EQ(peer->send(BufferRaw::create()), 0);
    EXPECT_EQ(peer->getSendBufferCount(), 0u);
    EXPECT_EQ(peer->send(binary, sizeof(binary)), static_cast<ssize_t>(sizeof(binary)));
    EXPECT_EQ(client.readBytes(sizeof(binary)), std::string(binary, sizeof(binary)));
}

TEST(SocketSend, QueuedBuffersLeaveAsOneOrderedBatch) {
    auto poller = startPoller();
    Acceptor acceptor(poller, nullptr, true);
    RawClient client(acceptor.port());
    auto peer = acceptor.peer();
    ASSERT_TRUE(peer);
    // On the poller thread, so that no writable event flushes in between.
    runOn(poller, [&]() {
        for (auto part : {"abc", "def", "ghi"}) {
            EXPECT_EQ(peer->send(part, 3, nullptr, 0, false), 3);
        }
        EXPECT_EQ(peer->getSendBufferCount(), 3u);
        EXPECT_EQ(peer->flushAll(), 0);
        EXPECT_EQ(peer->getSendBufferCount(), 0u);
    });
    EXPECT_EQ(client.readBytes(9), "abcdefghi");
}

// 16 MiB to a peer that reads only later: the send returns at once, the rest
// leaves on writable events, everything arrives in order, and the flush
// callback runs once.
TEST(SocketSend, LargeSendToALateReaderArrivesWholeWithOneFlush) {
    auto poller = startPoller();
    std::atomic<int> flushes{0};
    std::atomic<int> errors{0};
    Acceptor acceptor(poller, [&](const Socket::Ptr& peer) {
        peer->setOnFlush([&]() {
            ++flushes;
            return true;
        });
        peer->setOnErr([&](const SockException&) { ++errors; });
    }, true);
    RawClient client(acceptor.port());
    auto peer = acceptor.peer();
    ASSERT_TRUE(peer);

    const size_t size = 16 * 1024 * 1024;
    auto data = pattern(size, 7);
    auto buf = BufferRaw::create();
    buf->assign(data.data(), data.size());
    EXPECT_EQ(peer->send(buf), static_cast<ssize_t>(size));
    EXPECT_TRUE(peer->isSocketBusy()) << "16 MiB cannot fit the kernel buffers";
    EXPECT_EQ(flushes, 0);

    std::this_thread::sleep_for(100ms);
    auto received = client.readBytes(size);
    ASSERT_EQ(received.size(), size);
    EXPECT_TRUE(received == data) << "data corrupted or reordered";
    ASSERT_TRUE(waitUntil([&]() { return flushes > 0; }));
    runOn(poller, []() {});
    EXPECT_EQ(flushes, 1);
    EXPECT_EQ(errors, 0);
    EXPECT_FALSE(peer->isSocketBusy());
}

TEST(SocketSend, BlockedLongerThanTheTimeOutFailsTheNextSend) {
    auto poller = startPoller();
    Trace trace;
    Acceptor acceptor(poller, [&](const Socket::Ptr& peer) {
        peer->setOnErr([&](const SockException& err) {
            trace.add(std::to_string(err.getErrCode()) + " " + err.what());
        });
    }, true);
    RawClient client(acceptor.port());
    auto peer = acceptor.peer();
    ASSERT_TRUE(peer);
    peer->setSendTimeOutSecond(1);

    EXPECT_EQ(peer->send(pattern(16 * 1024 * 1024)), 16 * 1024 * 1024);
    ASSERT_TRUE(peer->isSocketBusy());
    // Within the limit the data simply waits.
    EXPECT_EQ(peer->send("more", 4), 4);
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(peer->send("late", 4), -1);
    ASSERT_TRUE(waitUntil([&]() { return !trace.labels().empty(); }));
    EXPECT_EQ(trace.labels(), (std::vector<std::string>{"255 socket send timeout"}));
    EXPECT_EQ(peer->send("after", 5), -1);
    EXPECT_EQ(peer->rawFD(), -1);
}

// Several threads send numbered records at once while the reader drains:
// every record arrives, each thread's in its order, even across the moments
// when the socket turns from blocked to writable.
TEST(SocketSend, ConcurrentSendersLoseNothing) {
    auto poller = startPoller();
    Acceptor acceptor(poller, nullptr, true);
    RawClient client(acceptor.port());
    auto peer = acceptor.peer();
    ASSERT_TRUE(peer);

    const int threads = 4;
    const int records = 3000;
    const size_t record_size = 1024;
    std::vector<std::thread> senders;
    std::atomic<int> failures{0};
    for (int t = 0; t < threads; ++t) {
        senders.emplace_back([&, t]() {
            std::string record(record_size, static_cast<char>('A' + t));
            for (int i = 0; i < records; ++i) {
                memcpy(&record[1], &i, sizeof(i));
                if (peer->send(record.data(), record.size()) != static_cast<ssize_t>(record_size)) {
                    ++failures;
                }
            }
        });
    }
    auto received = client.readBytes(threads * records * record_size);
    for (auto& s : senders) {
        s.join();
    }
    EXPECT_EQ(failures, 0);
    ASSERT_EQ(received.size(), threads * records * record_size) << "records lost";
    std::vector<int> next(threads, 0);
    for (size_t off = 0; off < received.size(); off += record_size) {
        int t = received[off] - 'A';
        ASSERT_TRUE(t >= 0 && t < threads);
        int seq;
        memcpy(&seq, &received[off + 1], sizeof(seq));
        ASSERT_EQ(seq, next[t]) << "thread " << t;
        ++next[t];
    }
}
