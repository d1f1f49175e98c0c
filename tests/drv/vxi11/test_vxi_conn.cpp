// A connection's time bounds on the test's own clock: a record that trickles
// in is bounded as a whole, not only by the silence between its bytes.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "vxi_conn.h"

namespace {

using namespace std::chrono;
using Clock = CVxiConnection::Clock;

TEST(VxiConnection, RecordFedByteByByteIsBoundAsAWhole) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
    CVxiConnection conn(fds[0], 0);  // not known to the RPC runtime: nothing is dispatched
    const Clock::time_point start = Clock::time_point{} + hours(1);
    EXPECT_EQ(conn.stallDeadline(), Clock::time_point::max());  // between records it may idle

    // A record of 200 bytes, one byte every 5 s.
    const char mark[4] = {'\x80', 0, 0, '\xC8'};
    for (int i = 0; i < 40; ++i) {
        Clock::time_point now = start + seconds(5) * i;
        ASSERT_EQ(send(fds[1], i < 4 ? &mark[i] : "x", 1, 0), 1);
        ASSERT_TRUE(conn.onReadable(now));
        auto due = std::min(now + CVxiConnection::kStallTimeout, start + CVxiConnection::kRecordTimeout);
        ASSERT_EQ(duration_cast<seconds>(conn.stallDeadline() - start).count(),
                  duration_cast<seconds>(due - start).count())
            << "after " << 5 * i << " s";
    }
    close(fds[1]);
}

}  // namespace
