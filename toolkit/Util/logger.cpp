#include "Util/logger.h"

#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "console_log.h"

namespace toolkit {

const char* const LOG_CONST_TABLE[5][3] = {
    {"\033[44;37m", "\033[34m", "T"},
    {"\033[42;37m", "\033[32m", "D"},
    {"\033[46;37m", "\033[36m", "I"},
    {"\033[43;37m", "\033[33m", "W"},
    {"\033[41;37m", "\033[31m", "E"},
};

namespace {

const char kClearColor[] = "\033[0m";

// Levels come in as plain ints from the printf-style entry: keep every table
// lookup inside the table.
LogLevel clampLevel(int level) {
    if (level < LTrace) {
        return LTrace;
    }
    if (level > LError) {
        return LError;
    }
    return static_cast<LogLevel>(level);
}

// Records with the same source position and text are repeats.
bool sameRecord(LogContext& a, LogContext& b) {
    return a._line == b._line && a._file == b._file && a.str() == b.str();
}

// One record, one line: control characters inside the text (a client's raw
// bytes, say) are written escaped, so that nothing in it can break the line or
// pass for another record; line ends that close the text are left out.
void writeEscaped(std::ostream& ost, const std::string& text) {
    size_t end = text.find_last_not_of("\r\n");
    end = end == std::string::npos ? 0 : end + 1;
    size_t plain = 0;
    for (size_t i = 0; i < end; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != 0x7f) {
            continue;
        }
        ost.write(text.data() + plain, static_cast<std::streamsize>(i - plain));
        plain = i + 1;
        switch (c) {
            case '\n': ost << "\\n"; break;
            case '\r': ost << "\\r"; break;
            case '\t': ost << "\\t"; break;
            default: {
                static const char kHex[] = "0123456789abcdef";
                const char escaped[] = {'\\', 'x', kHex[c >> 4], kHex[c & 0xf]};
                ost.write(escaped, sizeof(escaped));
            }
        }
    }
    ost.write(text.data() + plain, static_cast<std::streamsize>(end - plain));
}

// At most LogContext::kMaxText bytes of a text `length` bytes long, of which
// `text` holds the first `size`: a longer one keeps its beginning, cut where a
// character starts, and ends in a note of its whole length. The result is
// within the bound, so cutting it again changes nothing.
std::string capped(const char* text, size_t size, size_t length) {
    if (length <= LogContext::kMaxText) {
        return std::string(text, size);
    }
    const std::string note = "... (" + std::to_string(length) + " bytes)";
    size_t keep = std::min(size, LogContext::kMaxText - note.size());
    // UTF-8 continuation bytes: a character is at most four bytes long.
    for (int i = 0; i < 3 && keep > 0 && keep < size && (static_cast<unsigned char>(text[keep]) & 0xc0) == 0x80; ++i) {
        --keep;
    }
    std::string out;
    out.reserve(keep + note.size());
    out.append(text, keep).append(note);
    return out;
}

int64_t elapsedMillisecond(const timeval& from, const timeval& to) {
    return (static_cast<int64_t>(to.tv_sec) - from.tv_sec) * 1000 +
           (static_cast<int64_t>(to.tv_usec) - from.tv_usec) / 1000;
}

// The empty record a logger writes last: it brings out the repeat summary of
// the record before it.
LogContextPtr closingRecord() {
    return std::make_shared<LogContext>(LInfo, __FILE__, "~Logger", __LINE__, "", "");
}

// At exit: drains the writer and writes the pending repeat summary, as the
// logger's destructor would, but leaves the logger and its channels in place.
class ExitFlush {
public:
    explicit ExitFlush(Logger& logger) : _logger(logger) {}
    ~ExitFlush() { _logger.writeClosingRecord(); }

private:
    Logger& _logger;
};

// Made before main so that every record carries the same module name.
[[maybe_unused]] const std::string& s_module_name_at_start = getModuleName();

} // namespace

const std::string& getModuleName() {
    // Kept to the very end, like the default logger, for records made at exit.
    static const std::string* name = new std::string(exeName());
    return *name;
}

Logger& getLogger() {
    static Logger& logger = Logger::Instance();
    return logger;
}

// ----------------------------------------------------------------- Logger

Logger& Logger::Instance() {
    // Never destroyed: threads that run until the process ends (pollers, the
    // stamp thread) may still log while static objects are torn down.
    static std::shared_ptr<Logger>* s_instance = new std::shared_ptr<Logger>(std::make_shared<Logger>(exeName()));
    static ExitFlush s_exit_flush(**s_instance);
    return **s_instance;
}

Logger::Logger(const std::string& logger_name) : _last_log(std::make_shared<LogContext>()), _logger_name(logger_name) {}

Logger::~Logger() {
    writeClosingRecord();
    std::lock_guard<std::recursive_mutex> lock(_mutex);
    _channels.clear();
}

void Logger::add(const std::shared_ptr<LogChannel>& channel) {
    std::lock_guard<std::recursive_mutex> lock(_mutex);
    _channels[channel->name()] = channel;
}

void Logger::del(const std::string& name) {
    std::lock_guard<std::recursive_mutex> lock(_mutex);
    _channels.erase(name);
}

void Logger::setWriter(const std::shared_ptr<LogWriter>& writer) {
    // The old writer (when this was its last owner) drains as it goes here.
    auto old = std::atomic_exchange(&_writer, writer);
    old.reset();
}

void Logger::writeClosingRecord() {
    // Dropping the writer drains it into writeChannels.
    setWriter(nullptr);
    std::lock_guard<std::recursive_mutex> lock(_mutex);
    if (_closed) return;
    writeChannels(closingRecord());
    _closed = true;
}

void Logger::write(const LogContextPtr& ctx) {
    // Fixes the text and cuts it on the caller's thread: what waits in a
    // writer's queue is never longer than a channel may write.
    ctx->str();
    if (auto writer = std::atomic_load(&_writer)) {
        writer->write(ctx, *this);
    } else {
        writeChannels(ctx);
    }
}

void Logger::writeChannels(const LogContextPtr& ctx) {
    // Recursive: a channel may log (through this logger) while writing.
    std::lock_guard<std::recursive_mutex> lock(_mutex);
    if (_closed) return;
    if (!sameRecord(*ctx, *_last_log)) {
        // Before the new text, the summary of the repeats counted so far.
        if (_last_log->_repeat) {
            writeChannels_l(_last_log);
        }
        writeChannels_l(ctx);
        return;
    }
    ++_last_log->_repeat;
    // Measured from the last record written, not from the previous repeat.
    if (elapsedMillisecond(_last_log->_tv, ctx->_tv) <= 500) {
        return;
    }
    ctx->_repeat = _last_log->_repeat;
    writeChannels_l(ctx);
}

void Logger::writeChannels_l(const LogContextPtr& ctx) {
    for (auto& pr : _channels) {
        pr.second->write(*this, ctx);
    }
    _last_log = ctx;
    _last_log->_repeat = 0;
}

const std::string& Logger::getName() const {
    return _logger_name;
}

// ------------------------------------------------------------- LogContext

static const char* baseName(const char* file) {
    const char* slash = std::strrchr(file, '/');
    return slash ? slash + 1 : file;
}

LogContext::LogContext(LogLevel level, const char* file, const char* function, int line, const char* module_name,
                       const char* flag)
    : _level(level), _line(line), _repeat(0), _file(baseName(file ? file : "")), _function(function ? function : ""),
      _module_name(module_name ? module_name : ""), _flag(flag ? flag : "") {
    gettimeofday(&_tv, nullptr);
    _thread_name = getThreadName();
}

const std::string& LogContext::str() {
    if (!_got_content) {
        _content = std::ostringstream::str();
        if (_content.size() > kMaxText) {
            _content = capped(_content.data(), _content.size(), _content.size());
        }
        // The stream's buffer keeps its size when emptied: it goes whole.
        std::stringbuf released;
        rdbuf()->swap(released);
        _got_content = true;
    }
    return _content;
}

size_t LogContext::heldBytes() {
    // The list node and the shared pointer's block besides the record.
    constexpr size_t kAround = 64;
    return sizeof(LogContext) + kAround + str().capacity() + _file.capacity() + _function.capacity() +
           _thread_name.capacity() + _module_name.capacity() + _flag.capacity();
}

// ------------------------------------------------------ LogContextCapture

LogContextCapture::LogContextCapture(Logger& logger, LogLevel level, const char* file, const char* function, int line,
                                     const char* flag)
    : _ctx(std::make_shared<LogContext>(level, file, function, line, getModuleName().c_str(), flag)),
      _logger(logger) {}

LogContextCapture::LogContextCapture(const LogContextCapture& that) : _ctx(that._ctx), _logger(that._logger) {
    that._ctx.reset();
}

LogContextCapture::~LogContextCapture() {
    writeOut();
}

LogContextCapture& LogContextCapture::operator<<(std::ostream& (*f)(std::ostream&)) {
    (void)f;
    writeOut();
    return *this;
}

void LogContextCapture::writeOut() {
    if (!_ctx) {
        return;
    }
    _logger.write(_ctx);
    _ctx.reset();
}

void LogContextCapture::clear() {
    _ctx.reset();
}

// --------------------------------------------------------- AsyncLogWriter

AsyncLogWriter::AsyncLogWriter() {
    _thread = std::make_shared<std::thread>([this]() { run(); });
}

AsyncLogWriter::~AsyncLogWriter() {
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _exit_flag = true;
    }
    _wake.notify_one();
    _thread->join();
    // Whatever was queued after the thread's last pass.
    flushAll();
}

void AsyncLogWriter::write(const LogContextPtr& ctx, Logger& logger) {
    bool wake = false;
    {
        const size_t bytes = ctx->heldBytes();
        std::lock_guard<std::mutex> lock(_mutex);
        // Once one is refused, all are until the writer's pass: the note of
        // the count then follows every record that was queued.
        if (_dropped != 0 || _pending.size() >= kMaxPending || _pending_bytes + bytes > kMaxPendingBytes) {
            // The writer's next pass notes the count; no wake-up is needed.
            if (_dropped++ == 0) {
                _dropped_logger = &logger;
            }
            return;
        }
        _pending.emplace_back(ctx, &logger);
        const bool past_bytes = _pending_bytes < kWakeBytes && _pending_bytes + bytes >= kWakeBytes;
        _pending_bytes += bytes;
        wake = _sleeping || _pending.size() == kWakeBacklog || past_bytes;
    }
    if (wake) {
        _wake.notify_one();
    }
}

void AsyncLogWriter::run() {
    setThreadName("async log");
    int idle = 0;
    std::unique_lock<std::mutex> lock(_mutex);
    while (!_exit_flag) {
        if (_pending.empty() && _dropped == 0) {
            if (idle < kIdlePolls) {
                ++idle;
                _wake.wait_for(lock, kPollPeriod);
            } else {
                _sleeping = true;
                _wake.wait(lock, [this] { return _exit_flag || !_pending.empty(); });
                _sleeping = false;
            }
            continue;
        }
        idle = 0;
        lock.unlock();
        flushAll();
        lock.lock();
    }
}

void AsyncLogWriter::flushAll() {
    decltype(_pending) pending;
    size_t dropped = 0;
    Logger* dropped_logger = nullptr;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        pending.swap(_pending);
        _pending_bytes = 0;
        std::swap(dropped, _dropped);
        std::swap(dropped_logger, _dropped_logger);
    }
    for (auto& pr : pending) {
        pr.second->writeChannels(pr.first);
    }
    // Records are refused only while the queue is full, so every one of them
    // came after the records just written.
    if (dropped != 0) {
        auto note = std::make_shared<LogContext>(LWarn, __FILE__, __FUNCTION__, __LINE__,
                                                 getModuleName().c_str(), "");
        *note << "dropped " << dropped << " records";
        dropped_logger->writeChannels(note);
    }
}

// ------------------------------------------------------------- LogChannel

LogChannel::LogChannel(const std::string& name, LogLevel level) : _name(name), _level(level) {}

LogChannel::~LogChannel() = default;

std::string LogChannel::printTime(const timeval& tv) {
    struct tm tm = getLocalTime(tv.tv_sec);
    char buf[128];
    snprintf(buf, sizeof(buf), "%d-%02d-%02d %02d:%02d:%02d.%03d", 1900 + tm.tm_year, 1 + tm.tm_mon, tm.tm_mday,
             tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(tv.tv_usec / 1000));
    return buf;
}

void LogChannel::format(const Logger& logger, std::ostream& ost, const LogContextPtr& ctx, bool enable_color,
                        bool enable_detail) {
    if (!enable_detail && ctx->str().empty()) {
        return;
    }
    const char* const* row = LOG_CONST_TABLE[clampLevel(ctx->_level)];
    if (enable_color) {
        ost << row[1];
    }
    ost << printTime(ctx->_tv) << " " << row[2] << " ";
    if (enable_detail) {
        ost << "[" << (!ctx->_flag.empty() ? ctx->_flag : logger.getName()) << "] ";
        ost << "[" << getpid() << "-" << ctx->_thread_name << "] ";
        ost << ctx->_file << ":" << ctx->_line << " " << ctx->_function << " | ";
    }
    writeEscaped(ost, ctx->str());
    if (enable_color) {
        ost << kClearColor;
    }
    if (ctx->_repeat > 1) {
        ost << "\r\n    Last message repeated " << ctx->_repeat << " times";
    }
    ost << std::endl;
}

// --------------------------------------------------------- ConsoleChannel

ConsoleChannel::ConsoleChannel(const std::string& name, LogLevel level) : LogChannel(name, level) {}

void ConsoleChannel::write(const Logger& logger, const LogContextPtr& ctx) {
    (void)logger;
    if (_level > ctx->_level) {
        return;
    }
    // Verbose (2) .. error (6) of the console log, by level.
    int priority = static_cast<int>(platform::CONSOLE_VERBOSE) + static_cast<int>(clampLevel(ctx->_level));
    std::ostringstream line;
    line << ctx->_function << " ";
    writeEscaped(line, ctx->str());
    std::string text = line.str();
    platform::consoleWrite(priority, "JNI", text.c_str());
}

// ---------------------------------------------------------- LoggerWrapper

void LoggerWrapper::printLog(Logger& logger, int level, const char* file, const char* function, int line,
                             const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    printLogV(logger, level, file, function, line, fmt, ap);
    va_end(ap);
}

void LoggerWrapper::printLogV(Logger& logger, int level, const char* file, const char* function, int line,
                              const char* fmt, va_list ap) {
    LogContextCapture info(logger, clampLevel(level), file, function, line, "");
    if (fmt == nullptr) {
        return;
    }
    // Only what a record may carry is formatted; the length says how much
    // more there was. On failure the buffer's content is undefined.
    char text[LogContext::kMaxText + 1];
    int length = vsnprintf(text, sizeof(text), fmt, ap);
    if (length > 0) {
        const size_t whole = static_cast<size_t>(length);
        if (whole <= LogContext::kMaxText) {
            info << std::string_view(text, whole);
        } else {
            info << capped(text, LogContext::kMaxText, whole);
        }
    }
}

} // namespace toolkit
