#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "Util/File.h"
#include "Util/WallClockWatch.h"
#include "Util/util.h"
#include "Util/uv_errno.h"
#include "log_records.h"
#include "poller_test_support.h"
#include "temp_root.h"

using namespace toolkit;
using testing_support::LogCapture;
using testing_support::TempRoot;
using testing_support::writeFile;

namespace {

// Switches the process to another time zone (and re-reads it) for a scope.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* tz) {
        if (const char* previous = std::getenv("TZ")) {
            _previous = previous;
            _had_previous = true;
        }
        ::setenv("TZ", tz, 1);
        local_time_init();
    }
    ~ScopedTimeZone() {
        _had_previous ? ::setenv("TZ", _previous.c_str(), 1) : ::unsetenv("TZ");
        local_time_init();
    }

private:
    std::string _previous;
    bool _had_previous = false;
};

std::string unknownText(int code) {
    return "Unknown system error " + std::to_string(code);
}

bool exists(const std::string& host) {
    struct stat st;
    return lstat(host.c_str(), &st) == 0;
}

bool isDir(const std::string& host) {
    struct stat st;
    return lstat(host.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

using Visit = std::pair<std::string, bool>;

std::vector<Visit> scanAll(const std::string& path, bool recursive) {
    std::vector<Visit> visits;
    File::scanDir(path, [&](const std::string& entry, bool is_dir) {
        visits.emplace_back(entry, is_dir);
        return true;
    }, recursive);
    return visits;
}

} // namespace

// Compared with the C library's localtime_r in each zone: across the years
// (every month, the leap rules of 2000 and 2100) where the offset is fixed,
// and today where daylight saving may apply. The two daylight zones keep
// daylight saving on any day of the year between them.
TEST(LocalTime, MatchesTheCLibraryAndTheOffsetIncludesDaylightSaving) {
    for (const char* tz : {"UTC", "<+0530>-5:30", "CET-1CEST,M3.5.0,M10.5.0/3", "AEST-10AEDT,M10.1.0,M4.1.0/3"}) {
        SCOPED_TRACE(tz);
        ScopedTimeZone zone(tz);
        std::vector<time_t> times = {time(nullptr)};
        if (std::string(tz).find(',') == std::string::npos) {
            times.push_back(951782400);  // 2000-02-29
            for (time_t t = 0; t < 4200000000LL; t += 301237) {
                times.push_back(t);
            }
        }
        for (time_t t : times) {
            struct tm expected;
            localtime_r(&t, &expected);
            struct tm actual;
            no_locks_localtime(&actual, t);
            ASSERT_EQ(std::make_tuple(expected.tm_year, expected.tm_mon, expected.tm_mday, expected.tm_hour,
                                      expected.tm_min, expected.tm_sec, expected.tm_wday, expected.tm_yday),
                      std::make_tuple(actual.tm_year, actual.tm_mon, actual.tm_mday, actual.tm_hour, actual.tm_min,
                                      actual.tm_sec, actual.tm_wday, actual.tm_yday))
                << t;
            if (t == times[0]) {
                EXPECT_EQ(expected.tm_gmtoff, getGMTOff());
            }
        }
    }
    // Far more text than the buffer (format length + 64) holds: the format itself.
    EXPECT_EQ("%c%c%c%c%c%c", getTimeStr("%c%c%c%c%c%c", 951782400));
}

TEST(Clock, MonotonicNeverGoesBackAndBothClocksAdvance) {
    uint64_t mono_start = getCurrentMicrosecond();
    uint64_t system_start = getCurrentMillisecond(true);
    EXPECT_LE(std::abs(static_cast<long long>(system_start / 1000) - static_cast<long long>(time(nullptr))), 5);
    uint64_t previous = mono_start;
    // Reads until both clocks moved on by 20 ms, checking every reading on the way.
    EXPECT_TRUE(poller_test::waitUntil([&]() {
        uint64_t now = getCurrentMicrosecond();
        EXPECT_GE(now, previous);
        previous = now;
        return now >= mono_start + 20000 && getCurrentMillisecond(true) >= system_start + 20;
    })) << "clocks do not advance";
    // Never older than the wall clock read just before it.
    for (int i = 0; i < 1000; ++i) {
        struct timeval before;
        gettimeofday(&before, nullptr);
        uint64_t before_us = static_cast<uint64_t>(before.tv_sec) * 1000000 + static_cast<uint64_t>(before.tv_usec);
        ASSERT_GE(getCurrentMicrosecond(true), before_us) << i;
    }
}

// Only a change of the distance between the wall and the monotonic clock is a
// jump, however long between readings: a set-back beyond the reading slack,
// or a step ahead of a second or more.
TEST(Clock, WallClockWatchWarnsOfJumpsOnly) {
    LogCapture log;
    const uint64_t wall = 1700000000ULL * 1000000ULL;
    const uint64_t mono = 5000000;
    WallClockWatch watch(wall, mono);
    const struct {
        int64_t wall_step, mono_step;
        bool steady;
    } steps[] = {
        {500, 500, true},
        {3600LL * 1000000, 3600LL * 1000000, true},  // an hour without a reading
        {-3600LL * 1000000 + 600, 600, false},       // set back by an hour
        {1100, 600, true},                           // 500 us ahead
        {-400, 600, true},                           // 1 ms back: within the slack
        {1000600, 600, false},                       // a second ahead
    };
    uint64_t w = wall, m = mono;
    for (const auto& step : steps) {
        w += static_cast<uint64_t>(step.wall_step);
        m += static_cast<uint64_t>(step.mono_step);
        EXPECT_EQ(step.steady, watch.update(w, m)) << step.wall_step;
    }
    ASSERT_TRUE(log.waitFor("Stamp expired is abnormal: 1000000"));
    EXPECT_EQ(1u, log.count("Stamp expired is abnormal: -3600000000"));
}

// A connect in progress and a full buffer both mean "try again"; unknown
// codes get a text of their own, kept per thread.
TEST(UvErrno, TranslatesAndNamesErrors) {
    EXPECT_EQ(-11, uv_translate_posix_error(EINPROGRESS));
    EXPECT_EQ(-11, uv_translate_posix_error(ENOBUFS));
    EXPECT_EQ(-3008, uv_translate_posix_error(-3008));
    EXPECT_STREQ("address family not supported", uv_strerror(-3000));
    errno = ECONNRESET;
    EXPECT_STREQ("connection reset by peer", get_uv_errmsg());

    EXPECT_EQ(unknownText(-3012), uv_strerror(-3012));
    EXPECT_EQ(unknownText(7), uv_strerror(7));
    const char* mine = uv_strerror(-200);
    std::string other;
    std::thread([&] { other = uv_strerror(-201); }).join();
    EXPECT_EQ(unknownText(-200), mine);
    EXPECT_EQ(unknownText(-201), other);
}

TEST(FilePath, CreatePathMakesTheDirectoriesButNotTheFile) {
    TempRoot root;
    ASSERT_TRUE(File::create_path("/data/a/b/file.txt", 0755));
    EXPECT_TRUE(isDir(root.host("/data/a/b")));
    EXPECT_FALSE(exists(root.host("/data/a/b/file.txt")));
    EXPECT_TRUE(File::fileExist("/data/a/b"));
    EXPECT_FALSE(File::fileExist("/data/a/b/file.txt"));
    EXPECT_FALSE(File::fileExist(nullptr));
    // Existing prefixes are fine; a trailing '/' makes the last one a directory.
    ASSERT_TRUE(File::create_path("/data/a/b/c/", 0755));
    EXPECT_TRUE(isDir(root.host("/data/a/b/c")));

    writeFile(root.host("/data/plain"), "x");
    LogCapture log;
    EXPECT_FALSE(File::create_path("/data/plain/sub/log.txt", 0755));
    EXPECT_TRUE(log.waitFor("mkdir /data/plain/ failed: not a directory"));
}

// Links are removed themselves; what they point at is never entered.
TEST(FileDelete, LinksAreUnlinkedAndTheirTargetsLeftAlone) {
    TempRoot root;
    writeFile(root.host("/outside/keep.txt"), "keep");
    writeFile(root.host("/data/tree/a.txt"), "a");
    writeFile(root.host("/data/tree/sub/b.txt"), "b");
    ASSERT_EQ(0, symlink(root.host("/outside").c_str(), root.host("/data/tree/sub/dirlink").c_str()));
    ASSERT_EQ(0, symlink(root.host("/outside/keep.txt").c_str(), root.host("/data/tree/filelink").c_str()));
    ASSERT_EQ(0, symlink(root.host("/nowhere").c_str(), root.host("/data/tree/dangling").c_str()));
    ASSERT_EQ(0, symlink(root.host("/outside").c_str(), root.host("/data/link").c_str()));

    EXPECT_EQ(0, File::delete_file("/data/link"));
    EXPECT_FALSE(exists(root.host("/data/link")));
    EXPECT_EQ(0, File::delete_file("/data/tree"));
    EXPECT_FALSE(exists(root.host("/data/tree")));
    EXPECT_EQ("keep", testing_support::readFile(root.host("/outside/keep.txt")));
    EXPECT_EQ(-1, File::delete_file("/data/tree"));
    EXPECT_EQ(-1, File::delete_file(""));
}

TEST(FileScan, SkipsDotNamesRecursesDepthFirstAndNeverFollowsLinks) {
    TempRoot root;
    for (auto f : {"/.hidden", "/a.txt", "/z.txt", "/d/x.txt", "/d/.h2/inner.txt", "/d/e/y.txt"}) {
        writeFile(root.host(std::string("/data/s") + f), "");
    }
    // A link back up would make the scan endless if it were followed.
    ASSERT_EQ(0, symlink(root.host("/data/s").c_str(), root.host("/data/s/d/loop").c_str()));

    std::vector<Visit> visits = scanAll("/data/s/", true);
    std::vector<Visit> sorted = visits;
    std::sort(sorted.begin(), sorted.end());
    std::vector<Visit> expected = {{"/data/s/a.txt", false},     {"/data/s/d", true},
                                   {"/data/s/d/e", true},        {"/data/s/d/e/y.txt", false},
                                   {"/data/s/d/loop", false},    {"/data/s/d/x.txt", false},
                                   {"/data/s/z.txt", false}};
    EXPECT_EQ(expected, sorted);
    // Depth first: the subtree of /data/s/d comes in one run after it.
    auto d = std::find(visits.begin(), visits.end(), Visit{"/data/s/d", true});
    ASSERT_LE(d + 5, visits.end());
    EXPECT_TRUE(std::all_of(d + 1, d + 5, [](const Visit& v) { return v.first.rfind("/data/s/d/", 0) == 0; }));
    EXPECT_EQ(3u, scanAll("/data/s", false).size());
    EXPECT_TRUE(scanAll("/data/none", true).empty());

    // A stop ends the whole scan, also from inside a subdirectory.
    writeFile(root.host("/data/t/a/1.txt"), "");
    writeFile(root.host("/data/t/b/2.txt"), "");
    int calls = 0;
    File::scanDir("/data/t", [&](const std::string&, bool) { return ++calls < 1; }, true);
    EXPECT_EQ(1, calls);
    calls = 0;
    File::scanDir("/data/t", [&](const std::string&, bool is_dir) {
        ++calls;
        return is_dir;
    }, true);
    EXPECT_EQ(2, calls);
}
