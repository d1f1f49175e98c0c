// Gathering SCPI socket bytes into program messages: one message per
// terminating line feed (not one inside a block; one inside an unclosed string
// or expression does end it) and the exact bound on bytes without one.
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

// Pieces fed in turn with the messages each completes, then what the quiet
// time takes (nullptr: nothing pending); the next message always starts afresh.
TEST(ScpiInputBuffer, PiecesEndAtTheirTerminatingLineFeeds) {
    struct Step {
        std::string bytes;
        Messages out;
    };
    const struct {
        std::vector<Step> steps;
        const char* pending;
    } cases[] = {
        {{{"*IDN?;*OPC?\n", {"*IDN?;*OPC?\n"}}, {"*CLS\n*ES", {"*CLS\n"}}, {"R?\n*CLS\n*STB", {"*ESR?\n", "*CLS\n"}}},
         "*STB"},
        // Line feeds inside block data end no message.
        {{{"MMEM:DATA #15AB\nC", {}}, {"DE\n", {"MMEM:DATA #15AB\nCDE\n"}}}, nullptr},
        {{{"MMEM:DATA #13ab\n", {}}, {"\n", {"MMEM:DATA #13ab\n\n"}}}, nullptr},
        {{{"MMEM:DATA #3", {}}, {"004\n\n\n\n\n", {"MMEM:DATA #3004\n\n\n\n\n"}}}, nullptr},
        {{{"X #12\n\n,#11\n;Y", {}}, {" #11\n\n", {"X #12\n\n,#11\n;Y #11\n\n"}}}, nullptr},
        // An incomplete block waits for the quiet time.
        {{{"MMEM:DATA #19AB\n", {}}}, "MMEM:DATA #19AB\n"},
    };
    for (const auto& c : cases) {
        ScpiInputBuffer in;
        for (const Step& step : c.steps) {
            EXPECT_EQ(feed(in, step.bytes), step.out) << step.bytes;
        }
        EXPECT_EQ(in.hasPending(), c.pending != nullptr) << c.steps.front().bytes;
        if (c.pending != nullptr) {
            EXPECT_EQ(in.takePending(), c.pending);
        }
        EXPECT_EQ(feed(in, "*IDN?\n"), Messages{"*IDN?\n"}) << c.steps.front().bytes;
    }
}

// Every other line feed ends its message, also inside an unclosed string or
// expression; a quote or parenthesis closed before it changes nothing. Fed
// whole and byte by byte.
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
        {"MMEM:DATA #210\n\n\n\n\n\n\n\n\n\n\n", "*IDN?\n", "SYST:X \"a\";Y (\"b\")\n", "*OPC?\n"},
    };
    for (const Messages& messages : cases) {
        std::string bytes;
        for (const std::string& message : messages) {
            bytes += message;
        }
        ScpiInputBuffer whole, single;
        EXPECT_EQ(feed(whole, bytes + "*ES"), messages) << bytes;
        EXPECT_EQ(whole.takePending(), "*ES") << bytes;
        Messages got;
        for (char c : bytes) {
            for (std::string& out : feed(single, std::string(1, c))) {
                got.push_back(out);
            }
        }
        EXPECT_EQ(got, messages) << bytes;
        EXPECT_FALSE(single.hasPending()) << bytes;
    }
}

TEST(ScpiInputBuffer, OverlongMessageIsDroppedToItsLineFeedOrTheQuietTime) {
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

    EXPECT_TRUE(feed(in, std::string(ScpiInputBuffer::kMaxPending + 1, 'B'), &kept).empty());
    EXPECT_FALSE(kept);
    EXPECT_TRUE(in.hasPending());
    EXPECT_EQ(in.takePending(), "");
    EXPECT_EQ(feed(in, "*RST\n"), Messages{"*RST\n"});
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
