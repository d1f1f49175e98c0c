#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "../../toolkit/test_socket_support.h"
#include "ScpiReplyBudget.h"
#include "conn_test_env.h"

using namespace conn_test;

namespace {

DataPack requestFor(unsigned int id) {
    DataPack req;
    req.set_code(static_cast<int>(id));
    return req;
}

std::string echoRequest(const char* text) {
    DataPack req = requestFor(kEchoId);
    insertStr(*req.mutable_data(), 2, text);
    return req.SerializeAsString();
}

// The code field alone, followed by `tail`.
std::string codeThen(unsigned int code, const std::string& tail) {
    return requestFor(code).SerializeAsString() + tail;
}

const char kInvalid[] = "-101,\"Invalid character\"";

// One `data` entry of `size` raw bytes under `key`, as it stands on the wire.
std::string entry(unsigned int key, size_t size) {
    DataPack pack;
    insertRaw(*pack.mutable_data(), key, std::string(size, 'e'));
    return pack.SerializeAsString();
}

} // namespace

// Every request is answered under its code with the handler's result as stat
// and what it wrote kept. An unbound id, and bytes that do not decode (a bad
// wire type, a text that is not UTF-8, no code at all), run no handler, are
// answered with stat 2 and an empty map, beep and queue -101.
TEST_F(UiLink, EachRequestIsAnsweredInALengthPrefixedFrame) {
    DataPack unbound = requestFor(kUnboundId);
    insertU32(*unbound.mutable_data(), 1, 7);
    const struct {
        const char* name;
        std::string bytes;
        int code, stat;
        size_t keys;
        std::vector<std::string> errors;
    } cases[] = {
        {"echo", echoRequest("hello"), static_cast<int>(kEchoId), 0, 2, {}},
        {"failing handler", requestFor(kFailingId).SerializeAsString(), static_cast<int>(kFailingId), 8, 1,
         {"-109,\"Missing parameter\""}},
        {"unbound id", unbound.SerializeAsString(), static_cast<int>(kUnboundId), 2, 0, {kInvalid}},
        {"wire type 7", codeThen(kCountedId, "\x0f"), static_cast<int>(kCountedId), 2, 0, {kInvalid}},
        // data { key: 2, value { strVal: "\xff\xfe" } }
        {"text not UTF-8", codeThen(kCountedId, std::string("\x12\x08\x08\x02\x12\x04\x42\x02\xff\xfe", 10)),
         static_cast<int>(kCountedId), 2, 0, {kInvalid}},
        {"no code", std::string("\xff\xff\xff", 3), 0, 2, 0, {kInvalid}},
        {"sound request after", requestFor(kCountedId).SerializeAsString(), static_cast<int>(kCountedId), 0, 0, {}},
    };
    LinkClient app(requestPort());
    ASSERT_TRUE(app.connected());
    const unsigned int calls_before = testManager().calls.load();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const unsigned long beeps_before = beeps();
        ASSERT_TRUE(app.sendAll(c.bytes));
        std::string prefix, body;
        ASSERT_TRUE(app.readFrame(body, &prefix));
        const char length[4] = {static_cast<char>(body.size() & 0xFF), static_cast<char>(body.size() >> 8), 0, 0};
        EXPECT_EQ(prefix, std::string(length, 4));
        DataPack reply;
        ASSERT_TRUE(reply.ParseFromString(body));
        EXPECT_EQ(reply.code(), c.code);
        EXPECT_EQ(reply.stat(), c.stat);
        EXPECT_EQ(reply.data().size(), c.keys);
        EXPECT_EQ(drainErrors(), c.errors);
        EXPECT_EQ(beeps() - beeps_before, c.errors.size());
        if (c.code == static_cast<int>(kEchoId)) {
            EXPECT_EQ(reply.data().at(1).u32val(), 0u);  // the UI link is source 0
            EXPECT_EQ(reply.data().at(2).strval(), "hello");
        } else if (c.code == static_cast<int>(kFailingId)) {
            EXPECT_EQ(reply.data().at(1).strval(), "partial");
        }
    }
    EXPECT_EQ(testManager().calls.load(), calls_before + 1) << "only the sound request ran its handler";
    EXPECT_TRUE(logged("undecodable request"));
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

// A client that asks and never reads is dropped once a reply would leave more
// than its bound waiting (the spent budget's share while other clients hold
// the service's budget; its first reply waiting always goes): its further
// requests do not run, its replies leave the budget, and another client is
// served meanwhile.
TEST_F(UiLink, AClientThatNeverReadsIsDroppedAndItsRepliesLeaveTheBudget) {
    constexpr unsigned int kRequests = 200;
    const struct {
        const char* name;
        bool spent;  // other clients hold the service's budget
        uint32_t size;
    } cases[] = {
        {"replies of 1 MiB", false, 1u << 20},
        {"replies of 100 KiB, the budget spent", true, 100u << 10},
    };
    ScpiReplyBudget& budget = ScpiReplyBudget::instance();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const uint64_t before = budget.held();
        if (c.spent) {
            budget.hold(ScpiReplyBudget::kTotal + 1);
        }
        const unsigned int ranBefore = testManager().sized.load();
        LinkClient silent(requestPort());
        ASSERT_TRUE(silent.connected());
        DataPack req = requestFor(kSizedId);
        insertU32(*req.mutable_data(), 1, c.size);
        std::string requests;
        for (unsigned int i = 0; i < kRequests; ++i) {
            requests += req.SerializeAsString();
        }
        ASSERT_TRUE(silent.sendAll(requests));
        LinkClient other(requestPort());
        DataPack reply;
        ASSERT_TRUE(other.request(requestFor(kCountedId), reply));
        EXPECT_EQ(reply.stat(), 0);
        const std::string dropped = "UI client 127.0.0.1:" + std::to_string(silent.localPort()) + " dropped";
        EXPECT_TRUE(eventually([&] { return logged(dropped); }));
        EXPECT_TRUE(silent.waitClosed());
        EXPECT_LT(testManager().sized.load() - ranBefore, kRequests);
        if (c.spent) {
            budget.release(ScpiReplyBudget::kTotal + 1);
        }
        EXPECT_TRUE(eventually([&] { return budget.held() == before; }));
    }
}

// The request port carries no length prefix: a request is whatever the bytes
// parse as, across and within reads (one read takes 256 KiB).
TEST_F(UiLink, RequestsAreFramedByTheirFieldsAcrossAndWithinReads) {
    const std::string big(1 << 20, 'b');
    const std::string huge(ConnService::kMaxFrameBody + 1, 'h');
    const struct {
        const char* name;
        std::string bytes;
        std::vector<std::pair<int, std::string>> replies;  // stat and echoed text, in order
    } cases[] = {
        {"two in one write", echoRequest("one") + echoRequest("two"), {{0, "one"}, {0, "two"}}},
        {"three, the middle one failing",
         echoRequest("a") + requestFor(kFailingId).SerializeAsString() + echoRequest("c"),
         {{0, "a"}, {8, ""}, {0, "c"}}},
        {"one of 1 MiB", echoRequest(big.c_str()), {{0, big}}},
        {"one above the frame limit, then one", echoRequest(huge.c_str()) + echoRequest("after"),
         {{57, ""}, {0, "after"}}},
        // The entries after the one that passes the limit still belong to it.
        {"one above the frame limit in entries, then one",
         codeThen(kEchoId, [] {
             std::string entries;
             for (int i = 0; i < 100; ++i) {
                 entries += entry(3, 64 * 1024);
             }
             return entries;
         }()) + echoRequest("after"),
         {{57, ""}, {0, "after"}}},
    };
    LinkClient app(requestPort());
    ASSERT_TRUE(app.connected());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::thread writer([&] { EXPECT_TRUE(app.sendAll(c.bytes)); });
        for (const auto& expected : c.replies) {
            DataPack reply;
            if (!app.readPack(reply)) {
                ADD_FAILURE() << "no reply";
                break;
            }
            EXPECT_EQ(reply.stat(), expected.first);
            if (expected.first == 0) {
                EXPECT_EQ(reply.data().count(2) != 0 ? reply.data().at(2).strval() : "<none>", expected.second);
            }
        }
        writer.join();
        drainErrors();
    }
}

// Reads handed to a session one right after the other, as when the app's
// writes arrive in pieces: a large request gathered from several reads, the
// latest ending between two entries, waits for the rest instead of being
// answered cut in two.
TEST_F(UiLink, ARequestArrivingInPiecesIsAnsweredOnceWhole) {
    const std::string head = codeThen(kEchoId, entry(3, 8 * 1024));
    const std::string small = echoRequest("one"), smaller = echoRequest("two");
    DataPack tail;
    insertStr(*tail.mutable_data(), 2, "whole");
    const struct {
        const char* name;
        std::vector<std::string> reads;
        std::vector<std::pair<int, std::string>> replies;  // code and echoed text, in order
    } cases[] = {
        {"large, a read ending between entries",
         {head.substr(0, 4096), head.substr(4096), tail.SerializeAsString()},
         {{kEchoId, "whole"}}},
        {"large, in one read", {head + tail.SerializeAsString()}, {{kEchoId, "whole"}}},
        {"two small ones, a read each", {small, smaller}, {{kEchoId, "one"}, {kEchoId, "two"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        socket_test::Acceptor acceptor(socket_test::poolPollers().front());
        LinkClient app(acceptor.port());
        ASSERT_TRUE(app.connected());
        auto peer = acceptor.peer();
        ASSERT_TRUE(peer);
        auto session = std::make_shared<ConnService::ProtoSession>(peer);
        poller_test::runOn(peer->getPoller(), [&] {
            for (const auto& bytes : c.reads) {
                auto buf = toolkit::BufferRaw::create();
                buf->assign(bytes.data(), bytes.size());
                session->onRecv(buf);
            }
        });
        for (const auto& expected : c.replies) {
            DataPack reply;
            ASSERT_TRUE(app.readPack(reply));
            EXPECT_EQ(reply.code(), expected.first);
            EXPECT_EQ(reply.data().count(2) != 0 ? reply.data().at(2).strval() : "<none>", expected.second);
        }
        poller_test::runOn(peer->getPoller(), [&] { session.reset(); });
        EXPECT_EQ(app.readBytes(1, 100), "") << "no further reply";
    }
}
