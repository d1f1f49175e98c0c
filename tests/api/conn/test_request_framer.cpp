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

// What the framer passes on, as "request <size>" and "oversized <code>".
struct Record : RequestFramer::Sink {
    void onRequest(const char*, size_t size) override { seen.push_back("request " + std::to_string(size)); }
    void onOversized(int32_t code) override { seen.push_back("oversized " + std::to_string(code)); }
    std::vector<std::string> seen;
};

std::string request(size_t size) {
    return "request " + std::to_string(size);
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
    const std::string big = "oversized " + std::to_string(0x20000652);
    const struct {
        const char* name;
        std::string bytes;
        std::vector<std::string> passed;  // by the take
        Tail tail;
        std::string finished;  // what finishing passes on then
    } cases[] = {
        {"nothing", "", {}, Tail::Empty, ""},
        {"one request", a, {}, Tail::Fields, request(a.size())},
        {"two", a + b, {request(a.size())}, Tail::Fields, request(b.size())},
        {"after a stat", c + a + b, {request(c.size()), request(a.size())}, Tail::Fields, request(b.size())},
        // A request of code 0 begins with no code field: it joins the one before.
        {"code 0 joins", a + codeless, {}, Tail::Fields, request(a.size() + codeless.size())},
        // Which field a cut tag names is not known yet: nothing ends there.
        {"cut in a tag", a + "\xff\xff", {}, Tail::Partial, request(a.size() + 2)},
        {"cut in a text", a.substr(0, a.size() - 3), {}, Tail::Partial, request(a.size() - 3)},
        {"cut in a number", std::string("\x08\x80\x80", 3), {}, Tail::Partial, request(3)},
        // Bytes no request holds are passed on at once, all of them as one.
        {"wire type 7", b + "\x0f" + a, {request(b.size() + 1 + a.size())}, Tail::Empty, ""},
        {"field 0", std::string("\x00\x01", 2), {request(2)}, Tail::Empty, ""},
        {"number of 11 bytes", "\x08" + std::string(10, '\xff') + "\x01", {request(12)}, Tail::Empty, ""},
        {"a group", std::string("\x0b\x0c", 2), {request(2)}, Tail::Empty, ""},
        {"a field beyond the bound", b + "\x12\xe9\x07", {}, Tail::Partial, big},
        {"fields beyond the bound", b + entries, {}, Tail::Fields, big},
        // Its entries after the one that passes the bound are its own, not a
        // request of code 0: it is answered once.
        {"fields beyond the bound, then one", b + entries + a, {big}, Tail::Fields, request(a.size())},
        {"fields beyond the bound, then a bad one", b + entries + "\x0f" + a, {big}, Tail::Empty, ""},
        {"a request at the bound, then one", atBound + b, {request(atBound.size())}, Tail::Fields, request(b.size())},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RequestFramer framer(kBound);
        Record record;
        framer.take(c.bytes.data(), c.bytes.size(), record);
        EXPECT_EQ(record.seen, c.passed);
        EXPECT_EQ(static_cast<int>(framer.tail()), static_cast<int>(c.tail));
        record.seen.clear();
        framer.finish(record);
        EXPECT_EQ(record.seen, c.finished.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.finished});
        EXPECT_EQ(static_cast<int>(framer.tail()), static_cast<int>(Tail::Empty));
    }
}

// However the stream is cut into two reads, the same requests are passed on
// as from one read, and the tail in between waits for more (never invalid).
TEST(RequestFramer, EveryCutOfAStreamFramesAsTheWhole) {
    std::string entries;  // an oversized request: entries of 203 bytes
    for (int i = 0; i < 6; ++i) {
        entries += "\x12\xc8\x01" + std::string(200, 'e');
    }
    const std::string stream = pack(1, "first") + pack(0x1000F101, std::string(300, 's')) + pack(7) + entries +
                               pack(2, "", 4) + pack(3);
    RequestFramer whole(kBound);
    Record all;
    whole.take(stream.data(), stream.size(), all);
    whole.finish(all);
    ASSERT_EQ(all.seen.size(), 5u);
    EXPECT_EQ(all.seen[2], "oversized 7");
    for (size_t cut = 1; cut < stream.size(); ++cut) {
        SCOPED_TRACE(cut);
        RequestFramer framer(kBound);
        Record parts;
        framer.take(stream.data(), cut, parts);
        EXPECT_NE(static_cast<int>(framer.tail()), static_cast<int>(Tail::Empty));
        framer.take(stream.data() + cut, stream.size() - cut, parts);
        framer.finish(parts);
        EXPECT_EQ(parts.seen, all.seen);
    }
}

// Whether the request held came in the latest read, and its size so far.
TEST(RequestFramer, TheTailSaysWhetherItCameInOneRead) {
    const std::string a = pack(4, "abc"), b = pack(5, "de");
    RequestFramer framer(kBound);
    Record record;
    framer.take(a.data(), a.size(), record);
    EXPECT_TRUE(framer.tailIsFresh());
    EXPECT_EQ(framer.tailSize(), a.size());
    framer.take(b.data(), 4, record);  // ends a, begins b
    EXPECT_TRUE(framer.tailIsFresh());
    framer.take(b.data() + 4, b.size() - 4, record);
    EXPECT_FALSE(framer.tailIsFresh());
    EXPECT_EQ(framer.tailSize(), b.size());
    EXPECT_EQ(record.seen, std::vector<std::string>{request(a.size())});
}

TEST(RequestFramer, LeadingCodeIsReadWhenTheBytesBeginWithIt) {
    EXPECT_EQ(RequestFramer::leadingCode(pack(0x1000F101).data(), 6), 0x1000F101);
    const std::string negative = pack(-5);
    EXPECT_EQ(RequestFramer::leadingCode(negative.data(), negative.size()), -5);
    const std::string codeless = pack(0, "t");
    EXPECT_EQ(RequestFramer::leadingCode(codeless.data(), codeless.size()), 0);
    EXPECT_EQ(RequestFramer::leadingCode("\x08\x80", 2), 0);
}
