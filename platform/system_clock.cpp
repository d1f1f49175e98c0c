#include "system_clock.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <sys/stat.h>

#include "bounded_file.h"
#include "command_runner.h"
#include "root_path.h"

namespace platform {

namespace {

std::mutex g_mtx;

#if DMM_SIM_DEVICES

constexpr const char* kOffsetFile = "/sim/clock_offset";

// Seconds to add to the host clock; 0 without a readable offset file.
long long offsetLocked() {
    // Bounded and never blocking, like the other simulation files.
    std::string text;
    readBoundedFile(hostPath(kOffsetFile), kSimInputFileMax, text);
    text = text.substr(0, text.find('\n'));
    char* end = nullptr;
    errno = 0;
    long long value = std::strtoll(text.c_str(), &end, 10);
    return (errno != 0 || end == text.c_str()) ? 0 : value;
}

#endif

} // namespace

#if DMM_SIM_DEVICES

time_t clockNow() {
    std::lock_guard<std::mutex> lock(g_mtx);
    return static_cast<time_t>(std::time(nullptr) + offsetLocked());
}

bool clockSet(time_t stamp) {
    std::lock_guard<std::mutex> lock(g_mtx);
    const std::string path = hostPath(kOffsetFile);
    const std::string folder = path.substr(0, path.rfind('/'));
    mkdir(folder.c_str(), 0755);
    // Written beside and renamed over, so that a reader never sees half of it.
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << static_cast<long long>(stamp - std::time(nullptr)) << '\n';
        if (!out.flush()) {
            std::remove(temporary.c_str());
            return false;
        }
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

#else

time_t clockNow() { return std::time(nullptr); }

bool clockSet(time_t stamp) {
    struct tm local;
    if (localtime_r(&stamp, &local) == nullptr) {
        return false;
    }
    // The form the instrument's date command takes: MMDDhhmmYYYY.ss.
    char text[32];
    std::snprintf(text, sizeof(text), "%02d%02d%02d%02d%04d.%02d", local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_year + 1900, local.tm_sec);
    std::lock_guard<std::mutex> lock(g_mtx);
    CommandRequest date{{"/system/bin/date", text, "set"}, std::chrono::seconds(5), 0};
    CommandRequest rtc{{"/system/bin/hwclock", "--systohc"}, std::chrono::seconds(5), 0};
    return runCommand(date).succeeded() && runCommand(rtc).succeeded();
}

#endif

} // namespace platform
