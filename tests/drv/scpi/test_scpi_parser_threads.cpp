// Several transports parse at once while the executing thread switches the
// command set: every message must be parsed against one set, with the
// converter's map of that same set.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "scpi_parser_fixture.h"

namespace {

using testing_support::ScpiParserTest;

TEST_F(ScpiParserTest, ConcurrentParsesEachSeeOneSetWhileTheSetFlips) {
    // The beeper-state query exists only in the own set, *TST? not there and
    // CMDS? only in the Pello set.
    const std::vector<uint32_t> expected[3] = {{0x701}, {0x20001B0A}, {0x20001B0A, 0x20001C00}};
    const std::string text = ":SYST:BEEP:STAT?;:*TST?;:CMDS?\n";
    constexpr int kParsers = 4, kMessages = 1500;
    std::atomic<int> running{kParsers}, inconsistent{0};
    std::atomic<int> seen[3] = {{0}, {0}, {0}};

    std::vector<std::thread> threads;
    for (int t = 0; t < kParsers; ++t) {
        threads.emplace_back([&, t] {
            for (int m = 0; m < kMessages; ++m) {
                std::vector<uint32_t> ids;
                std::vector<int> sets;
                parser.ApiScpi_DoParse(text.data(), static_cast<uint32_t>(text.size()), 0, [&](const ScpiParsedCmd& c) {
                    if (!c.bRefused) ids.push_back(c.u32FuncId);
                    sets.insert(sets.end(), {c.s32CmdSet, execute.selected});
                });
                bool ok = !sets.empty() && sets[0] >= 0 && sets[0] < 3 && ids == expected[sets[0]];
                for (int s : sets) {
                    ok = ok && s == sets[0];
                }
                ok ? ++seen[sets[0]] : ++inconsistent;
                if (m % 97 == 0) {
                    parser.ApiScpi_SelectCmdTree((t + m) % 3);
                }
            }
            --running;
        });
    }
    // The command-set handler on the executing thread.
    threads.emplace_back([&] {
        for (int n = 0; running > 0; ++n) {
            parser.ApiScpi_SelectCmdTree(n % 3);
            std::this_thread::yield();
        }
    });
    for (std::thread& th : threads) {
        th.join();
    }
    EXPECT_EQ(inconsistent, 0);
    EXPECT_EQ(seen[0] + seen[1] + seen[2], kParsers * kMessages);
}

} // namespace
