// GCC 12 with sanitizers reports a false "may be used uninitialized" inside
// libstdc++'s <regex>; the check is of no use for this file.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <regex>
#include <thread>

#include "Util/TimeTicker.h"
#include "Util/logger.h"
#include "log_records.h"

using namespace toolkit;
using testing_support::makeRecord;
using testing_support::RecordingChannel;

namespace {

const char kNote[] = "\r\n    Last message repeated ";

// Exposes the line format of a channel.
class FormatProbe : public LogChannel {
public:
    FormatProbe() : LogChannel("probe") {}
    using LogChannel::format;
    void write(const Logger&, const LogContextPtr&) override {}
};

// Notes its name in a shared list, to see the order channels are visited in.
class OrderChannel : public LogChannel {
public:
    OrderChannel(const std::string& name, std::vector<std::string>& seen) : LogChannel(name), _seen(seen) {}
    void write(const Logger&, const LogContextPtr&) override { _seen.push_back(_name); }

private:
    std::vector<std::string>& _seen;
};

std::string localStamp(time_t sec) {
    struct tm tm;
    localtime_r(&sec, &tm);
    char buf[64];
    strftime(buf, sizeof(buf), "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

void printV(Logger& logger, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    LoggerWrapper::printLogV(logger, LInfo, "x.cpp", "printV", 7, fmt, ap);
    va_end(ap);
}

class RepeatTest : public ::testing::Test {
protected:
    void write(int line, const std::string& text, long ms_after_start, const char* file = "a/source.cpp") {
        long usec = ms_after_start * 1000;
        _logger.writeChannels(makeRecord(LInfo, line, text, 1000 + usec / 1000000, usec % 1000000, file));
    }

    Logger _logger{"test"};
    std::shared_ptr<RecordingChannel> _rec = std::make_shared<RecordingChannel>();
    void SetUp() override { _logger.add(_rec); }
};

} // namespace

TEST_F(RepeatTest, TenRepeatsWithinHalfSecondAreSummarisedBeforeTheNextText) {
    write(10, "A", 0);
    for (int i = 1; i <= 10; ++i) {
        write(10, "A", i * 40);
    }
    write(20, "B", 450);
    EXPECT_EQ(_rec->texts(), (std::vector<std::string>{"A", "A", "B"}));
    EXPECT_EQ(_rec->repeats(), (std::vector<int>{0, 10, 0}));
    auto lines = _rec->lines();
    EXPECT_EQ(lines[0].find(kNote), std::string::npos);
    EXPECT_NE(lines[1].find(std::string("A") + kNote + "10 times\n"), std::string::npos) << lines[1];
}

TEST_F(RepeatTest, SingleRepeatIsWrittenAgainWithoutNote) {
    write(10, "A", 0);
    write(10, "A", 100);
    write(11, "B", 200);
    EXPECT_EQ(_rec->texts(), (std::vector<std::string>{"A", "A", "B"}));
    EXPECT_EQ(_rec->repeats(), (std::vector<int>{0, 1, 0}));
    EXPECT_EQ(_rec->lines()[1].find(kNote), std::string::npos);
}

TEST_F(RepeatTest, RepeatAfterHalfSecondIsWrittenWithCountSinceLastWritten) {
    write(10, "A", 0);
    write(10, "A", 500);   // dropped: exactly 500 ms
    write(10, "A", 501);   // written: counts itself and the dropped one
    write(10, "A", 1001);  // dropped: 500 ms after the last written one
    write(11, "B", 1100);
    EXPECT_EQ(_rec->texts(), (std::vector<std::string>{"A", "A", "A", "B"}));
    EXPECT_EQ(_rec->repeats(), (std::vector<int>{0, 2, 1, 0}));
    auto lines = _rec->lines();
    EXPECT_NE(lines[1].find(std::string(kNote) + "2 times"), std::string::npos);
    EXPECT_EQ(lines[2].find(kNote), std::string::npos);
}

TEST_F(RepeatTest, EqualTextFromOtherLineOrFileIsNeverMerged) {
    write(10, "A", 0);
    write(11, "A", 1);
    write(11, "A", 2, "b/other.cpp");
    write(11, "A", 3, "b/other.cpp");  // a true repeat of the previous one
    EXPECT_EQ(_rec->texts().size(), 3u);
    EXPECT_EQ(_rec->repeats(), (std::vector<int>{0, 0, 0}));
}

TEST_F(RepeatTest, LoggerDestructionWritesPendingSummary) {
    auto logger = std::make_unique<Logger>("short");
    auto rec = std::make_shared<RecordingChannel>();
    logger->add(rec);
    for (int i = 0; i < 4; ++i) {
        logger->writeChannels(makeRecord(LInfo, 5, "A", 2000, i * 1000));
    }
    logger.reset();
    auto texts = rec->texts();
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(rec->repeats()[1], 3);
    EXPECT_EQ(texts[2], "");  // the logger's own closing record
    EXPECT_NE(rec->lines()[2].find("~Logger | \n"), std::string::npos) << rec->lines()[2];
}

TEST(LoggerChannels, LevelFilterOrderAndReplacement) {
    std::vector<std::string> seen;  // outlives the logger's closing record
    Logger logger("test");
    logger.add(std::make_shared<OrderChannel>("b", seen));
    logger.add(std::make_shared<OrderChannel>("a", seen));
    auto info = std::make_shared<RecordingChannel>("c", LInfo);
    logger.add(info);
    logger.writeChannels(makeRecord(LDebug, 1, "debug", 1000));
    logger.writeChannels(makeRecord(LInfo, 2, "info", 1000));
    EXPECT_EQ(seen, (std::vector<std::string>{"a", "b", "a", "b"}));
    EXPECT_EQ(info->texts(), (std::vector<std::string>{"info"}));

    // A channel under a taken name replaces the old one.
    auto replacement = std::make_shared<RecordingChannel>("c", LTrace);
    logger.add(replacement);
    logger.writeChannels(makeRecord(LTrace, 3, "trace", 1000));
    EXPECT_EQ(info->texts().size(), 1u);
    EXPECT_EQ(replacement->texts(), (std::vector<std::string>{"trace"}));
}

TEST(LogFormat, DetailLineCarriesEveryFieldInOrder) {
    Logger logger("mylogger");
    FormatProbe probe;
    auto ctx = makeRecord(LWarn, 42, "hello world", 1780000000, 123456);
    std::ostringstream out;
    probe.format(logger, out, ctx, false, true);
    std::regex line(R"(^(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})\.123 W \[mylogger\] \[(\d+)-([^\]]+)\] )"
                    R"(source\.cpp:42 func \| hello world\n$)");
    std::smatch m;
    std::string text = out.str();
    ASSERT_TRUE(std::regex_match(text, m, line)) << text;
    EXPECT_EQ(m[1], localStamp(1780000000));
    EXPECT_EQ(m[2], std::to_string(getpid()));
    EXPECT_EQ(m[3], getThreadName());
    EXPECT_EQ(LogChannel::printTime(ctx->_tv), localStamp(1780000000) + ".123");

    // A flag stands in for the logger's name.
    ctx->_flag = "tag";
    std::ostringstream flagged;
    probe.format(logger, flagged, ctx, false, true);
    EXPECT_NE(flagged.str().find(" W [tag] ["), std::string::npos);
}

TEST(LogCapture, RecordIsWrittenOnceByItsLastHolder) {
    Logger logger("test");
    auto rec = std::make_shared<RecordingChannel>();
    logger.add(rec);
    {
        LogContextCapture first(logger, LInfo, "/a/b/file.cpp", "fn", 3);
        first << "moved " << 1;
        LogContextCapture second(first);
        first << " lost";
        second << " kept";
        EXPECT_TRUE(rec->texts().empty());
    }
    {
        LogContextCapture dropped(logger, LInfo, "f.cpp", "fn", 4);
        dropped << "never";
        dropped.clear();
        dropped << "still never";
    }
    LogContextCapture(logger, LInfo, "f.cpp", "fn", 5) << "now" << std::endl << "ignored";
    EXPECT_EQ(rec->texts(), (std::vector<std::string>{"moved 1 kept", "now"}));
    EXPECT_NE(rec->lines()[0].find(" file.cpp:3 fn | moved 1 kept"), std::string::npos);
}

TEST(LogPrintf, FormatsAndWritesEmptyRecordWhenFormattingFails) {
    Logger logger("test");
    auto rec = std::make_shared<RecordingChannel>();
    logger.add(rec);
    LoggerWrapper::printLog(logger, LInfo, "p.cpp", "fn", 1, "value %d %s", 42, "ok");
    // A wide character the C locale cannot convert makes vasprintf fail.
    LoggerWrapper::printLog(logger, LInfo, "p.cpp", "fn", 2, "%ls", L"\u00e9");
    printV(logger, "");
    // A level past the table is written as an error.
    LoggerWrapper::printLog(logger, 9, "p.cpp", "fn", 3, "high");
    EXPECT_EQ(rec->texts(), (std::vector<std::string>{"value 42 ok", "", "", "high"}));
    EXPECT_NE(rec->lines()[3].find(" E [test]"), std::string::npos);
}

TEST(LogConsole, WritesFunctionAndTextWithPriorityAndTag) {
    Logger logger("test");
    logger.add(std::make_shared<ConsoleChannel>("console", LInfo));
    ::testing::internal::CaptureStderr();
    logger.writeChannels(makeRecord(LWarn, 1, "hello", 1000));
    logger.writeChannels(makeRecord(LDebug, 2, "hidden", 1000));
    logger.writeChannels(makeRecord(LError, 3, "bad", 1000));
    auto text = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(text, "W/JNI: func hello\nE/JNI: func bad\n");
}

TEST(AsyncLogWriter, WritesRecordsOfAllThreadsInOrderOnItsOwnThread) {
    std::vector<std::string> writer_names;  // outlives the logger's closing record
    Logger logger("test");
    struct NameChannel : RecordingChannel {
        explicit NameChannel(std::vector<std::string>& names) : _names(names) {}
        void write(const Logger& logger, const LogContextPtr& ctx) override {
            char name[16] = {0};
            pthread_getname_np(pthread_self(), name, sizeof(name));
            _names.push_back(name);
            RecordingChannel::write(logger, ctx);
        }
        std::vector<std::string>& _names;
    };
    auto rec = std::make_shared<NameChannel>(writer_names);
    logger.add(rec);
    logger.setWriter(std::make_shared<AsyncLogWriter>());

    const int kThreads = 4, kRecords = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&logger, t] {
            for (int i = 0; i < kRecords; ++i) {
                LogContextCapture(logger, LInfo, "t.cpp", "fn", t) << t << ":" << i;
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (rec->texts().size() < static_cast<size_t>(kThreads * kRecords) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    auto texts = rec->texts();  // taken under the channel's lock: the names are complete too
    ASSERT_EQ(texts.size(), static_cast<size_t>(kThreads * kRecords));
    std::vector<int> next(kThreads, 0);
    for (auto& text : texts) {
        int t = std::stoi(text.substr(0, text.find(':')));
        int i = std::stoi(text.substr(text.find(':') + 1));
        EXPECT_EQ(i, next[t]++) << "thread " << t;
    }
    ASSERT_EQ(writer_names.size(), texts.size());
    EXPECT_EQ(std::count(writer_names.begin(), writer_names.end(), "async log"), kThreads * kRecords);
    logger.setWriter(nullptr);
}

TEST(AsyncLogWriter, DestructionDrainsEverythingQueued) {
    Logger logger("test");
    auto rec = std::make_shared<RecordingChannel>();
    logger.add(rec);
    std::vector<std::string> sent;
    {
        AsyncLogWriter writer;
        for (int i = 0; i < 2000; ++i) {
            sent.push_back(std::to_string(i));
            writer.write(makeRecord(LInfo, 1, sent.back(), 1000), logger);
        }
    }
    EXPECT_EQ(rec->texts(), sent);
}

TEST(LoggerThreads, WritingWithoutWriterFromManyThreadsLosesNothing) {
    Logger logger("test");
    auto rec = std::make_shared<RecordingChannel>();
    logger.add(rec);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&logger, t] {
            for (int i = 0; i < 200; ++i) {
                LoggerWrapper::printLog(logger, LInfo, "t.cpp", "fn", t, "%d-%d", t, i);
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(rec->texts().size(), 800u);
}

TEST(Ticker, MeasuresAndWarnsOnlyWhenAskedAndSlow) {
    Logger logger("test");
    auto rec = std::make_shared<RecordingChannel>();
    logger.add(rec);
    {
        Ticker quiet;  // the service's kind: never logs
        Ticker slow(0, LogContextCapture(logger, LWarn, "k.cpp", "fn", 1), true);
        Ticker fast(1000000, LogContextCapture(logger, LWarn, "k.cpp", "fn", 2), true);
        Ticker unasked(0, LogContextCapture(logger, LWarn, "k.cpp", "fn", 3), false);
        // Wait for the cached clock to move on (bounded, no timing assertion).
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (slow.createdTime() == 0 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_GT(slow.createdTime(), 0u);
        slow.resetTime();
        EXPECT_LE(slow.elapsedTime(), slow.createdTime());
    }
    auto texts = rec->texts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_TRUE(std::regex_match(texts[0], std::regex(R"(take time: \d+ms, thread may be overloaded)"))) << texts[0];
}
