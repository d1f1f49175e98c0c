#include "TemporaryFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>

namespace temporary_file {

namespace {

constexpr const char* kMark = ".tmp.";

// "<digits>.<digits>": what follows kMark in a temporary's name.
bool isPidAndSerial(const std::string& text) {
    const auto dot = text.find('.');
    auto digits = [](const std::string& part) {
        return !part.empty() && std::all_of(part.begin(), part.end(),
                                            [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
    };
    return dot != std::string::npos && digits(text.substr(0, dot)) && digits(text.substr(dot + 1));
}

} // namespace

int create(int dir, const std::string& name, std::string& tmp) {
    static std::atomic<unsigned long> s_serial{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        tmp = name + kMark + std::to_string(::getpid()) + "." + std::to_string(++s_serial);
        int fd = ::openat(dir, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

std::string targetOf(const std::string& name) {
    const auto serialDot = name.rfind('.');
    const auto pidDot = serialDot == std::string::npos || serialDot == 0 ? std::string::npos
                                                                         : name.rfind('.', serialDot - 1);
    if (pidDot == std::string::npos || pidDot < 5) {
        return "";
    }
    const size_t mark = pidDot - 4;  // ".tmp" right before the pid's dot
    if (name.compare(mark, 5, kMark) != 0 || !isPidAndSerial(name.substr(pidDot + 1))) {
        return "";
    }
    return name.substr(0, mark);
}

} // namespace temporary_file
