#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "CFEM.h"
#include "RequestFramer.h"
#include "proto_data.pb.h"

using Tail = RequestFramer::Tail;

namespace {

constexpr size_t kBound = 1000;

std::string pack(int code, const std::string& text = "", int stat = 0) {
    DataPack p;
    p.set_code(code);
    if (!text.empty()) {
        insertStr(*p.mutable_data(), 2, text.c_str());
        insertU32(*p.mutable_data(), 7, 7);
    }
    p.set_stat(stat);
    return p.SerializeAsString();
}

} // namespace

TEST(RequestFramer, RequestsEndWhereTheNextBeginsAndTheTailSaysWhatItIs) {
    const std::string a = pack(0x10000652, "10"), b = pack(0x20000652), c = pack(5, "x", 3);
    const std::string codeless = pack(0, "y");
    std::string entries;  // six `data` fields of 203 bytes each
    for (int i = 0; i < 6; ++i) {
        entries += "\x12\xc8\x01" + std::string(200, 'e');
    }
    // 998 bytes: within the bound.
    std::string atBound = pack(9) + "\x12\xe1\x07" + std::string(993, 'w');
    const struct {
        const char* name;
        std::string bytes;
        std::vector<size_t> ends;
        Tail tail;
        uint64_t oversizedEnd;
    } cases[] = {
        {"nothing", "", {}, Tail::Empty, 0},
        {"one request", a, {}, Tail::Fields, 0},
        {"after a stat", c + a + b, {c.size(), c.size() + a.size()}, Tail::Fields, 0},
        // A request of code 0 begins with no code field: it joins the one before.
        {"code 0 joins", a + codeless, {}, Tail::Fields, 0},
        // Which field a cut tag names is not known yet: nothing ends there.
        {"cut in a tag", a + "\xff\xff", {}, Tail::Partial, 0},
        {"cut in a text", a.substr(0, a.size() - 3), {}, Tail::Partial, 0},
        {"cut in a number", std::string("\x08\x80\x80", 3), {}, Tail::Partial, 0},
        {"wire type 7", b + "\x0f", {}, Tail::Invalid, 0},
        {"field 0", std::string("\x00\x01", 2), {}, Tail::Invalid, 0},
        {"number of 11 bytes", "\x08" + std::string(10, '\xff') + "\x01", {}, Tail::Invalid, 0},
        {"a group", std::string("\x0b\x0c", 2), {}, Tail::Invalid, 0},
        {"a field beyond the bound", b + "\x12\xe9\x07", {}, Tail::Oversized, b.size() + 3 + 1001},
        {"fields beyond the bound", b + entries, {}, Tail::Oversized, b.size() + 5 * 203},
        {"a request at the bound, then one", atBound + b, {atBound.size()}, Tail::Fields, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto r = RequestFramer::scan(c.bytes.data(), c.bytes.size(), kBound);
        EXPECT_EQ(r.ends, c.ends);
        EXPECT_EQ(static_cast<int>(r.tail), static_cast<int>(c.tail));
        if (c.tail == Tail::Oversized) {
            EXPECT_EQ(r.oversizedEnd, c.oversizedEnd);
        }
    }
}

// However the stream is cut, the bytes so far frame as a prefix of the whole:
// the requests ended so far, and a tail that waits for more (never invalid).
TEST(RequestFramer, EveryCutOfAStreamFramesAsItsPrefix) {
    const std::string stream = pack(1, "first") + pack(0x1000F101, std::string(300, 's')) + pack(2, "", 4) + pack(3);
    const auto whole = RequestFramer::scan(stream.data(), stream.size(), kBound);
    ASSERT_EQ(whole.ends.size(), 3u);
    ASSERT_EQ(static_cast<int>(whole.tail), static_cast<int>(Tail::Fields));
    for (size_t cut = 1; cut < stream.size(); ++cut) {
        SCOPED_TRACE(cut);
        const auto part = RequestFramer::scan(stream.data(), cut, kBound);
        ASSERT_LE(part.ends.size(), whole.ends.size());
        EXPECT_TRUE(std::equal(part.ends.begin(), part.ends.end(), whole.ends.begin()));
        EXPECT_TRUE(part.tail == Tail::Fields || part.tail == Tail::Partial);
    }
}

TEST(RequestFramer, LeadingCodeIsReadWhenTheBytesBeginWithIt) {
    EXPECT_EQ(RequestFramer::leadingCode(pack(0x1000F101).data(), 6), 0x1000F101);
    const std::string negative = pack(-5);
    EXPECT_EQ(RequestFramer::leadingCode(negative.data(), negative.size()), -5);
    const std::string codeless = pack(0, "t");
    EXPECT_EQ(RequestFramer::leadingCode(codeless.data(), codeless.size()), 0);
    EXPECT_EQ(RequestFramer::leadingCode("\x08\x80", 2), 0);
}
