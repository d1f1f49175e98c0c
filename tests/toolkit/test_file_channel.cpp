// GCC 12 with sanitizers reports a false "may be used uninitialized" inside
// libstdc++'s <regex>; the check is of no use for this file.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <regex>

#include "Util/logger.h"
#include "log_records.h"
#include "temp_root.h"

using namespace toolkit;
using testing_support::makeRecord;
using testing_support::readFile;
using testing_support::RecordingChannel;
using testing_support::TempRoot;
using testing_support::writeFile;
namespace fs = std::filesystem;

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

size_t countContaining(const std::vector<std::string>& texts, const std::string& part) {
    return std::count_if(texts.begin(), texts.end(), [&](const std::string& t) { return t.find(part) != t.npos; });
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

    TempRoot _root;
    Logger _logger{"dmm_service"};
};

// Adds channels to the default logger for a test's lifetime.
struct DefaultLoggerChannels {
    explicit DefaultLoggerChannels(std::vector<std::shared_ptr<LogChannel>> channels) : _channels(channels) {
        for (auto& ch : _channels) {
            getLogger().add(ch);
        }
    }
    ~DefaultLoggerChannels() {
        for (auto& ch : _channels) {
            getLogger().del(ch->name());
        }
    }
    std::vector<std::shared_ptr<LogChannel>> _channels;
};

} // namespace

TEST_F(FileChannelTest, WritesTodaysFileWithDetailedLines) {
    auto day_before = logName(time(nullptr));
    _logger.add(std::make_shared<FileChannel>("log", "/data/logs", LTrace));
    LoggerWrapper::printLog(_logger, LInfo, __FILE__, __FUNCTION__, 11, "hello %d", 7);
    LogContextCapture(_logger, LError, __FILE__, __FUNCTION__, 12) << "second";
    auto day_after = logName(time(nullptr));

    auto files = filesIn(dir());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(files[0] == day_before || files[0] == day_after) << files[0];
    std::string pid = std::to_string(getpid());
    std::regex line(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} ([IE]) \[dmm_service\] \[)" + pid + "-" +
                    getThreadName() + R"(\] test_file_channel\.cpp:(\d+) TestBody \| (.*))");
    std::istringstream text(readFile(file(files[0])));
    std::vector<std::string> lines;
    for (std::string l; std::getline(text, l);) {
        lines.push_back(l);
    }
    ASSERT_EQ(lines.size(), 2u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, line)) << lines[0];
    EXPECT_EQ(m[1], "I");
    EXPECT_EQ(m[2], "11");
    EXPECT_EQ(m[3], "hello 7");
    ASSERT_TRUE(std::regex_match(lines[1], m, line)) << lines[1];
    EXPECT_EQ(m[1], "E");
    EXPECT_EQ(m[3], "second");
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
    auto rec = std::make_shared<RecordingChannel>("zz-rec");
    // On the default logger without a writer: the failure report re-enters the channel.
    DefaultLoggerChannels installed({std::make_shared<FileChannel>("log", "/data/logs", LTrace), rec});
    time_t now = todayMidnight() + 3600;
    const std::string failed = "Failed to open log file: /data/logs/";

    getLogger().writeChannels(makeRecord(LInfo, 1, "r1", now));
    EXPECT_EQ(countContaining(rec->texts(), failed + logName(now, 0)), 1u);
    getLogger().writeChannels(makeRecord(LInfo, 2, "r2", now + 1));  // size check of a failed file
    getLogger().writeChannels(makeRecord(LInfo, 3, "r3", now + 2));  // within the minute: no retry
    EXPECT_EQ(countContaining(rec->texts(), failed), 2u);
    getLogger().writeChannels(makeRecord(LInfo, 4, "r4", now + 63));
    EXPECT_EQ(countContaining(rec->texts(), failed), 3u);
    EXPECT_EQ(countContaining(rec->texts(), failed + logName(now, 2)), 1u);
    auto texts = rec->texts();
    for (std::string r : {"r1", "r2", "r3", "r4"}) {
        EXPECT_EQ(std::count(texts.begin(), texts.end(), r), 1) << r;
    }
    EXPECT_TRUE(fs::is_regular_file(_root.host("/data/logs")));
}

TEST_F(FileChannelTest, SecondFailureDuringAReportGoesToStandardError) {
    writeFile(_root.host("/data/a"), "x");
    writeFile(_root.host("/data/b"), "x");
    auto rec = std::make_shared<RecordingChannel>("zz-rec");
    DefaultLoggerChannels installed({std::make_shared<FileChannel>("logA", "/data/a", LTrace),
                                     std::make_shared<FileChannel>("logB", "/data/b", LTrace), rec});
    ::testing::internal::CaptureStderr();
    getLogger().writeChannels(makeRecord(LInfo, 1, "record", time(nullptr)));
    auto err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Failed to open log file: /data/"), std::string::npos) << err;
    EXPECT_GE(countContaining(rec->texts(), "Failed to open log file: /data/a/"), 1u);
    EXPECT_GE(countContaining(rec->texts(), "Failed to open log file: /data/b/"), 1u);
    EXPECT_EQ(countContaining(rec->texts(), "record"), 1u);
}

namespace {
struct OpenProbe : FileChannelBase {
    using FileChannelBase::FileChannelBase;
    using FileChannelBase::close;
    using FileChannelBase::open;
};
} // namespace

TEST_F(FileChannelTest, BaseChannelNeedsAPathAndAppends) {
    OpenProbe empty("base", "", LTrace);
    EXPECT_THROW(
        {
            try {
                empty.open();
            } catch (const std::runtime_error& ex) {
                EXPECT_STREQ(ex.what(), "Log file path must be set");
                throw;
            }
        },
        std::runtime_error);
    ::testing::internal::CaptureStderr();
    EXPECT_NO_THROW(empty.write(_logger, makeRecord(LInfo, 1, "nowhere", 1000)));
    ::testing::internal::GetCapturedStderr();

    put("base.log", "first\n");
    OpenProbe base("base", "/data/logs/base.log", LInfo);
    base.write(_logger, makeRecord(LInfo, 1, "appended", 1000));
    base.write(_logger, makeRecord(LDebug, 2, "filtered", 1000));
    base.close();
    auto text = readFile(file("base.log"));
    EXPECT_EQ(text.rfind("first\n", 0), 0u);
    EXPECT_NE(text.find("source.cpp:1 func | appended\n"), std::string::npos);
    EXPECT_EQ(text.find("filtered"), std::string::npos);
}

TEST_F(FileChannelTest, ExitDrainsTheDefaultLoggersWriter) {
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(
        {
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
    auto files = filesIn(dir());
    ASSERT_EQ(files.size(), 1u);
    auto text = readFile(file(files[0]));
    EXPECT_NE(text.find("| record 999\n"), std::string::npos);
    // The last record's repeats are summarised by the closing record at exit.
    EXPECT_NE(text.find("| same\r\n    Last message repeated 2 times\n"), std::string::npos);
    EXPECT_NE(text.find("~Logger | \n"), std::string::npos);
}
