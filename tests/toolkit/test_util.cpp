#include <gtest/gtest.h>
#include <pthread.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>

#include "Util/MonotonicStamp.h"
#include "Util/util.h"
#include "warning_capture.h"

using namespace toolkit;

namespace {

// Switches the process to another time zone (and re-reads it) for a test's
// lifetime; the previous zone comes back afterwards.
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
        if (_had_previous) {
            ::setenv("TZ", _previous.c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        local_time_init();
    }

private:
    std::string _previous;
    bool _had_previous = false;
};

std::string nameSetOnNewThread(const std::string& name) {
    std::string read_back;
    std::thread([&] {
        setThreadName(name.c_str());
        char buffer[64] = {0};
        pthread_getname_np(pthread_self(), buffer, sizeof(buffer));
        read_back = buffer;
    }).join();
    return read_back;
}

std::string strftimeOfLocaltime(const char* fmt, time_t t) {
    struct tm local;
    localtime_r(&t, &local);
    char buffer[128];
    size_t n = strftime(buffer, sizeof(buffer), fmt, &local);
    return std::string(buffer, n);
}

void expectSameBrokenDownTime(const struct tm& expected, const struct tm& actual, time_t t) {
    EXPECT_EQ(expected.tm_year, actual.tm_year) << t;
    EXPECT_EQ(expected.tm_mon, actual.tm_mon) << t;
    EXPECT_EQ(expected.tm_mday, actual.tm_mday) << t;
    EXPECT_EQ(expected.tm_hour, actual.tm_hour) << t;
    EXPECT_EQ(expected.tm_min, actual.tm_min) << t;
    EXPECT_EQ(expected.tm_sec, actual.tm_sec) << t;
    EXPECT_EQ(expected.tm_wday, actual.tm_wday) << t;
    EXPECT_EQ(expected.tm_yday, actual.tm_yday) << t;
}

} // namespace

TEST(ThreadName, FifteenCharactersAreKeptSixteenAreShortened) {
    EXPECT_EQ("abcdefghijklmno", nameSetOnNewThread("abcdefghijklmno"));
    EXPECT_EQ("abcde...jklmnop", nameSetOnNewThread("abcdefghijklmnop"));
    EXPECT_EQ("stamp thread", nameSetOnNewThread("stamp thread"));
    EXPECT_EQ(15u, limitThreadName("a much longer thread name than fits").size());
}

TEST(ThreadName, LogNameIsTheDecimalThreadHandle) {
    EXPECT_EQ(std::to_string(static_cast<unsigned long>(pthread_self())), getThreadName());
    std::string other;
    std::thread([&] { other = getThreadName(); }).join();
    EXPECT_NE(getThreadName(), other);
}

TEST(LocalTime, LeapDayInUtc) {
    ScopedTimeZone zone("UTC");
    struct tm t;
    no_locks_localtime(&t, 951782400);
    EXPECT_EQ(100, t.tm_year);
    EXPECT_EQ(1, t.tm_mon);
    EXPECT_EQ(29, t.tm_mday);
    EXPECT_EQ(2, t.tm_wday);
    EXPECT_EQ(59, t.tm_yday);
    EXPECT_EQ(0, t.tm_hour);
    EXPECT_EQ(0, t.tm_gmtoff);
    EXPECT_EQ(0, getGMTOff());
}

TEST(LocalTime, MatchesTheCLibraryAcrossYearsInAFixedZone) {
    // Half-hour offset east of UTC, no daylight saving; steps of about 3.5 days
    // cover every month and the leap rules of 2000 and 2100.
    ScopedTimeZone zone("<+0530>-5:30");
    EXPECT_EQ(19800, getGMTOff());
    for (time_t t = 0; t < 4200000000LL; t += 301237) {
        struct tm expected;
        localtime_r(&t, &expected);
        struct tm actual = getLocalTime(t);
        expectSameBrokenDownTime(expected, actual, t);
        if (::testing::Test::HasFailure()) {
            break;
        }
    }
}

TEST(LocalTime, DaylightSavingIsPartOfTheOffset) {
    // Between them the two zones keep daylight saving on any day of the year,
    // so the daylight path is exercised whenever the test runs.
    for (const char* tz : {"CET-1CEST,M3.5.0,M10.5.0/3", "AEST-10AEDT,M10.1.0,M4.1.0/3"}) {
        ScopedTimeZone zone(tz);
        time_t now = time(nullptr);
        struct tm expected;
        localtime_r(&now, &expected);
        EXPECT_EQ(expected.tm_gmtoff, getGMTOff()) << tz;
        struct tm actual = getLocalTime(now);
        expectSameBrokenDownTime(expected, actual, now);
    }
}

TEST(TimeStr, TodayIsTheLocalDate) {
    std::string before = strftimeOfLocaltime("%Y-%m-%d_", time(nullptr));
    std::string text = getTimeStr("%Y-%m-%d_", 0);
    std::string after = strftimeOfLocaltime("%Y-%m-%d_", time(nullptr));
    EXPECT_TRUE(text == before || text == after) << text;
    EXPECT_EQ('_', text.back());
}

TEST(TimeStr, EmptyOrOversizedResultYieldsTheFormat) {
    EXPECT_EQ("", getTimeStr(""));
    // Far more text than the buffer (format length + 64) holds.
    const char* huge = "%c%c%c%c%c%c";
    EXPECT_EQ(huge, getTimeStr(huge, 951782400));
}

TEST(TimeStr, FormatsAGivenTime) {
    ScopedTimeZone zone("UTC");
    EXPECT_EQ("2000-02-29 00:00:00", getTimeStr("%Y-%m-%d %H:%M:%S", 951782400));
}

TEST(Strings, PrefixAndSuffix) {
    EXPECT_TRUE(end_with("2024-01-01_00.log", ".log"));
    EXPECT_FALSE(end_with("a.log.gz", ".log"));
    EXPECT_FALSE(end_with("log", ".log"));
    EXPECT_FALSE(end_with("", "x"));
    EXPECT_TRUE(end_with("abcabc", "abc"));
    EXPECT_TRUE(end_with("anything", ""));
    EXPECT_TRUE(start_with("anything", ""));
    EXPECT_TRUE(start_with("/data/logs", "/data"));
    EXPECT_FALSE(start_with("/da", "/data"));
    EXPECT_FALSE(start_with("x/data", "/data"));
}

TEST(Strings, IpAddresses) {
    EXPECT_TRUE(isIP("192.168.1.20"));
    EXPECT_TRUE(isIP("::1"));
    EXPECT_TRUE(isIP("fe80::1:2"));
    EXPECT_FALSE(isIP("192.168.1.256"));
    EXPECT_FALSE(isIP("192.168.1.20 "));
    EXPECT_FALSE(isIP("localhost"));
    EXPECT_FALSE(isIP(""));
    EXPECT_FALSE(isIP(nullptr));
}

TEST(Process, ExeNameIsTheProgramFile) {
    std::string name = exeName();
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(std::string::npos, name.find('/'));
    EXPECT_EQ(std::string::npos, name.find('\0'));
    EXPECT_EQ(name, std::string(program_invocation_short_name));
    EXPECT_FALSE(setThreadAffinity(0));
}

TEST(Clock, MonotonicNeverGoesBackAndBothClocksAdvance) {
    uint64_t mono_start = getCurrentMicrosecond();
    uint64_t system_start = getCurrentMillisecond(true);
    EXPECT_LE(std::abs(static_cast<long long>(system_start / 1000) - static_cast<long long>(time(nullptr))), 5);

    uint64_t previous_us = mono_start;
    uint64_t previous_ms = getCurrentMillisecond();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    // Reads until both clocks moved on by 20 ms, checking every reading on the way.
    while (getCurrentMicrosecond() < mono_start + 20000 || getCurrentMillisecond(true) < system_start + 20) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "cached clocks do not advance";
        uint64_t now_us = getCurrentMicrosecond();
        uint64_t now_ms = getCurrentMillisecond();
        ASSERT_GE(now_us, previous_us);
        ASSERT_GE(now_ms, previous_ms);
        previous_us = now_us;
        previous_ms = now_ms;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

TEST(StampRule, ClockSetBackAnHourIsIgnoredWithOneWarning) {
    testing_support::ScopedWarningCapture capture;
    const uint64_t start = 1700000000ULL * 1000000ULL;
    MonotonicStamp stamp(start);
    EXPECT_TRUE(stamp.update(start + 500));
    EXPECT_TRUE(stamp.update(start + 1100));
    EXPECT_TRUE(stamp.update(start + 1100)); // no step: nothing to add, nothing abnormal
    EXPECT_EQ(1100u, stamp.monotonicMicrosecond());

    const uint64_t set_back = start + 1100 - 3600ULL * 1000000ULL;
    EXPECT_FALSE(stamp.update(set_back));
    EXPECT_EQ(1100u, stamp.monotonicMicrosecond());
    EXPECT_TRUE(stamp.update(set_back + 600));
    EXPECT_EQ(1700u, stamp.monotonicMicrosecond());

    ASSERT_TRUE(capture->waitFor(1));
    auto texts = capture->texts();
    ASSERT_EQ(1u, texts.size());
    EXPECT_EQ("Stamp expired is abnormal: -3600000000", texts[0]);
}

TEST(StampRule, StepsOfASecondOrMoreAreJumps) {
    const uint64_t start = 5000000;
    MonotonicStamp stamp(start);
    EXPECT_TRUE(stamp.update(start + 999999));
    EXPECT_EQ(999999u, stamp.monotonicMicrosecond());
    EXPECT_FALSE(stamp.update(start + 999999 + 1000000));
    EXPECT_EQ(999999u, stamp.monotonicMicrosecond());
    // The jump's reading is the new base: the next normal step counts again.
    EXPECT_TRUE(stamp.update(start + 999999 + 1000000 + 1));
    EXPECT_EQ(1000000u, stamp.monotonicMicrosecond());
}
