// Gathering SCPI socket bytes into program messages: one message per
// terminating line feed (not one inside a block; one inside an unclosed string
// or expression does end it) and the exact bound on bytes without one (the
// session tests feed whole messages through it).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ScpiInputBuffer.h"

namespace {

using Messages = std::vector<std::string>;

Messages feed(ScpiInputBuffer& in, const std::string& bytes, bool* kept = nullptr) {
    Messages messages;
    bool ok = in.append(bytes.data(), bytes.size(), messages);
    if (kept != nullptr) {
        *kept = ok;
    }
    return messages;
}

TEST(ScpiInputBuffer, EachMessageByItselfTheRestWaits) {
    ScpiInputBuffer in;
    EXPECT_EQ(feed(in, "*IDN?;*OPC?\n"), Messages{"*IDN?;*OPC?\n"});
    EXPECT_FALSE(in.hasPending());
    EXPECT_EQ(feed(in, "*CLS\n*ES"), Messages{"*CLS\n"});
    EXPECT_EQ(feed(in, "R?\n*CLS\n*STB"), (Messages{"*ESR?\n", "*CLS\n"}));
    EXPECT_EQ(in.takePending(), "*STB");
    EXPECT_FALSE(in.hasPending());
}

TEST(ScpiInputBuffer, OverlongMessageIsDroppedToItsLineFeed) {
    ScpiInputBuffer in;
    std::string quarter(ScpiInputBuffer::kMaxPending / 4, 'A');
    bool kept = false;
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(feed(in, quarter, &kept).empty());
        EXPECT_TRUE(kept) << "exactly the bound is still kept";
    }
    EXPECT_TRUE(feed(in, "A", &kept).empty());
    EXPECT_FALSE(kept);
    EXPECT_EQ(in.pendingSize(), 0u);
    // The rest of that message is skipped, the next one is served.
    EXPECT_TRUE(feed(in, quarter, &kept).empty());
    EXPECT_TRUE(kept);
    EXPECT_EQ(feed(in, "tail\n*IDN?\n*ES"), Messages{"*IDN?\n"});
    EXPECT_EQ(in.takePending(), "*ES");
}

TEST(ScpiInputBuffer, QuietTimeEndsAnOverlongMessage) {
    ScpiInputBuffer in;
    Messages messages;
    std::string big(ScpiInputBuffer::kMaxPending + 1, 'B');
    EXPECT_FALSE(in.append(big.data(), big.size(), messages));
    EXPECT_TRUE(in.hasPending());
    EXPECT_EQ(in.takePending(), "");
    EXPECT_EQ(feed(in, "*RST\n"), Messages{"*RST\n"});
}

// Line feeds inside block data end no message.
TEST(ScpiInputBuffer, LineFeedInsideABlockEndsNoMessage) {
    struct Case {
        const char* first;
        const char* second;
    };
    const Case cases[] = {
        {"MMEM:DATA #15AB\nC", "DE\n"},    // block split after a line feed of its data
        {"MMEM:DATA #13ab\n", "\n"},       // the data ends in a line feed
        {"MMEM:DATA #3", "004\n\n\n\n\n"},  // split in the length digits
        {"X #12\n\n,#11\n;Y", " #11\n\n"},  // several blocks and commands
    };
    for (const Case& c : cases) {
        ScpiInputBuffer in;
        EXPECT_TRUE(feed(in, c.first).empty()) << c.first;
        EXPECT_EQ(feed(in, c.second), Messages{std::string(c.first) + c.second}) << c.first;
        EXPECT_FALSE(in.hasPending()) << c.first;
    }
}

// Every other line feed ends its message, also inside an unclosed string or
// expression; a quote or parenthesis closed before it changes nothing.
TEST(ScpiInputBuffer, MessagesAreCutAtEachTerminatingLineFeed) {
    const Messages cases[] = {
        {"*ESE?\n", "*SRE?\n"},
        {"SYST:X \"lab\n", "*IDN?\n"},
        {"SYST:X 'it''s\n", "a'\n"},
        {"CALC:X (1,(2\n", ")\n"},
        {"X \"a;b\",'c'\n", "Y (1,2)\n"},
        {"MMEM:DATA #15HELLO\n", "X #H1F,#B101\n"},
        {"*CLS;:SYST:ERR?\n", "\n"},
        {"X #10\n", "X #2a\n", "X #12ab c\n", "X #12ab  ,1\n", "X \"a\" b\n"},
        {std::string("A\0\"\n", 4), "B\n"},
    };
    for (const Messages& messages : cases) {
        std::string bytes;
        for (const std::string& message : messages) {
            bytes += message;
        }
        ScpiInputBuffer in;
        EXPECT_EQ(feed(in, bytes + "*ES"), messages) << bytes;
        EXPECT_EQ(in.takePending(), "*ES") << bytes;
    }
}

TEST(ScpiInputBuffer, BytesOneAtATimeEndAtTheRealTerminators) {
    const std::vector<std::string> messages = {
        "MMEM:DATA #210\n\n\n\n\n\n\n\n\n\n\n",
        "*IDN?\n",
        "SYST:X \"a\";Y (\"b\")\n",
        "*OPC?\n",
    };
    ScpiInputBuffer in;
    Messages got;
    for (const std::string& message : messages) {
        for (char c : message) {
            for (std::string& out : feed(in, std::string(1, c))) {
                got.push_back(out);
            }
        }
    }
    EXPECT_EQ(got, messages);
    EXPECT_FALSE(in.hasPending());
}

TEST(ScpiInputBuffer, IncompleteBlockWaitsForTheQuietTime) {
    ScpiInputBuffer in;
    EXPECT_TRUE(feed(in, "MMEM:DATA #19AB\n").empty());
    EXPECT_TRUE(in.hasPending());
    EXPECT_EQ(in.takePending(), "MMEM:DATA #19AB\n");
    // The next message starts afresh, not inside the block.
    EXPECT_EQ(feed(in, "*IDN?\n"), Messages{"*IDN?\n"});
}

// A block the buffer could never hold is handed on (for the parser to refuse)
// at its last length digit; the next line feed starts a new message.
TEST(ScpiInputBuffer, BlockAboveTheBoundIsRefusedAtOnce) {
    const std::string length = std::to_string(ScpiInputBuffer::kMaxPending + 1);
    const std::string head = "X #" + std::to_string(length.size()) + length;
    for (size_t cut : {head.size() - 1, head.size(), head.size() + 3}) {
        ScpiInputBuffer in;
        std::string bytes = head + "DATA\n*IDN?\n";
        EXPECT_EQ(feed(in, bytes.substr(0, cut)), cut < head.size() ? Messages{} : Messages{head}) << cut;
        EXPECT_EQ(feed(in, bytes.substr(cut)), cut < head.size() ? (Messages{head, "*IDN?\n"}) : Messages{"*IDN?\n"})
            << cut;
        EXPECT_FALSE(in.hasPending()) << cut;
    }
}

} // namespace
