// Gathering SCPI socket bytes into program messages: the split at the last
// line feed and the exact bound on bytes without one (the session tests feed
// whole messages through it).
#include <gtest/gtest.h>

#include <string>

#include "ScpiInputBuffer.h"

namespace {

std::string feed(ScpiInputBuffer& in, const std::string& bytes, bool* kept = nullptr) {
    std::string message;
    bool ok = in.append(bytes.data(), bytes.size(), message);
    if (kept != nullptr) {
        *kept = ok;
    }
    return message;
}

TEST(ScpiInputBuffer, KeepsWhatFollowsTheLastLineFeed) {
    ScpiInputBuffer in;
    EXPECT_EQ(feed(in, "*IDN?;*OPC?\n"), "*IDN?;*OPC?\n");
    EXPECT_FALSE(in.hasPending());
    EXPECT_EQ(feed(in, "*CLS\n*ES"), "*CLS\n");
    EXPECT_EQ(feed(in, "R?\n*CLS\n*STB"), "*ESR?\n*CLS\n");
    EXPECT_EQ(in.takePending(), "*STB");
    EXPECT_FALSE(in.hasPending());
}

TEST(ScpiInputBuffer, OverlongMessageIsDroppedToItsLineFeed) {
    ScpiInputBuffer in;
    std::string quarter(ScpiInputBuffer::kMaxPending / 4, 'A');
    bool kept = false;
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(feed(in, quarter, &kept), "");
        EXPECT_TRUE(kept) << "exactly the bound is still kept";
    }
    EXPECT_EQ(feed(in, "A", &kept), "");
    EXPECT_FALSE(kept);
    EXPECT_EQ(in.pendingSize(), 0u);
    // The rest of that message is skipped, the next one is served.
    EXPECT_EQ(feed(in, quarter, &kept), "");
    EXPECT_TRUE(kept);
    EXPECT_EQ(feed(in, "tail\n*IDN?\n*ES"), "*IDN?\n");
    EXPECT_EQ(in.takePending(), "*ES");
}

TEST(ScpiInputBuffer, QuietTimeEndsAnOverlongMessage) {
    ScpiInputBuffer in;
    std::string message;
    std::string big(ScpiInputBuffer::kMaxPending + 1, 'B');
    EXPECT_FALSE(in.append(big.data(), big.size(), message));
    EXPECT_TRUE(in.hasPending());
    EXPECT_EQ(in.takePending(), "");
    EXPECT_EQ(feed(in, "*RST\n"), "*RST\n");
}

} // namespace
