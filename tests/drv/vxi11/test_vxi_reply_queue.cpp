// The replies of one link fill the link's buffer: joined by ";" with one
// terminator, bounded by the buffer, the rest left for the next fill; they
// count in the reply budget while unread and are bounded per link.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ScpiReplyBudget.h"
#include "vxi_reply_queue.h"

namespace {

TEST(VxiReplyQueue, FillsJoinedAndKeepsWhatDoesNotFit) {
    const struct {
        std::vector<std::string> replies;
        uint32_t size;
        std::vector<std::string> fills;  // successive fills until empty
        std::vector<bool> eoms;
    } cases[] = {
        {{"a\n", "b\n"}, 100, {"a;b\n"}, {true}},
        {{"a\n", "b\n"}, 3, {"a\n", "b\n"}, {true, true}},
        {{"a\n", "b\n"}, 4, {"a;b\n"}, {true}},
        {{"a\n", "bc\n"}, 4, {"a;bc", "\n"}, {false, true}},
        {{"hello\n"}, 4, {"hell", "o\n"}, {false, true}},
    };
    for (const auto& c : cases) {
        CVxiReplyQueue queue;
        for (const auto& r : c.replies) {
            queue.push(r, queue.post(false), false);
        }
        for (size_t i = 0; i < c.fills.size(); ++i) {
            std::string fetched;
            bool eom = false;
            const uint32_t n = queue.fill(fetched, c.size, 0, eom);
            EXPECT_EQ(n, fetched.size());
            EXPECT_EQ(fetched, c.fills[i]) << c.size << " fill " << i;
            EXPECT_EQ(eom, c.eoms[i]) << c.size << " fill " << i;
        }
        std::string none;
        bool eom = true;
        EXPECT_EQ(queue.fill(none, 1, 0, eom), 0u);
        EXPECT_FALSE(eom);
    }
}

// A link's unread replies count in the service-wide budget from their push
// until a read takes them, a clear drops them or the link goes; a reply that
// comes while the link already holds its share unread is refused.
TEST(VxiReplyQueue, UnreadRepliesAreCountedServiceWideAndBoundedPerLink) {
    enum class End { Read, ReadInPieces, Clear, Destroy };
    constexpr size_t kKiB = 1024;
    const struct {
        const char* name;
        bool exhausted;  // another client holds the service's budget
        std::vector<size_t> replies;
        size_t accepted;  // the first replies the link keeps
        End end;
    } cases[] = {
        {"read", false, {10, 20}, 2, End::Read},
        {"read in pieces", false, {100, 7}, 2, End::ReadInPieces},
        {"cleared", false, {10, 20}, 2, End::Clear},
        {"link gone", false, {10, 20}, 2, End::Destroy},
        {"one large reply", false, {3 * kKiB * kKiB}, 1, End::Read},
        {"within the share", false, {512 * kKiB, 500 * kKiB, 10}, 3, End::Read},
        {"past the share", false, {600 * kKiB, 600 * kKiB, 10, 20}, 2, End::Read},
        {"past the share, gone", false, {600 * kKiB, 600 * kKiB, 10}, 2, End::Destroy},
        {"budget spent", true, {60 * kKiB, 10 * kKiB, 10}, 2, End::Read},
    };
    ScpiReplyBudget& budget = ScpiReplyBudget::instance();
    for (const auto& c : cases) {
        if (c.exhausted) {
            budget.hold(ScpiReplyBudget::kTotal + 1);
        }
        const uint64_t before = budget.held();
        auto queue = std::make_unique<CVxiReplyQueue>();
        uint64_t kept = 0;
        for (size_t i = 0; i < c.replies.size(); ++i) {
            const bool keeps = i < c.accepted;
            const auto pushed = queue->push(std::string(c.replies[i], 'x'), queue->post(false), false);
            EXPECT_EQ(pushed == CVxiReplyQueue::Push::Queued, keeps) << c.name << " reply " << i;
            kept += keeps ? c.replies[i] : 0;
        }
        EXPECT_EQ(budget.held() - before, kept) << c.name;
        if (c.end == End::Read || c.end == End::ReadInPieces) {
            const uint32_t size = c.end == End::Read ? 4u << 20 : 60u;
            uint64_t taken = 0;
            bool eom = false;
            std::string fetched;
            while (uint32_t n = queue->fill(fetched, size, 0, eom)) {
                taken += n;
                fetched.clear();
            }
            // The separators between the replies kept.
            EXPECT_EQ(taken, kept + c.accepted - 1) << c.name;
        } else if (c.end == End::Clear) {
            queue->interrupt();
        } else {
            queue.reset();
        }
        EXPECT_EQ(budget.held(), before) << c.name;
        if (c.exhausted) {
            budget.release(ScpiReplyBudget::kTotal + 1);
        }
    }
}

// A new message interrupts a query of the link whose reply is unread or still
// owed; a query answered and read, or ended without a reply, or one a device
// clear already dropped, is not interrupted, nor one still owed whose client
// gave up on it (its read timed out). A late reply is dropped.
TEST(VxiReplyQueue, ANewMessageInterruptsOnlyAQueryWhoseReplyIsUnreadOrOwed) {
    enum class Then { Nothing, Push, PushAndRead, Settle, DeviceClear };
    const struct {
        const char* name;
        bool answers;  // the message posted holds a query
        Then then;
        bool givenUp;  // the client's read timed out waiting
        bool interrupted;
    } cases[] = {
        {"reply still being made", true, Then::Nothing, false, true},
        {"reply unread", true, Then::Push, false, true},
        {"reply read", true, Then::PushAndRead, false, false},
        {"no reply came", true, Then::Settle, false, false},
        {"device clear before", true, Then::DeviceClear, false, false},
        {"no query, reply unread", false, Then::Push, false, true},
        {"no query, still running", false, Then::Nothing, false, false},
        {"reply still being made, given up", true, Then::Nothing, true, false},
        {"reply unread, given up before it came", true, Then::Push, true, true},
    };
    for (const auto& c : cases) {
        CVxiReplyQueue queue;
        const uint64_t sentAt = queue.post(c.answers);
        std::string fetched;
        bool eom = false;
        switch (c.then) {
            case Then::Nothing: break;
            case Then::Push: queue.push("1\n", sentAt, c.answers); break;
            case Then::PushAndRead:
                queue.push("1\n", sentAt, c.answers);
                queue.fill(fetched, 100, 0, eom);
                break;
            case Then::Settle: queue.settle(sentAt); break;
            case Then::DeviceClear: queue.deviceClear(); break;
        }
        EXPECT_EQ(queue.interrupt(c.givenUp), c.interrupted) << c.name;
        // Whatever came before, the next message starts clean.
        EXPECT_EQ(queue.push("late\n", sentAt, c.answers) == CVxiReplyQueue::Push::Queued, false) << c.name;
        EXPECT_FALSE(queue.interrupt()) << c.name;
    }
}

}  // namespace
