// Gathering SCPI socket bytes into program messages: the split at the last
// terminating line feed (not one inside a block, string or expression) and the
// exact bound on bytes without one (the session tests feed whole messages
// through it).
#include <gtest/gtest.h>

#include <string>
#include <vector>

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

// Line feeds that the parser takes as data end no message.
TEST(ScpiInputBuffer, LineFeedInsideAnElementEndsNoMessage) {
    struct Case {
        const char* first;
        const char* second;
    };
    const Case cases[] = {
        {"MMEM:DATA #15AB\nC", "DE\n"},           // block split after a line feed of its data
        {"MMEM:DATA #13ab\n", "\n"},              // the data ends in a line feed
        {"MMEM:DATA #3", "004\n\n\n\n\n"},         // split in the length digits
        {"X #12\n\n,#11\n;Y", " #11\n\n"},         // several blocks and commands
        {"SYST:X \"a\nb", "\"\n"},                // quoted string
        {"SYST:X 'it''s\n", "a'\n"},               // doubled quote
        {"SYST:X \"a\"b\nc", "\"\n"},             // a quote followed by text is text
        {"CALC:X (1\n,(2\n)", ")\n"},             // nested expression
    };
    for (const Case& c : cases) {
        ScpiInputBuffer in;
        EXPECT_EQ(feed(in, c.first), "") << c.first;
        EXPECT_EQ(feed(in, c.second), std::string(c.first) + c.second) << c.first;
        EXPECT_FALSE(in.hasPending()) << c.first;
    }
}

// Whole messages are cut exactly where the last line feed lies.
TEST(ScpiInputBuffer, WholeMessagesAreCutAtTheLastLineFeed) {
    const std::string texts[] = {
        "*IDN?\n",     "MMEM:DATA #15HELLO\n", "X #0\n",        "X #H1F,#B101\n",         "X \"a;b\",'c'\n",
        "X (1,2)\n",   "*CLS;:SYST:ERR?\n\n",  "X #1\n",        "X #10\n",                "X #2a\n",
        "X #12ab c\n", "X \"a\" b\n",          "X #12ab  ,1\n", std::string("A\0\"\nB\n", 6),
    };
    for (const std::string& text : texts) {
        ScpiInputBuffer in;
        EXPECT_EQ(feed(in, text + "*IDN?\n*ES"), text + "*IDN?\n") << text;
        EXPECT_EQ(in.takePending(), "*ES") << text;
    }
}

TEST(ScpiInputBuffer, BytesOneAtATimeEndAtTheRealTerminators) {
    const std::vector<std::string> messages = {
        "MMEM:DATA #210\n\n\n\n\n\n\n\n\n\n\n",
        "*IDN?\n",
        "SYST:X \"\n\";Y (\n)\n",
        "*OPC?\n",
    };
    ScpiInputBuffer in;
    std::vector<std::string> got;
    for (const std::string& message : messages) {
        for (char c : message) {
            std::string out = feed(in, std::string(1, c));
            if (!out.empty()) {
                got.push_back(out);
            }
        }
    }
    EXPECT_EQ(got, messages);
    EXPECT_FALSE(in.hasPending());
}

TEST(ScpiInputBuffer, IncompleteBlockWaitsForTheQuietTime) {
    ScpiInputBuffer in;
    EXPECT_EQ(feed(in, "MMEM:DATA #19AB\n"), "");
    EXPECT_TRUE(in.hasPending());
    EXPECT_EQ(in.takePending(), "MMEM:DATA #19AB\n");
    // The next message starts afresh, not inside the block.
    EXPECT_EQ(feed(in, "*IDN?\n"), "*IDN?\n");
}

TEST(ScpiInputBuffer, OverlongBlockIsDroppedToItsTerminator) {
    ScpiInputBuffer in;
    const size_t size = ScpiInputBuffer::kMaxPending + ScpiInputBuffer::kMaxPending / 2;
    std::string head = "MMEM:DATA #7" + std::to_string(size);
    std::string data(size, '\n');
    bool kept = true;
    EXPECT_EQ(feed(in, head + data.substr(0, ScpiInputBuffer::kMaxPending), &kept), "");
    EXPECT_FALSE(kept);
    // The rest of the data holds line feeds only; none of them ends the skip.
    EXPECT_EQ(feed(in, data.substr(ScpiInputBuffer::kMaxPending), &kept), "");
    EXPECT_TRUE(kept);
    EXPECT_EQ(feed(in, "\n*IDN?\n"), "*IDN?\n");
    EXPECT_FALSE(in.hasPending());
}

} // namespace
