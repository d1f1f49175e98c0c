// Stopping the log writer while other threads still log loses no line: what
// was queued is written before stop() returns, and the logger's closing
// record ends the log.
#include "ServiceLog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Util/logger.h"
#include "temp_root.h"

TEST(ServiceLog, StopWritesEveryQueuedLine) {
    testing_support::TempRoot root;
    ServiceLog::start();
    constexpr int kThreads = 4;
    std::atomic<bool> done{false};
    std::atomic<int> started{0};
    std::vector<std::thread> loggers;
    for (int t = 0; t < kThreads; ++t) {
        loggers.emplace_back([t, &done, &started] {
            for (int i = 0; !done && i < 400; ++i) {
                PrintT("writer %d line %d", t, i);
                if (i == 0) {
                    ++started;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
    }
    // Every writer has a line queued before the stop, however late a loaded
    // machine starts its thread.
    while (started.load() < kThreads) {
        std::this_thread::yield();
    }
    PrintI("marker before stop");
    ServiceLog::stop();
    done = true;
    for (auto& thread : loggers) {
        thread.join();
    }
    PrintI("a line after the closing record");
    toolkit::getLogger().del("log");
    toolkit::getLogger().del("ConsoleChannel");

    std::string text;
    for (const auto& file : std::filesystem::directory_iterator(root.host("/data/logs"))) {
        text += testing_support::readFile(file.path().string());
    }
    EXPECT_NE(text.find("marker before stop"), std::string::npos);
    // The closing record stays the last, whatever other threads log after it.
    EXPECT_EQ(text.find("a line after the closing record"), std::string::npos);
    EXPECT_EQ(text.rfind("~Logger | \n"), text.size() - std::string("~Logger | \n").size());
    // Per thread the numbers run from 0 without a gap.
    std::vector<std::set<int>> seen(kThreads);
    std::regex line("writer (\\d) line (\\d+)");
    for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it) {
        seen[std::stoi((*it)[1])].insert(std::stoi((*it)[2]));
    }
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_FALSE(seen[t].empty()) << t;
        EXPECT_EQ(static_cast<int>(seen[t].size()), *seen[t].rbegin() + 1) << "thread " << t;
    }
}
