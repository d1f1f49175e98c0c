#include "TemporaryFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <functional>
#include <random>

#include "running_copy.h"

namespace temporary_file {

namespace {

constexpr const char kPrefix[] = ".~dmm-temp.";
constexpr size_t kPrefixLength = sizeof kPrefix - 1;
constexpr const char* kLegacyMark = ".tmp.";

bool digits(const std::string& text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

// "<digits>.<digits>".
bool isPidAndSerial(const std::string& text) {
    const auto dot = text.find('.');
    return dot != std::string::npos && digits(text.substr(0, dot)) && digits(text.substr(dot + 1));
}

// The number after the prefix of a name of that form; false when it has more
// digits than a run.
bool runDigits(const std::string& name, unsigned long long& run) {
    const std::string text = name.substr(kPrefixLength, name.find('.', kPrefixLength) - kPrefixLength);
    if (text.size() > 19) {
        return false;
    }
    run = std::stoull(text);
    return true;
}

// Tries fresh names until `make` succeeds or fails for another reason than
// the name being taken (a leftover of another run, on a stick from elsewhere).
bool makeFresh(std::string& tmp, const std::function<bool(const std::string& fresh)>& make) {
    static std::atomic<unsigned long> s_serial{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        tmp = kPrefix + std::to_string(run()) + "." + std::to_string(++s_serial);
        if (make(tmp)) {
            return true;
        }
        if (errno != EEXIST) {
            return false;
        }
    }
    return false;
}

} // namespace

unsigned long long run() {
    // Bit 61 set, above every process id; 39 bits drawn, so that a clash
    // between two runs of one process id is out of reach; the process id in
    // the 22 bits below. At most 19 digits.
    static const unsigned long long s_run = [] {
        std::random_device device;
        const unsigned long long drawn = (static_cast<unsigned long long>(device()) << 32) ^ device();
        const unsigned long long pid = static_cast<unsigned long long>(::getpid()) & (kPidBound - 1);
        return (1ULL << 61) | ((drawn * kPidBound) & ((1ULL << 61) - 1)) | pid;
    }();
    return s_run;
}

bool runOf(const std::string& name, unsigned long long& run) {
    return isTemporary(name) && runDigits(name, run);
}

bool isPidForm(unsigned long long run) {
    return run > 0 && run < kPidBound;
}

bool inUse(const std::string& name) {
    unsigned long long named = 0;
    if (!isReserved(name) || !isPidAndSerial(name.substr(kPrefixLength)) || !runDigits(name, named)) {
        return false;
    }
    if (named == run()) {
        return true;
    }
    return platform::isRunningCopy(static_cast<long>(isPidForm(named) ? named : named & (kPidBound - 1)));
}

int create(int dir, const std::string& name, std::string& tmp) {
    const auto slash = name.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : name.substr(0, slash + 1);
    int fd = -1;
    std::string fresh;
    makeFresh(fresh, [&](const std::string& candidate) {
        fd = ::openat(dir, (folder + candidate).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        return fd >= 0;
    });
    tmp = folder + fresh;
    return fd;
}

bool createFolder(int dir, std::string& tmp) {
    return makeFresh(tmp, [dir](const std::string& candidate) { return ::mkdirat(dir, candidate.c_str(), 0777) == 0; });
}

bool isTemporary(const std::string& name) {
    return name.compare(0, kPrefixLength, kPrefix) == 0 && isPidAndSerial(name.substr(kPrefixLength));
}

bool isReserved(const std::string& name) {
    return name.size() >= kPrefixLength &&
           std::equal(kPrefix, kPrefix + kPrefixLength, name.begin(), [](char reserved, char c) {
               return reserved == std::tolower(static_cast<unsigned char>(c));
           });
}

std::string legacyTargetOf(const std::string& name) {
    const auto serialDot = name.rfind('.');
    const auto pidDot = serialDot == std::string::npos || serialDot == 0 ? std::string::npos
                                                                         : name.rfind('.', serialDot - 1);
    if (pidDot == std::string::npos || pidDot < 5) {
        return "";
    }
    const size_t mark = pidDot - 4;  // ".tmp" right before the pid's dot
    if (name.compare(mark, 5, kLegacyMark) != 0 || !isPidAndSerial(name.substr(pidDot + 1))) {
        return "";
    }
    return name.substr(0, mark);
}

} // namespace temporary_file
