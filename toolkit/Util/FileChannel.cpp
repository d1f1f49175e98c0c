#include "Util/FileChannel.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "Util/File.h"
#include "Util/logger.h"
#include "root_path.h"

namespace toolkit {

namespace {

constexpr int64_t kSecondsPerDay = 86400;
// The size of the current file is looked at no more often than this.
constexpr time_t kSizeCheckInterval = 60;

// Set while this thread reports a failed open through the logger; a second
// failure meanwhile (another file channel on the same logger) goes to standard
// error instead, so the reports cannot chase each other.
thread_local bool t_reporting_open_failure = false;

int64_t localDay(time_t second) {
    return (static_cast<int64_t>(second) + getGMTOff()) / kSecondsPerDay;
}

std::string baseName(const std::string& path) {
    auto pos = path.rfind('/');
    return pos == std::string::npos ? path : path.substr(pos + 1);
}

// The local day of the date a log file's name starts with; day 0 when the name
// does not start with a date.
int64_t fileDay(const std::string& path) {
    struct tm tm;
    std::memset(&tm, 0, sizeof(tm));
    time_t time = 0;
    if (strptime(baseName(path).c_str(), "%Y-%m-%d", &tm) != nullptr) {
        time = mktime(&tm);
    }
    return localDay(time);
}

// Year, month, day and number of a log file's name, "%d-%02d-%02d_%02d.log";
// -1 for what it lacks, all of them when it has no date.
std::array<int, 4> nameKey(const std::string& path) {
    std::array<int, 4> key = {-1, -1, -1, -1};
    if (sscanf(baseName(path).c_str(), "%d-%d-%d_%d", &key[0], &key[1], &key[2], &key[3]) < 3) {
        key = {-1, -1, -1, -1};
    }
    return key;
}

class ScopedFlag {
public:
    explicit ScopedFlag(bool& flag) : _flag(flag) { _flag = true; }
    ~ScopedFlag() { _flag = false; }
    ScopedFlag(const ScopedFlag&) = delete;
    ScopedFlag& operator=(const ScopedFlag&) = delete;

private:
    bool& _flag;
};

} // namespace

// -------------------------------------------------------- FileChannelBase

FileChannelBase::FileChannelBase(const std::string& name, const std::string& path, LogLevel level)
    : LogChannel(name, level), _path(path) {}

FileChannelBase::~FileChannelBase() {
    close();
}

void FileChannelBase::write(const Logger& logger, const LogContextPtr& ctx) {
    if (_level > ctx->_level) {
        return;
    }
    if (!_fstream.is_open()) {
        // Called from a record's destructor: trouble is reported, never thrown.
        try {
            if (!open()) {
                return;
            }
        } catch (const std::exception& ex) {
            std::fprintf(stderr, "%s\n", ex.what());
            return;
        }
    }
    format(logger, _out, ctx, false, true);
}

bool FileChannelBase::setPath(const std::string& path) {
    _path = path;
    return open();
}

const std::string& FileChannelBase::path() const {
    return _path;
}

bool FileChannelBase::open() {
    if (_path.empty()) {
        throw std::runtime_error("Log file path must be set");
    }
    close();
    File::create_path(_path.c_str(), 0777);
    _fstream.open(platform::hostPath(_path), std::ios::out | std::ios::app);
    // A write that failed on the file before says nothing about this one.
    _out.clear();
    _counter.reset();
    return _fstream.is_open();
}

void FileChannelBase::close() {
    if (_fstream.is_open()) {
        _fstream.close();
    }
}

size_t FileChannelBase::size() {
    _fstream.flush();
    // Appending writes land at the end whatever the position, so moving there
    // costs nothing and gives the file's size even before the first write.
    _fstream.seekp(0, std::ios::end);
    auto position = _fstream.tellp();
    if (!_fstream || !_out || position < 0) {
        return std::numeric_limits<size_t>::max();
    }
    return static_cast<size_t>(position);
}

FileChannelBase::CountingBuf::int_type FileChannelBase::CountingBuf::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) {
        return traits_type::not_eof(c);
    }
    if (traits_type::eq_int_type(_sink->sputc(traits_type::to_char_type(c)), traits_type::eof())) {
        return traits_type::eof();
    }
    ++_count;
    return c;
}

std::streamsize FileChannelBase::CountingBuf::xsputn(const char* s, std::streamsize n) {
    std::streamsize put = _sink->sputn(s, n);
    _count += static_cast<size_t>(put);
    return put;
}

int FileChannelBase::CountingBuf::sync() {
    return _sink->pubsync();
}

// ------------------------------------------------------------ FileChannel

FileChannel::FileChannel(const std::string& name, const std::string& dir, LogLevel level)
    : FileChannelBase(name, "", level), _dir(dir) {
    if (_dir.empty() || _dir.back() != '/') {
        _dir.push_back('/');
    }
    File::scanDir(
        _dir,
        [this](const std::string& path, bool is_dir) {
            if (!is_dir && end_with(path, ".log")) {
                _log_file_map.emplace(path);
            }
            return true;
        },
        false);
    // Continue today's newest file.
    auto prefix = getTimeStr("%Y-%m-%d_");
    for (auto& path : _log_file_map) {
        const int index = nameKey(path)[3];
        if (start_with(baseName(path), prefix) && index >= 0 && static_cast<size_t>(index) > _index) {
            _index = static_cast<size_t>(index);
        }
    }
}

void FileChannel::write(const Logger& logger, const LogContextPtr& ctx) {
    if (_switching) {
        // Logged from inside changeFile on this thread: the file is in flux.
        return;
    }
    time_t second = ctx->_tv.tv_sec;
    int64_t day = localDay(second);
    if (day != _last_day) {
        if (_last_day != -1) {
            _index = 0;
        }
        _last_day = day;
        changeFile(second);
    } else if (second - _last_check_time > kSizeCheckInterval || pastLimitSinceCheck()) {
        // A burst of records within the minute (a client churning connections)
        // would otherwise grow one file far beyond the limit before the next look.
        checkSize(second);
    }
    if (_can_write) {
        FileChannelBase::write(logger, ctx);
    }
}

void FileChannel::checkSize(time_t second) {
    // Taken before the change, so nothing logged during it checks again.
    _last_check_time = second;
    size_t now = size();
    if (now > (_log_max_size << 20)) {
        changeFile(second);
    } else {
        baseSize(now);
    }
}

void FileChannel::baseSize(size_t size) {
    _checked_size = std::min(size, _log_max_size << 20);
    resetWritten();
}

bool FileChannel::pastLimitSinceCheck() const {
    return written() > (_log_max_size << 20) - _checked_size;
}

bool FileChannel::MadeOrder::operator()(const std::string& a, const std::string& b) const {
    const auto key_a = nameKey(a), key_b = nameKey(b);
    return key_a != key_b ? key_a < key_b : a < b;
}

void FileChannel::changeFile(time_t second) {
    ScopedFlag switching(_switching);
    size_t number = _index++;
    struct tm tm = getLocalTime(second);
    char name[64];
    snprintf(name, sizeof(name), "%d-%02d-%02d_%02zu.log", 1900 + tm.tm_year, 1 + tm.tm_mon, tm.tm_mday, number);
    std::string path = _dir + name;
    _path = path;
    _can_write = open();
    if (_can_write) {
        // Today's newest file may be continued: its bytes count too.
        baseSize(size());
        // Only files that exist are counted, or the count limit would delete
        // real logs for paths that never opened.
        _log_file_map.emplace(path);
    } else {
        reportOpenFailure(path);
    }
    clean();
}

void FileChannel::reportOpenFailure(const std::string& path) {
    if (t_reporting_open_failure) {
        std::fprintf(stderr, "Failed to open log file: %s\n", path.c_str());
        return;
    }
    ScopedFlag reporting(t_reporting_open_failure);
    LogContextCapture(getLogger(), LError, __FILE__, __FUNCTION__, __LINE__) << "Failed to open log file: " << path;
}

void FileChannel::clean() {
    int64_t today = localDay(time(nullptr));
    // By age. A name that does not start with a date reads as day 0 and
    // goes too (such names sort first).
    for (auto it = _log_file_map.begin(); it != _log_file_map.end();) {
        if (*it == _path || today < fileDay(*it) + static_cast<int64_t>(_log_max_day)) {
            ++it;
            continue;
        }
        File::delete_file(it->c_str());
        it = _log_file_map.erase(it);
    }
    // By count, oldest first by date and number, never the file being written.
    while (_log_file_map.size() > _log_max_count) {
        auto it = _log_file_map.begin();
        if (*it == _path) {
            break;
        }
        File::delete_file(it->c_str());
        _log_file_map.erase(it);
    }
}

} // namespace toolkit
