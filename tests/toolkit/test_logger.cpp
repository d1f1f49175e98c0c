#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <filesystem>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include "Util/logger.h"
#include "log_records.h"
#include "temp_root.h"

using namespace toolkit;
using testing_support::LogCapture;
using testing_support::makeRecord;
using testing_support::readFile;
using testing_support::RecordingChannel;
using testing_support::TempRoot;
using testing_support::writeFile;
namespace fs = std::filesystem;

namespace {

const char kNote[] = "\r\n    Last message repeated ";

std::string localStamp(time_t sec) {
    struct tm tm;
    localtime_r(&sec, &tm);
    char buf[64];
    strftime(buf, sizeof(buf), "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

struct Write {
    int line;
    const char* text;
    long ms;  // after the start
    const char* file;
};

struct RepeatCase {
    const char* name;
    std::vector<Write> writes;
    std::vector<std::string> texts;  // of the records written
    std::vector<int> repeats;        // their repeat counts
};

} // namespace

// A record equal to the previous one (file, line, text) within 500 ms of the
// last written one is counted, not written; a summary with the count comes
// before the next different text, and only a count above one gets the note.
TEST(LoggerRepeats, SuppressionCases) {
    const char* a = "a/source.cpp";
    const char* b = "b/other.cpp";
    std::vector<Write> ten = {{10, "A", 0, a}};
    for (int i = 1; i <= 10; ++i) {
        ten.push_back({10, "A", i * 40, a});
    }
    ten.push_back({20, "B", 450, a});
    const RepeatCase cases[] = {
        {"ten repeats in half a second", ten, {"A", "A", "B"}, {0, 10, 0}},
        {"single repeat", {{10, "A", 0, a}, {10, "A", 100, a}, {11, "B", 200, a}}, {"A", "A", "B"}, {0, 1, 0}},
        // 500 ms exactly is still within; 501 is written with the count since
        // the last written one, and the window starts again from there.
        {"repeat after half a second",
         {{10, "A", 0, a}, {10, "A", 500, a}, {10, "A", 501, a}, {10, "A", 1001, a}, {11, "B", 1100, a}},
         {"A", "A", "A", "B"},
         {0, 2, 1, 0}},
        {"other line or file", {{10, "A", 0, a}, {11, "A", 1, a}, {11, "A", 2, b}, {11, "A", 3, b}},
         {"A", "A", "A"},
         {0, 0, 0}},
        // Only the last record written counts: lines that alternate (a command
        // and the line its handler logs) are all written, in time order.
        {"alternating pair", {{10, "A", 0, a}, {20, "B", 1, a}, {10, "A", 2, a}, {20, "B", 3, a}, {10, "A", 4, a},
                              {20, "B", 5, a}, {30, "C", 6, a}},
         {"A", "B", "A", "B", "A", "B", "C"},
         {0, 0, 0, 0, 0, 0, 0}},
        {"alternating past half a second",
         {{10, "A", 0, a}, {20, "B", 1, a}, {10, "A", 300, a}, {20, "B", 301, a}, {10, "A", 600, a}, {20, "B", 601, a}},
         {"A", "B", "A", "B", "A", "B"},
         {0, 0, 0, 0, 0, 0}},
        {"repeats of one line between others",
         {{10, "A", 0, a}, {10, "A", 1, a}, {10, "A", 2, a}, {20, "B", 3, a}, {10, "A", 4, a}, {10, "A", 5, a}},
         {"A", "A", "B", "A"},
         {0, 2, 0, 0}},
        {"new text between", {{10, "A", 0, a}, {20, "B", 1, a}, {30, "C", 2, a}, {20, "B", 3, a}},
         {"A", "B", "C", "B"},
         {0, 0, 0, 0}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        Logger logger("test");
        auto rec = std::make_shared<RecordingChannel>();
        logger.add(rec);
        for (auto& w : c.writes) {
            long usec = w.ms * 1000;
            logger.writeChannels(makeRecord(LInfo, w.line, w.text, 1000 + usec / 1000000, usec % 1000000, w.file));
        }
        EXPECT_EQ(rec->texts(), c.texts);
        EXPECT_EQ(rec->repeats(), c.repeats);
        auto lines = rec->lines();
        for (size_t i = 0; i < lines.size() && i < c.repeats.size(); ++i) {
            if (c.repeats[i] > 1) {
                auto note = c.texts[i] + kNote + std::to_string(c.repeats[i]) + " times\n";
                EXPECT_NE(lines[i].find(note), std::string::npos) << lines[i];
            } else {
                EXPECT_EQ(lines[i].find(kNote), std::string::npos) << lines[i];
            }
        }
    }
}

// Level filters are the channels' own (console and file tests); the logger
// keeps one channel per name.
TEST(LoggerChannels, AChannelUnderATakenNameReplacesTheOld) {
    Logger logger("test");
    auto old = std::make_shared<RecordingChannel>("c");
    auto replacement = std::make_shared<RecordingChannel>("c");
    logger.add(old);
    logger.add(replacement);
    logger.writeChannels(makeRecord(LInfo, 3, "after", 1000));
    EXPECT_TRUE(old->texts().empty());
    EXPECT_EQ(replacement->texts(), (std::vector<std::string>{"after"}));
}

TEST(LogFormat, CaptureWritesOnceByItsLastHolderAndPrintfSurvivesFailures) {
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
        LogContextCapture dropped(logger, LInfo, "f.cpp", "fn", 4);
        dropped << "never";
        dropped.clear();
        dropped << "still never";
    }
    LogContextCapture(logger, LInfo, "f.cpp", "fn", 5) << "now" << std::endl << "ignored";
    LoggerWrapper::printLog(logger, LInfo, "p.cpp", "fn", 1, "value %d %s", 42, "ok");
    // A wide character the C locale cannot convert makes vasprintf fail: an
    // empty record, and nothing freed that was never allocated.
    LoggerWrapper::printLog(logger, LInfo, "p.cpp", "fn", 2, "%ls", L"\u00e9");
    // A level past the table is written as an error.
    LoggerWrapper::printLog(logger, 9, "p.cpp", "fn", 3, "high");
    // A client's bytes stay on the record's one line.
    LoggerWrapper::printLog(logger, LInfo, "p.cpp", "fn", 4, "cmd = %s, len = %d\n", "*IDN?\r\n\x01\t", 8);
    EXPECT_EQ(rec->texts(), (std::vector<std::string>{"moved 1 kept", "now", "value 42 ok", "", "high",
                                                      "cmd = *IDN?\r\n\x01\t, len = 8\n"}));
    auto lines = rec->lines();
    EXPECT_NE(lines[0].find(" file.cpp:3 fn | moved 1 kept"), std::string::npos);
    EXPECT_NE(lines[4].find(" E [test]"), std::string::npos);
    EXPECT_EQ(lines[5].substr(lines[5].find(" | ")), " | cmd = *IDN?\\r\\n\\x01\\t, len = 8\n");
}

TEST(LogFormat, ConsoleWritesFunctionAndTextWithPriorityAndTag) {
    Logger logger("test");
    logger.add(std::make_shared<ConsoleChannel>("console", LInfo));
    ::testing::internal::CaptureStderr();
    logger.writeChannels(makeRecord(LWarn, 1, "hello", 1000));
    logger.writeChannels(makeRecord(LDebug, 2, "hidden", 1000));
    logger.writeChannels(makeRecord(LError, 3, "bad\nline\n", 1000));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "W/JNI: func hello\nE/JNI: func bad\\nline\n");
}

// However long a text, a record carries at most kMaxText bytes of it, on every
// channel and whichever way it was made: a longer one is cut where a character
// starts and says how long it was. Texts within the bound are left as they are.
TEST(LogFormat, LongTextsAreCutSayingHowLongTheyWere) {
    const size_t kMax = LogContext::kMaxText;
    const std::string big(6u << 20, 'a');
    std::string wide = std::string(kMax - 25, 'x');
    for (int i = 0; i < 20; ++i) wide += "\xc3\xa9";  // two-byte characters across the cut
    struct Case {
        const char* name;
        std::string text;
        bool printf_style;
    } cases[] = {
        {"short", "hello", true},
        {"at the bound", std::string(kMax, 'b'), true},
        {"one byte over, streamed", std::string(kMax + 1, 'c'), false},
        {"a request's path, printf", "path refused: " + big, true},
        {"a request's path, streamed", big, false},
        {"characters across the cut", wide, true},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        Logger logger("test");
        auto rec = std::make_shared<RecordingChannel>();
        logger.add(rec);
        logger.add(std::make_shared<ConsoleChannel>("console", LTrace));
        ::testing::internal::CaptureStderr();
        if (c.printf_style) {
            LoggerWrapper::printLog(logger, LInfo, "p.cpp", "fn", 1, "%s", c.text.c_str());
        } else {
            LogContextCapture(logger, LInfo, "p.cpp", "fn", 1) << c.text;
        }
        const std::string console = ::testing::internal::GetCapturedStderr();
        ASSERT_EQ(rec->texts().size(), 1u);
        const std::string text = rec->texts()[0];
        EXPECT_EQ(console, "I/JNI: fn " + text + "\n");
        if (c.text.size() <= kMax) {
            EXPECT_EQ(text, c.text);
            continue;
        }
        const std::string note = "... (" + std::to_string(c.text.size()) + " bytes)";
        ASSERT_LE(text.size(), kMax);
        ASSERT_GT(text.size(), kMax - 64);
        ASSERT_EQ(text.substr(text.size() - note.size()), note);
        const std::string kept = text.substr(0, text.size() - note.size());
        EXPECT_EQ(kept, c.text.substr(0, kept.size()));
        // The cut leaves no half character behind.
        EXPECT_NE(static_cast<unsigned char>(c.text[kept.size()]) & 0xc0, 0x80);
    }
}

// Records of many threads, first written by the threads themselves (no
// writer: checked under TSan), then through the writer on its own thread.
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
    const int kThreads = 4, kRecords = 300;
    auto writeFromThreads = [&](int round) {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&logger, t, round] {
                for (int i = 0; i < kRecords; ++i) {
                    LogContextCapture(logger, LInfo, "t.cpp", "fn", t) << round << ":" << t << ":" << i;
                }
            });
        }
        for (auto& th : threads) {
            th.join();
        }
    };
    writeFromThreads(0);
    ASSERT_EQ(rec->texts().size(), static_cast<size_t>(kThreads * kRecords));
    logger.setWriter(std::make_shared<AsyncLogWriter>());
    writeFromThreads(1);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (rec->texts().size() < static_cast<size_t>(2 * kThreads * kRecords) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    auto texts = rec->texts();  // taken under the channel's lock: the names are complete too
    ASSERT_EQ(texts.size(), static_cast<size_t>(2 * kThreads * kRecords));
    std::vector<int> next(2 * kThreads, 0);
    for (auto& text : texts) {
        int round = 0, t = 0, i = 0;
        ASSERT_EQ(sscanf(text.c_str(), "%d:%d:%d", &round, &t, &i), 3) << text;
        EXPECT_EQ(i, next[round * kThreads + t]++) << "round " << round << " thread " << t;
    }
    EXPECT_EQ(std::count(writer_names.begin(), writer_names.end(), "async log"), kThreads * kRecords);
    logger.setWriter(nullptr);
}

// A writer that falls behind holds at most kMaxPending records, and at most
// kMaxPendingBytes of them however long their texts; the rest are counted and
// noted after the records queued before them. The callers never wait.
TEST(AsyncLogWriter, QueueIsBoundedInRecordsAndBytesAndDroppedRecordsAreNoted) {
    const size_t kMax = AsyncLogWriter::kMaxPending;
    const size_t kBytes = AsyncLogWriter::kMaxPendingBytes;
    const size_t kLong = LogContext::kMaxText;
    struct Case {
        const char* name;
        size_t text_size;  // of each record
        size_t records;
    } cases[] = {
        {"short records", 1, kMax + 7},
        {"long records", kLong, 2 * kBytes / kLong},
        {"records cut to the bound", 64u << 10, 2 * kBytes / kLong},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        Logger logger("test");
        // Holds the writer in its first record; tells each record written.
        struct HeldChannel : RecordingChannel {
            void write(const Logger& logger, const LogContextPtr& ctx) override {
                std::call_once(first, [this] { entered.set_value(); });
                released.wait();
                RecordingChannel::write(logger, ctx);
                {
                    std::lock_guard<std::mutex> lock(lastMtx);
                    last = ctx->str();
                }
                written.notify_all();
            }
            // Whether a record beginning with `prefix` came within the bound.
            bool waitWritten(const std::string& prefix) {
                std::unique_lock<std::mutex> lock(lastMtx);
                return written.wait_for(lock, std::chrono::seconds(20),
                                        [&] { return last.rfind(prefix, 0) == 0; });
            }
            std::once_flag first;
            std::promise<void> entered;
            std::shared_future<void> released;
            std::mutex lastMtx;
            std::condition_variable written;
            std::string last;
        };
        std::promise<void> release;
        auto rec = std::make_shared<HeldChannel>();
        rec->released = release.get_future().share();
        std::future<void> entered = rec->entered.get_future();
        logger.add(rec);
        logger.setWriter(std::make_shared<AsyncLogWriter>());
        LogContextCapture(logger, LInfo, "t.cpp", "fn", 1) << "held";
        entered.wait();  // then the writer's queue is empty again
        auto numbered = [](size_t i) {
            char number[24];
            snprintf(number, sizeof(number), "%08zu", i);
            return std::string(number);
        };
        const std::string filler(c.text_size > 8 ? c.text_size - 8 : 0, 'x');
        for (size_t i = 0; i < c.records; ++i) {
            LogContextCapture(logger, LInfo, "t.cpp", "fn", 2) << numbered(i) << filler;
        }
        release.set_value();
        rec->waitWritten("dropped ");
        LogContextCapture(logger, LInfo, "t.cpp", "fn", 3) << "after";
        logger.setWriter(nullptr);  // drains
        auto texts = rec->texts();
        ASSERT_GE(texts.size(), 3u);
        ASSERT_EQ(texts.back(), "after");
        const size_t kept = texts.size() - 3;  // between "held" and the note
        for (size_t i = 0; i < kept; ++i) {
            ASSERT_EQ(texts[i + 1].substr(0, 8), numbered(i));
        }
        EXPECT_EQ(texts[kept + 1], "dropped " + std::to_string(c.records - kept) + " records");
        EXPECT_LE(kept, kMax);
        size_t held = 0;
        for (size_t i = 1; i <= kept; ++i) held += texts[i].size();
        EXPECT_LE(held, kBytes);
        if (c.text_size == 1) {
            EXPECT_EQ(kept, kMax);
        } else {
            // Each record is reckoned with what it holds besides its text, a
            // few hundred bytes: the bound is not reached by much fewer.
            EXPECT_GE(kept * (kLong + 1024), kBytes);
        }
    }
}

// ---------------------------------------------------------------- log files

namespace {

const time_t kDay = 86400;

// Local midnight of today, by the offset the logger works with.
time_t todayMidnight() {
    time_t now = time(nullptr);
    return (now + getGMTOff()) / kDay * kDay - getGMTOff();
}

// "YYYY-MM-DD_NN.log" of the local date of `sec`.
std::string logName(time_t sec, int index = 0) {
    struct tm tm;
    localtime_r(&sec, &tm);
    char buf[64];
    snprintf(buf, sizeof(buf), "%04d-%02d-%02d_%02d.log", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, index);
    return buf;
}

std::vector<std::string> filesIn(const std::string& host_dir) {
    std::vector<std::string> names;
    for (auto& entry : fs::directory_iterator(host_dir)) {
        if (entry.is_regular_file()) {
            names.push_back(entry.path().filename().string());
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

class FileChannelTest : public ::testing::Test {
protected:
    std::string dir() const { return _root.host("/data/logs"); }
    std::string file(const std::string& name) const { return dir() + "/" + name; }
    void put(const std::string& name, const std::string& text = "old\n") { writeFile(file(name), text); }
    void write(FileChannel& channel, time_t sec, const std::string& text, LogLevel level = LInfo) {
        channel.write(_logger, makeRecord(level, 1, text, sec));
    }
    bool has(const std::string& name, const std::string& text) const {
        return readFile(file(name)).find(text) != std::string::npos;
    }

    // Puts a channel on the default logger until the test ends.
    void onDefaultLogger(const std::shared_ptr<LogChannel>& channel) {
        getLogger().add(channel);
        _installed.push_back(channel->name());
    }
    void TearDown() override {
        for (auto& name : _installed) {
            getLogger().del(name);
        }
    }

    TempRoot _root;
    Logger _logger{"dmm_service"};
    std::vector<std::string> _installed;
};

} // namespace

// The day's file gets one line per record: local date and time to the
// millisecond, level letter, logger name (or the record's flag), process and
// thread, file name and line, function, text.
TEST_F(FileChannelTest, WritesDetailedLinesIntoTheDaysFile) {
    time_t t = todayMidnight() + 3600;
    FileChannel channel("log", "/data/logs", LTrace);
    auto flagged = makeRecord(LError, 7, "flagged", t, 999000);
    flagged->_flag = "tag";
    channel.write(_logger, makeRecord(LWarn, 42, "hello world", t, 123456));
    channel.write(_logger, flagged);
    EXPECT_EQ(filesIn(dir()), std::vector<std::string>{logName(t)});
    std::string who = " [" + std::to_string(getpid()) + "-" + getThreadName() + "] source.cpp:";
    EXPECT_EQ(readFile(file(logName(t))), localStamp(t) + ".123 W [dmm_service]" + who + "42 func | hello world\n" +
                                              localStamp(t) + ".999 E [tag]" + who + "7 func | flagged\n");
}

TEST_F(FileChannelTest, NewLocalDayOpensItsFileNumberZero) {
    time_t midnight = todayMidnight();
    FileChannel channel("log", "/data/logs", LInfo);
    write(channel, midnight + kDay / 2, "noon");
    write(channel, midnight + kDay - 1, "last second");
    write(channel, midnight + kDay, "first second");
    // Below the channel's level: not written, yet it still opens the new day's file.
    write(channel, midnight + 2 * kDay, "hidden", LDebug);

    EXPECT_EQ(filesIn(dir()),
              (std::vector<std::string>{logName(midnight), logName(midnight + kDay), logName(midnight + 2 * kDay)}));
    EXPECT_TRUE(has(logName(midnight), "noon") && has(logName(midnight), "last second"));
    EXPECT_FALSE(has(logName(midnight), "first second"));
    EXPECT_TRUE(has(logName(midnight + kDay), "first second"));
    EXPECT_EQ(readFile(file(logName(midnight + 2 * kDay))), "");
}

TEST_F(FileChannelTest, ContinuesTodaysNewestFileAndRotatesBySizeOncePerMinute) {
    time_t t = todayMidnight() + 3600;
    put(logName(t, 0));
    put(logName(t, 1));
    put(logName(t, 3));
    put(logName(t - kDay, 7));  // an earlier day's number does not count
    fs::resize_file(file(logName(t, 3)), 31u << 20);

    FileChannel channel("log", "/data/logs", LTrace);
    write(channel, t, "r1");
    EXPECT_TRUE(has(logName(t, 3), "r1"));
    EXPECT_EQ(readFile(file(logName(t, 1))), "old\n");
    write(channel, t + 1, "r2");  // first size check: file 03 is above 30 MiB
    EXPECT_TRUE(has(logName(t, 4), "r2"));
    write(channel, t + 2, "r3");
    fs::resize_file(file(logName(t, 4)), 31u << 20);
    write(channel, t + 61, "r4");  // 60 s after the last check: not checked yet
    EXPECT_TRUE(has(logName(t, 4), "r4"));
    write(channel, t + 62, "r5");
    EXPECT_TRUE(has(logName(t, 5), "r5"));
    EXPECT_FALSE(has(logName(t, 5), "r4"));
}

// A burst within the minute between two size checks (a client churning
// connections) still starts a new file once the bytes written pass 30 MiB:
// no file ends more than one line above the limit, and none is left early.
TEST_F(FileChannelTest, BurstsBetweenSizeChecksStartANewFileAtTheLimit) {
    const size_t limit = 30u << 20;
    // The longest text a record carries.
    const std::string text(LogContext::kMaxText, 'x');
    const int per_mib = (1 << 20) / LogContext::kMaxText;
    struct Case {
        size_t existing;  // today's file 00 before the channel starts; 0: none
        int mib;          // of records, all in the same second
        size_t files;
    } cases[] = {{0, 65, 3}, {limit - (1u << 19), 3, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.existing);
        fs::remove_all(dir());
        time_t t = todayMidnight() + 3600;
        if (c.existing != 0) {
            put(logName(t, 0));
            fs::resize_file(file(logName(t, 0)), c.existing);
        }
        FileChannel channel("log", "/data/logs", LTrace);
        write(channel, t, "opens the file");
        write(channel, t, "the first size check");
        for (int i = 0; i < c.mib * per_mib; ++i) {
            write(channel, t, text);
        }
        auto names = filesIn(dir());
        ASSERT_EQ(names.size(), c.files);
        for (size_t i = 0; i < names.size(); ++i) {
            const size_t size = fs::file_size(file(names[i]));
            EXPECT_LE(size, limit + text.size() + 200) << names[i];
            if (i + 1 < names.size()) EXPECT_GT(size, limit) << names[i];
        }
    }
}

TEST_F(FileChannelTest, CleanDeletesFilesThirtyDaysOldAndUndatedOnes) {
    time_t now = time(nullptr);
    for (int age : {45, 31, 30, 29}) {
        put(logName(now - age * kDay));
    }
    put("notes.log");
    put("zz-undated.log");
    put("readme.txt");
    fs::create_directories(file("archive.log"));

    FileChannel channel("log", "/data/logs", LTrace);
    write(channel, now, "now");
    EXPECT_EQ(filesIn(dir()), (std::vector<std::string>{logName(now - 29 * kDay), logName(now), "readme.txt"}));
    EXPECT_TRUE(fs::is_directory(file("archive.log")));
}

TEST_F(FileChannelTest, CleanKeepsNewestTwentyAndNeverTheCurrentFile) {
    time_t now = time(nullptr);
    std::vector<std::string> all;
    for (int age = 1; age <= 25; ++age) {
        put(logName(now - age * kDay));
        all.push_back(logName(now - age * kDay));
    }
    {
        // A file older than all the others is current: the count limit stops at it.
        FileChannel channel("log", "/data/logs", LTrace);
        write(channel, now - 26 * kDay, "late record");
        EXPECT_EQ(filesIn(dir()).size(), 26u);
        fs::remove(file(logName(now - 26 * kDay)));
    }
    FileChannel channel("log", "/data/logs", LTrace);
    write(channel, now, "now");
    all.push_back(logName(now));
    std::sort(all.begin(), all.end());
    EXPECT_EQ(filesIn(dir()), std::vector<std::string>(all.end() - 20, all.end()));
}

// Past number 99 a day's files still go oldest first: by date, then by
// number (file 100 is newer than file 99, though it sorts before it as text).
TEST_F(FileChannelTest, CountLimitKeepsTheNewestByDateAndNumber) {
    struct Range {
        int days_ago;
        int first, last;
    };
    struct Case {
        const char* name;
        std::vector<Range> files;  // oldest first; the newest is continued
    } cases[] = {
        {"a day's 307 files", {{0, 0, 306}}},
        {"two and three digits", {{0, 90, 110}}},
        {"an earlier day's three digits", {{1, 95, 105}, {0, 0, 9}}},
        {"a new day after three digits", {{2, 0, 3}, {1, 98, 113}, {0, 0, 1}}},
    };
    time_t t = todayMidnight() + 3600;
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir());
        std::vector<std::string> in_order;
        for (auto& range : c.files) {
            for (int number = range.first; number <= range.last; ++number) {
                in_order.push_back(logName(t - range.days_ago * kDay, number));
                put(in_order.back());
            }
        }
        FileChannel channel("log", "/data/logs", LTrace);
        write(channel, t, "newest");
        EXPECT_TRUE(has(in_order.back(), "newest"));
        std::vector<std::string> newest(in_order.end() - 20, in_order.end());
        std::sort(newest.begin(), newest.end());
        EXPECT_EQ(filesIn(dir()), newest);
    }
}

TEST_F(FileChannelTest, FailedOpensNeverDeleteRealLogs) {
    time_t now = time(nullptr);
    for (int age = 1; age <= 20; ++age) {
        put(logName(now - age * kDay));
    }
    // Directories where the next days' files would go: those opens fail.
    for (int ahead = 1; ahead <= 3; ++ahead) {
        fs::create_directories(file(logName(now + ahead * kDay)));
    }
    FileChannel channel("log", "/data/logs", LTrace);
    for (int ahead = 1; ahead <= 3; ++ahead) {
        write(channel, now + ahead * kDay, "lost");
    }
    EXPECT_EQ(filesIn(dir()).size(), 20u);
    write(channel, now + 4 * kDay, "kept");
    auto files = filesIn(dir());
    EXPECT_EQ(files.size(), 20u);
    EXPECT_EQ(files.front(), logName(now - 19 * kDay));
    EXPECT_EQ(files.back(), logName(now + 4 * kDay));
}

TEST_F(FileChannelTest, UncreatableDirectoryDropsRecordsAndRetriesAtSizeChecks) {
    writeFile(_root.host("/data/logs"), "a file where the directory should be");
    // On the default logger without a writer: the failure report re-enters the channel.
    LogCapture log("zz-rec");
    onDefaultLogger(std::make_shared<FileChannel>("log", "/data/logs", LTrace));
    time_t now = todayMidnight() + 3600;
    const std::string failed = "Failed to open log file: /data/logs/";

    getLogger().writeChannels(makeRecord(LInfo, 1, "r1", now));
    EXPECT_EQ(log.count(failed + logName(now, 0)), 1u);
    getLogger().writeChannels(makeRecord(LInfo, 2, "r2", now + 1));  // size check of a failed file
    getLogger().writeChannels(makeRecord(LInfo, 3, "r3", now + 2));  // within the minute: no retry
    EXPECT_EQ(log.count(failed), 2u);
    getLogger().writeChannels(makeRecord(LInfo, 4, "r4", now + 63));
    EXPECT_EQ(log.count(failed), 3u);
    EXPECT_EQ(log.count(failed + logName(now, 2)), 1u);
    auto texts = log.texts();
    for (std::string r : {"r1", "r2", "r3", "r4"}) {
        EXPECT_EQ(std::count(texts.begin(), texts.end(), r), 1) << r;
    }
    EXPECT_TRUE(fs::is_regular_file(_root.host("/data/logs")));
}

TEST_F(FileChannelTest, SecondFailureDuringAReportGoesToStandardError) {
    writeFile(_root.host("/data/a"), "x");
    writeFile(_root.host("/data/b"), "x");
    LogCapture log("zz-rec");
    onDefaultLogger(std::make_shared<FileChannel>("logA", "/data/a", LTrace));
    onDefaultLogger(std::make_shared<FileChannel>("logB", "/data/b", LTrace));
    ::testing::internal::CaptureStderr();
    getLogger().writeChannels(makeRecord(LInfo, 1, "record", time(nullptr)));
    auto err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Failed to open log file: /data/"), std::string::npos) << err;
    EXPECT_GE(log.count("Failed to open log file: /data/a/"), 1u);
    EXPECT_GE(log.count("Failed to open log file: /data/b/"), 1u);
    EXPECT_EQ(log.count("record"), 1u);
}

// The child process starts afresh ("threadsafe"): by now this process has
// threads, and under ThreadSanitizer a forked copy of it may not start more.
// The child runs this test again from the start, in a data root of its own,
// so the parent's root is handed down for the logs.
TEST_F(FileChannelTest, ExitDrainsTheDefaultLoggersWriter) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    setenv("DMM_EXIT_TEST_ROOT", _root.path().c_str(), 0);
    EXPECT_EXIT(
        {
            fs::remove_all(_root.path());
            setenv("DMM_ROOT", getenv("DMM_EXIT_TEST_ROOT"), 1);
            getLogger().add(std::make_shared<FileChannel>("exit-log", "/data/logs", LTrace));
            getLogger().setWriter(std::make_shared<AsyncLogWriter>());
            for (int i = 0; i < 1000; ++i) {
                PrintI("record %d", i);
            }
            for (int i = 0; i < 3; ++i) {
                PrintW("same");
            }
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    unsetenv("DMM_EXIT_TEST_ROOT");
    auto files = filesIn(dir());
    ASSERT_EQ(files.size(), 1u);
    auto text = readFile(file(files[0]));
    EXPECT_NE(text.find("| record 999\n"), std::string::npos);
    // The last record's repeats are summarised by the closing record at exit.
    EXPECT_NE(text.find("| same\r\n    Last message repeated 2 times\n"), std::string::npos);
    EXPECT_NE(text.find("~Logger | \n"), std::string::npos);
}
