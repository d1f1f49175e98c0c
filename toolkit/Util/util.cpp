#include "Util/util.h"

#include <arpa/inet.h>
#include <climits>
#include <cstring>
#include <pthread.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>

#include "Util/WallClockWatch.h"
#include "Util/logger.h"
#include "Util/onceToken.h"

namespace toolkit {

namespace {

// The clocks are read when asked for, through the vDSO: a few nanoseconds, no
// system call, and fresher than any cached value; no thread wakes to keep them.
uint64_t readMicrosecond(clockid_t clock) {
    struct timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000ULL + static_cast<uint64_t>(ts.tv_nsec) / 1000;
}

// The monotonic clock counts from the first query.
uint64_t monotonicOrigin() {
    static const uint64_t origin = readMicrosecond(CLOCK_MONOTONIC);
    return origin;
}

// The wall clock is compared with the monotonic one at most this often, by
// whichever reader comes by; a pair read further apart than kMaxReadGapUs (the
// reader was preempted in between) is not trusted.
constexpr uint64_t kWatchPeriodUs = 1000;
constexpr uint64_t kMaxReadGapUs = 100;
std::atomic<uint64_t> s_next_watch_us{0};
std::atomic_flag s_watching = ATOMIC_FLAG_INIT;

void watchWallClock(uint64_t monotonic_us) {
    if (monotonic_us < s_next_watch_us.load(std::memory_order_relaxed) ||
        s_watching.test_and_set(std::memory_order_acquire)) {
        return;
    }
    static WallClockWatch watch(readMicrosecond(CLOCK_REALTIME), monotonic_us);
    s_next_watch_us.store(monotonic_us + kWatchPeriodUs, std::memory_order_relaxed);
    uint64_t wall = readMicrosecond(CLOCK_REALTIME);
    uint64_t after = readMicrosecond(CLOCK_MONOTONIC);
    if (after - monotonic_us <= kMaxReadGapUs) {
        watch.update(wall, after);
    }
    s_watching.clear(std::memory_order_release);
}

// Every query: the monotonic reading (absolute), with the wall clock watched.
uint64_t monotonicReading() {
    uint64_t now = readMicrosecond(CLOCK_MONOTONIC);
    watchWallClock(now);
    return now;
}

uint64_t currentMicrosecond(bool system_time) {
    uint64_t origin = monotonicOrigin();
    uint64_t monotonic = monotonicReading();
    return system_time ? readMicrosecond(CLOCK_REALTIME) : monotonic - origin;
}

// Local-time state read once at start-up. Atomics only so that a re-read (tests
// changing the zone) is not a data race with threads formatting times.
std::atomic<long> s_west_offset{0};
std::atomic<int> s_daylight{0};
std::atomic<long> s_gmt_offset{0};

// Before main: read the zone.
onceToken s_startup([] { local_time_init(); });

bool isLeapYear(long year) {
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

} // namespace

uint64_t getCurrentMillisecond(bool system_time) {
    return currentMicrosecond(system_time) / 1000;
}

uint64_t getCurrentMicrosecond(bool system_time) {
    return currentMicrosecond(system_time);
}

long getGMTOff() {
    return s_gmt_offset.load(std::memory_order_relaxed);
}

void local_time_init() {
    tzset();
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    s_west_offset.store(timezone, std::memory_order_relaxed);
    s_daylight.store(local.tm_isdst > 0 ? 1 : 0, std::memory_order_relaxed);
    // The real offset of the start time, daylight saving included, so that day
    // boundaries computed from it fall on local midnight.
    s_gmt_offset.store(local.tm_gmtoff, std::memory_order_relaxed);
}

void no_locks_localtime(struct tm* out, time_t t) {
    const long west = s_west_offset.load(std::memory_order_relaxed);
    const int daylight = s_daylight.load(std::memory_order_relaxed);
    std::memset(out, 0, sizeof(*out));

    // Times before the epoch are not supported: the year walk starts at 1970.
    const long long shifted = static_cast<long long>(t) - west + 3600LL * daylight;
    long long days = shifted / 86400;
    long long seconds = shifted % 86400;
    out->tm_hour = static_cast<int>(seconds / 3600);
    seconds %= 3600;
    out->tm_min = static_cast<int>(seconds / 60);
    out->tm_sec = static_cast<int>(seconds % 60);
    out->tm_wday = static_cast<int>((days + 4) % 7); // 1 January 1970 was a Thursday
    out->tm_isdst = daylight;
    out->tm_gmtoff = -west;

    long year = 1970;
    for (;;) {
        long long year_days = isLeapYear(year) ? 366 : 365;
        if (days < year_days) {
            break;
        }
        days -= year_days;
        ++year;
    }
    out->tm_yday = static_cast<int>(days);
    out->tm_year = static_cast<int>(year - 1900);

    static const int kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    int mon = 0;
    while (mon < 11) {
        long long month_days = kMonthDays[mon] + (mon == 1 && isLeapYear(year) ? 1 : 0);
        if (days < month_days) {
            break;
        }
        days -= month_days;
        ++mon;
    }
    out->tm_mon = mon;
    out->tm_mday = static_cast<int>(days + 1);
}

struct tm getLocalTime(time_t sec) {
    struct tm out;
    no_locks_localtime(&out, sec);
    return out;
}

std::string getTimeStr(const char* fmt, time_t time) {
    if (time == 0) {
        time = ::time(nullptr);
    }
    struct tm local;
    no_locks_localtime(&local, time);
    size_t size = std::strlen(fmt) + 64;
    std::string buffer(size, '\0');
    size_t length = std::strftime(&buffer[0], size, fmt, &local);
    if (length == 0) {
        // Empty text, or a result that does not fit: the format stands in.
        return fmt;
    }
    buffer.resize(length);
    return buffer;
}

std::string limitThreadName(const std::string& name) {
    // The kernel keeps 15 characters plus the terminator.
    constexpr size_t kMaxLength = 15;
    if (name.size() <= kMaxLength) {
        return name;
    }
    return name.substr(0, 5) + "..." + name.substr(name.size() - 7);
}

void setThreadName(const char* name) {
    pthread_setname_np(pthread_self(), limitThreadName(name).c_str());
}

std::string getThreadName() {
    return std::to_string(static_cast<unsigned long>(pthread_self()));
}

bool setThreadAffinity(int cpu) {
    (void)cpu;
    return false;
}

std::string exeName(bool is_exe) {
    (void)is_exe;
    // A link of the kernel's process view, not data of the instrument: read directly.
    char buffer[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    std::string path = length > 0 ? std::string(buffer, static_cast<size_t>(length)) : std::string("./");
    return path.substr(path.rfind('/') + 1);
}

bool start_with(const std::string& str, const std::string& prefix) {
    return str.size() >= prefix.size() && str.compare(0, prefix.size(), prefix) == 0;
}

bool end_with(const std::string& str, const std::string& suffix) {
    return str.size() >= suffix.size() && str.compare(str.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool isIP(const char* str) {
    if (str == nullptr) {
        return false;
    }
    struct in_addr addr4;
    struct in6_addr addr6;
    return inet_pton(AF_INET, str, &addr4) == 1 || inet_pton(AF_INET6, str, &addr6) == 1;
}

} // namespace toolkit
