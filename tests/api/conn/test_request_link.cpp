#include <gtest/gtest.h>

#include <string>

#include "conn_test_env.h"

using namespace conn_test;

namespace {

DataPack requestFor(unsigned int id) {
    DataPack req;
    req.set_code(static_cast<int>(id));
    return req;
}

// The code field alone, followed by `tail`.
std::string codeThen(unsigned int code, const std::string& tail) {
    return requestFor(code).SerializeAsString() + tail;
}

} // namespace

TEST_F(UiLink, RequestReachesItsHandlerAndIsAnsweredInALengthPrefixedFrame) {
    LinkClient app(requestPort());
    ASSERT_TRUE(app.connected());

    DataPack req = requestFor(kEchoId);
    insertStr(*req.mutable_data(), 2, "hello");
    ASSERT_TRUE(app.sendRaw(req.SerializeAsString()));
    std::string prefix, body;
    ASSERT_TRUE(app.readFrame(body, &prefix));
    const char expected_prefix[4] = {static_cast<char>(body.size() & 0xFF), static_cast<char>(body.size() >> 8), 0, 0};
    EXPECT_EQ(prefix, std::string(expected_prefix, 4));
    DataPack reply;
    ASSERT_TRUE(reply.ParseFromString(body));
    EXPECT_EQ(reply.code(), static_cast<int>(kEchoId));
    EXPECT_EQ(reply.stat(), 0);
    ASSERT_EQ(reply.data().size(), 2u);
    EXPECT_EQ(reply.data().at(1).u32val(), 0u);  // the UI link is source 0
    EXPECT_EQ(reply.data().at(2).strval(), "hello");

    // A failing handler: its result as stat, what it wrote kept.
    ASSERT_TRUE(app.request(requestFor(kFailingId), reply));
    EXPECT_EQ(reply.code(), static_cast<int>(kFailingId));
    EXPECT_EQ(reply.stat(), 8);
    EXPECT_EQ(reply.data().at(1).strval(), "partial");

    // An id nobody bound: same code, nothing in data, stat 2.
    DataPack unbound = requestFor(kUnboundId);
    insertU32(*unbound.mutable_data(), 1, 7);
    ASSERT_TRUE(app.request(unbound, reply));
    EXPECT_EQ(reply.code(), static_cast<int>(kUnboundId));
    EXPECT_EQ(reply.stat(), 2);
    EXPECT_TRUE(reply.data().empty());
    EXPECT_EQ(drainErrors(), (std::vector<std::string>{"-109,\"Missing parameter\"", "-101,\"Invalid character\""}));
}

TEST_F(UiLink, UndecodableChunkRunsNoHandlerAndIsAnsweredAsAnUnboundId) {
    LinkClient app(requestPort());
    ASSERT_TRUE(app.connected());
    unsigned int calls_before = testManager().calls.load();

    // The code of a bound handler, then a field with the invalid wire type 7.
    DataPack reply;
    ASSERT_TRUE(app.sendRaw(codeThen(kCountedId, "\x0f")));
    ASSERT_TRUE(app.readPack(reply));
    EXPECT_EQ(reply.code(), static_cast<int>(kCountedId));
    EXPECT_EQ(reply.stat(), 2);
    EXPECT_TRUE(reply.data().empty());

    // A request whose text is not UTF-8 does not parse either.
    // data { key: 2, value { strVal: "\xff\xfe" } }
    ASSERT_TRUE(app.sendRaw(codeThen(kCountedId, std::string("\x12\x08\x08\x02\x12\x04\x42\x02\xff\xfe", 10))));
    ASSERT_TRUE(app.readPack(reply));
    EXPECT_EQ(reply.stat(), 2);

    // Bytes that decode to no code at all are answered under code 0.
    ASSERT_TRUE(app.sendRaw(std::string("\xff\xff\xff", 3)));
    ASSERT_TRUE(app.readPack(reply));
    EXPECT_EQ(reply.code(), 0);
    EXPECT_EQ(reply.stat(), 2);

    EXPECT_EQ(testManager().calls.load(), calls_before);
    EXPECT_EQ(beeps(), 3u);
    EXPECT_EQ(drainErrors(), std::vector<std::string>(3, "-101,\"Invalid character\""));
    EXPECT_TRUE(logged("undecodable request"));

    // The connection still serves a sound request.
    ASSERT_TRUE(app.request(requestFor(kCountedId), reply));
    EXPECT_EQ(reply.stat(), 0);
    EXPECT_EQ(testManager().calls.load(), calls_before + 1);
}

TEST_F(UiLink, ReplyUpToTheFrameLimitIsSentAndALargerOneIsAnsweredTooMuchData) {
    // The raw size whose reply body is exactly the largest a frame holds.
    auto replySize = [](uint32_t raw) {
        DataPack reply = requestFor(kSizedId);
        insertRaw(*reply.mutable_data(), 1, std::string(raw, 'x'));
        return reply.ByteSizeLong();
    };
    uint32_t raw = ConnService::kMaxFrameBody;
    while (replySize(raw) > ConnService::kMaxFrameBody) {
        --raw;
    }
    ASSERT_EQ(replySize(raw), ConnService::kMaxFrameBody);

    LinkClient app(requestPort());
    ASSERT_TRUE(app.connected());
    DataPack req = requestFor(kSizedId);
    insertU32(*req.mutable_data(), 1, raw);
    DataPack reply;
    ASSERT_TRUE(app.request(req, reply));
    EXPECT_EQ(reply.stat(), 0);
    EXPECT_EQ(reply.data().at(1).rawval().size(), raw);

    req.mutable_data()->at(1).set_u32val(raw + 1);
    ASSERT_TRUE(app.request(req, reply));
    EXPECT_EQ(reply.code(), static_cast<int>(kSizedId));
    EXPECT_EQ(reply.stat(), 57);
    EXPECT_TRUE(reply.data().empty());
    EXPECT_TRUE(logged("exceeds the frame limit"));
}
