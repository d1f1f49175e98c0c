// Bulk-OUT bytes to messages, without I/O: each case feeds frames in the
// sizes the transport reads and compares the trace of what was found.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "UsbtmcBulkOut.h"
#include "fake_usb_host.h"

namespace {

using usb_test::FakeUsbHost;

std::string out(const std::string& data, bool eom) { return FakeUsbHost::frame(DEV_DEP_MSG_OUT, 1, data.size(), eom, data); }

// Feeds `bytes` in pieces of wanted() and traces the results.
std::string trace(const std::string& bytes, UsbtmcBulkOut&& parser = UsbtmcBulkOut()) {
    std::string t;
    size_t at = 0;
    while (at < bytes.size()) {
        size_t n = std::min(parser.wanted(), bytes.size() - at);
        EXPECT_LE(parser.wanted(), UsbtmcBulkOut::kPieceMax);
        auto r = parser.consume(reinterpret_cast<const uint8_t*>(bytes.data() + at), n);
        at += n;
        t += r.bBadHeader ? "bad;" : "";
        t += r.bOverflow ? "overflow;" : "";
        t += r.bRequest ? "request " + std::to_string(r.header.u32Size) + ";" : "";
        t += r.bMessageDone ? "message " + std::to_string(parser.message().size()) + ";" : "";
        if (r.bMessageDone && parser.message().find('\0') != std::string::npos) {
            t += "nul;";
        }
    }
    return t;
}

std::string split(const std::string& text, size_t piece) {
    std::string frames;
    for (size_t at = 0; at < text.size(); at += piece) {
        frames += out(text.substr(at, piece), at + piece >= text.size());
    }
    return frames;
}

TEST(UsbtmcBulkOut, FramesBecomeMessages) {
    std::string big(UsbtmcBulkOut::kMessageMax + 1, 'x');
    struct Case {
        const char* name;
        std::string bytes;
        std::string expected;
    } cases[] = {
        {"5000 bytes in transfers of 701, EOM on the last", split(std::string(5000, 'a'), 701), "message 5000;"},
        {"TransferSize 5: the alignment bytes stay out", out("*IDN?", true), "message 5;"},
        {"empty transfer with EOM ends the message", out("A;", false) + out("", true), "message 2;"},
        {"unknown id, then a message", FakeUsbHost::frame(126, 1, 0, 0, "") + out("B", true), "bad;message 1;"},
        {"request keeps its whole TransferSize", FakeUsbHost::frame(2, 7, 0xFFFFFFFFu, 0, ""),
         "request 4294967295;"},
        {"above 1 MiB dropped, the next message kept", out(big, true) + out("ok", true), "overflow;message 2;"},
        {"limit reached over several transfers", out(big.substr(0, 600000), false) + out(big.substr(0, 600000), true) +
                                                     out("ok", true),
         "overflow;message 2;"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(trace(c.bytes), c.expected) << c.name;
    }
}

TEST(UsbtmcBulkOut, ResetDropsAPartialMessage) {
    UsbtmcBulkOut parser;
    std::string first = out(std::string(100, 'a'), true);
    parser.consume(reinterpret_cast<const uint8_t*>(first.data()), 12);
    parser.consume(reinterpret_cast<const uint8_t*>(first.data() + 12), 40);
    EXPECT_EQ(parser.transferReceived(), 40u);
    parser.reset();
    EXPECT_EQ(parser.wanted(), USBTMC_HEADER_LEN);
    EXPECT_EQ(trace(out("fresh", true), std::move(parser)), "message 5;");
}

} // namespace
