#pragma once
#include <cstdint>
#include <ctime>
#include <string>

namespace toolkit {

// Base for classes whose objects must not be copied or moved.
class noncopyable {
protected:
    noncopyable() = default;
    ~noncopyable() = default;
    noncopyable(const noncopyable&) = delete;
    noncopyable(noncopyable&&) = delete;
    noncopyable& operator=(const noncopyable&) = delete;
    noncopyable& operator=(noncopyable&&) = delete;
};

// The current time, read without a system call. system_time true: wall clock
// since the epoch; false: monotonic time since the first query, which ignores
// wall-clock jumps (a jump is logged as a warning by the first query after it).
uint64_t getCurrentMillisecond(bool system_time = false);
uint64_t getCurrentMicrosecond(bool system_time = false);

// Seconds east of UTC, daylight saving included, fixed at start-up.
long getGMTOff();

// Local time without the C library's locks, from the zone read at start-up.
void no_locks_localtime(struct tm* out, time_t t);
void local_time_init();
struct tm getLocalTime(time_t sec);

// strftime text of local time; time 0 means now. An empty result yields fmt.
std::string getTimeStr(const char* fmt, time_t time = 0);

// Names the calling thread (names over 15 characters become first 5 + "..." + last 7).
void setThreadName(const char* name);
// The calling thread's name in log records: the decimal value of pthread_self().
std::string getThreadName();
// Binds nothing on this platform; always false.
bool setThreadAffinity(int cpu);

// The executable's file name (text after the last '/' of /proc/self/exe).
std::string exeName(bool is_exe = true);

bool start_with(const std::string& str, const std::string& prefix);
bool end_with(const std::string& str, const std::string& suffix);

// True when the whole text is an IPv4 or IPv6 address.
bool isIP(const char* str);

// Shortens a thread name as setThreadName does (exposed for tests).
std::string limitThreadName(const std::string& name);

} // namespace toolkit
