// The replies of one link fill the link's buffer: joined by ";", bounded by
// the buffer, the rest left for the next fill.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vxi_reply_queue.h"

namespace {

TEST(VxiReplyQueue, FillsJoinedAndKeepsWhatDoesNotFit) {
    const struct {
        std::vector<std::string> replies;
        uint32_t size;
        std::vector<std::string> fills;  // successive fills until empty
        std::vector<bool> eoms;
    } cases[] = {
        {{"a\n", "b\n"}, 100, {"a\n;b\n"}, {true}},
        {{"a\n", "b\n"}, 3, {"a\n", "b\n"}, {true, true}},
        {{"a\n", "b\n"}, 4, {"a\n;b", "\n"}, {false, true}},
        {{"hello\n"}, 4, {"hell", "o\n"}, {false, true}},
    };
    for (const auto& c : cases) {
        CVxiReplyQueue queue;
        for (const auto& r : c.replies) {
            queue.push(r);
        }
        for (size_t i = 0; i < c.fills.size(); ++i) {
            std::string buffer(c.size, '\0');
            bool eom = false;
            uint32_t n = queue.fill(&buffer[0], c.size, 0, eom);
            EXPECT_EQ(buffer.substr(0, n), c.fills[i]) << c.size << " fill " << i;
            EXPECT_EQ(eom, c.eoms[i]) << c.size << " fill " << i;
        }
        char byte;
        bool eom = true;
        EXPECT_EQ(queue.fill(&byte, 1, 0, eom), 0u);
        EXPECT_FALSE(eom);
    }
}

}  // namespace
