#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "DrvScpiErrDef.h"
#include "scpi_status_fixture.h"

using testing_support::ScpiStatusTest;

// Rows hold number, comma, quoted message; the rows past the silent ones are empty.
TEST(ScpiErrorTable, RowsHoldNumberCommaQuotedMessage) {
    EXPECT_STREQ(g_asErrInfo[57], "-223,\"Too much data\"");
    EXPECT_STREQ(g_asErrInfo[127], "-800,\"Operation complete\"");
    for (int row = 0; row < SCP_ERR_DEF_BUTT; ++row) {
        const char* text = g_asErrInfo[row];
        if (row >= SCP_ERR_FIRST_SILENT_ROW) {
            EXPECT_EQ(text, nullptr) << row;
            continue;
        }
        ASSERT_NE(text, nullptr) << row;
        std::string s = text;
        size_t comma = s.find(",\"");
        EXPECT_NE(comma, std::string::npos) << s;
        EXPECT_EQ(s.back(), '"') << s;
        EXPECT_LE(std::stoi(s.substr(0, comma)), 0) << s;
    }
}

TEST_F(ScpiStatusTest, TwentyFiveErrorsKeepNineteenThenOverflow) {
    // Null and empty texts store nothing.
    EXPECT_EQ(SCP_WriteErrorQueue(nullptr), static_cast<uint32_t>(UIP_NULL_PTR));
    EXPECT_EQ(SCP_WriteErrorQueue(""), 0u);
    EXPECT_EQ(SCP_GetErrQueueCount(1), 0u);
    EXPECT_FALSE(stb() & SCP_STB_ERR_QUEUE);

    const char* texts[] = {g_asErrInfo[E100_CMD_ERROR], g_asErrInfo[E102_SYNTAX_ERROR],
                           g_asErrInfo[E200_EXECUTION_ERROR]};
    std::vector<std::string> written;
    for (int i = 0; i < 25; ++i) {
        uint32_t result = SCP_WriteErrorQueue(texts[i % 3]);
        if (i < 19) {
            written.push_back(texts[i % 3]);
        }
        EXPECT_EQ(result, i < 20 ? 0u : static_cast<uint32_t>(SCP_QUEUE_FULL)) << i;
    }
    EXPECT_EQ(SCP_GetErrQueueCount(1), 20u);
    std::vector<std::string> read;
    for (int i = 0; i < 20; ++i) {
        EXPECT_TRUE(stb() & SCP_STB_ERR_QUEUE) << i;
        read.push_back(SCP_ReadErrQueue(1));
    }
    written.push_back("-350,\"Queue overflow\"");
    EXPECT_EQ(read, written);
    EXPECT_FALSE(stb() & SCP_STB_ERR_QUEUE);
    EXPECT_EQ(SCP_ReadErrQueue(1), nullptr);
}

TEST_F(ScpiStatusTest, ParserCodesQueueTheirRows) {
    const std::pair<int, const char*> cases[] = {
        {UIP_NULL_PTR, "-295,\"Invalid memory access; null pointer\""},
        {SCP_NOT_FOUND_KEYWORD, "-113,\"Undefined header; keyword cannot be found\""},
        {SCP_NOT_FOUND_CMD, "-113,\"Undefined header; command cannot be found\""},
        {SCP_KEYWORDNUM_TOO_MANY, "-113,\"Undefined header; too many keyword\""},
        {SCP_NOT_FOUND_LEAF_NODE, "-110,\"Command header error\""},
        {SCP_CMD_SN_ERR, "-295,\"Invalid memory access; index exceed upper limit\""},
        {0xB0002, "-220,\"Parameter error\""},
    };
    for (const auto& c : cases) {
        SCP_ErrCodePro(c.first);
        EXPECT_EQ(drainErrors(), std::vector<std::string>{c.second}) << std::hex << c.first;
    }
    for (int code : {0, 3, static_cast<int>(SCP_LAST_KEYWORD_OMITTED), static_cast<int>(SCP_QUEUE_FULL),
                     static_cast<int>(SCP_SYS_FMT_ERR), -1}) {
        SCP_ErrCodePro(code);
    }
    EXPECT_EQ(SCP_GetErrQueueCount(1), 0u);
}

// Runs `body` on `count` threads at once and waits for them.
template <typename Body>
void onThreads(int count, Body body) {
    std::vector<std::thread> threads;
    for (int t = 0; t < count; ++t) {
        threads.emplace_back(body);
    }
    for (auto& thread : threads) {
        thread.join();
    }
}

// The hub writes from the UI pollers, the network-status thread and the
// executor at once, the parser from each transport's receiving thread, while
// a client reads: every read is a whole entry and the queue keeps its shape.
TEST_F(ScpiStatusTest, ConcurrentWritersAndReaderKeepTheQueueWhole) {
    onThreads(4, [] {
        for (int i = 0; i < 5; ++i) {
            SCP_ExecuteErrNotify();
            SCP_WriteErrorQueue(g_asErrInfo[E200_EXECUTION_ERROR]);
        }
    });
    auto errors = drainErrors();
    ASSERT_EQ(errors.size(), 20u);
    EXPECT_EQ(std::count(errors.begin(), errors.end(), "-200,\"Execution error\""), 19);
    EXPECT_EQ(errors.back(), "-350,\"Queue overflow\"");

    std::atomic<bool> writing{true};
    std::atomic<int> bad_reads{0};
    std::thread reader([&] {
        while (writing || SCP_GetErrQueueCount(1) > 0) {
            const char* text = SCP_ReadErrQueue(1);
            bad_reads += text != nullptr && text[0] != '-';
            DrvScpi_GetStatusRegs();
        }
    });
    onThreads(4, [] {
        for (int i = 0; i < 50; ++i) {
            SCP_WriteErrorQueue(g_asErrInfo[E101_INVALID_CHARACTER]);
            SCP_ErrCodePro(SCP_NOT_FOUND_CMD);
        }
    });
    writing = false;
    reader.join();
    EXPECT_EQ(bad_reads.load(), 0);
    EXPECT_FALSE(stb() & SCP_STB_ERR_QUEUE);
}
