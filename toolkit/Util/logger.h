#pragma once
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "Util/FileChannel.h"
#include "Util/LogChannel.h"
#include "Util/util.h"

namespace toolkit {

class LogWriter;

// The default logger (cached Logger::Instance()).
Logger& getLogger();

// The logger: repeat suppression in front of a set of named channels, visited
// in ascending order of name, optionally fed through a writer thread.
//
// A record equal (file, line, text) to the last one written, within 500 ms of
// it, is counted, not written; the count comes out with that record again
// before the next different one. Only the last record counts: lines that
// alternate are all written, so the log stays in time order.
class Logger : public std::enable_shared_from_this<Logger>, public noncopyable {
public:
    using Ptr = std::shared_ptr<Logger>;

    // Made once on first use, named after the executable, and never destroyed;
    // at exit its writer is drained and the pending repeat summary written.
    static Logger& Instance();

    explicit Logger(const std::string& logger_name);
    ~Logger();

    // Stores the channel under its name, replacing one of the same name.
    void add(const std::shared_ptr<LogChannel>& channel);
    void del(const std::string& name);
    // Sets or (with an empty pointer) removes the writer; the old writer drains.
    void setWriter(const std::shared_ptr<LogWriter>& writer);
    // Hands a record to the writer when set, else to writeChannels.
    void write(const LogContextPtr& ctx);
    // Repeat suppression, then every channel. What a writer calls per record.
    void writeChannels(const LogContextPtr& ctx);
    // Drops the writer (it drains) and writes the closing record, the empty
    // record of "~Logger" that ends a log and brings out the repeat summary
    // of the record before it. It stays the last: records of threads still
    // running while the process ends are dropped from then on, as a
    // destroyed logger would take none. Only the first call writes it.
    void writeClosingRecord();
    const std::string& getName() const;

private:
    void writeChannels_l(const LogContextPtr& ctx);

    LogContextPtr _last_log;
    std::string _logger_name;
    // Read by every caller, replaced by setWriter: touched only through the
    // atomic shared_ptr operations.
    std::shared_ptr<LogWriter> _writer;
    std::map<std::string, std::shared_ptr<LogChannel>> _channels;
    // Guards the repeat state and the channels when records are written on the
    // callers' threads (no writer installed, or at exit).
    std::recursive_mutex _mutex;
    // Set under _mutex once the closing record is written.
    bool _closed = false;
};

// One log record; the message text is streamed into it.
//
// A record carries at most kMaxText bytes of text: a longer one (a client's
// request quoted whole, say) is cut where a character starts and ends in
// "... (N bytes)" with its whole length. Every record is cut before it is
// queued or written, so no channel ever sees more.
class LogContext : public std::ostringstream {
public:
    static constexpr size_t kMaxText = 4096;

    LogContext() = default;
    LogContext(LogLevel level, const char* file, const char* function, int line, const char* module_name,
               const char* flag);
    ~LogContext() = default;

    LogLevel _level = LTrace;
    int _line = 0;
    int _repeat = 0;
    std::string _file;
    std::string _function;
    std::string _thread_name;
    std::string _module_name;
    std::string _flag;
    struct timeval _tv = {0, 0};

    // The streamed text, cut to kMaxText; the first call caches it and lets
    // go of the stream's own copy.
    const std::string& str();
    // Roughly the bytes of memory the record holds.
    size_t heldBytes();

private:
    bool _got_content = false;
    std::string _content;
};

// Stream-style builder of one record; the destructor writes it.
class LogContextCapture {
public:
    using Ptr = std::shared_ptr<LogContextCapture>;

    LogContextCapture(Logger& logger, LogLevel level, const char* file, const char* function, int line,
                      const char* flag = "");
    // Copying moves the record: the copy holds it, the source becomes empty.
    LogContextCapture(const LogContextCapture& that);
    ~LogContextCapture();

    // std::endl (or std::flush) ends the record: it is written at once and
    // later values are ignored.
    LogContextCapture& operator<<(std::ostream& (*f)(std::ostream&));

    template <typename T>
    LogContextCapture& operator<<(T&& data) {
        if (!_ctx) {
            return *this;
        }
        (*_ctx) << std::forward<T>(data);
        return *this;
    }

    // Drops the record without writing it.
    void clear();

private:
    // Hands the record to the logger (once) and lets go of it.
    void writeOut();

    mutable LogContextPtr _ctx;
    Logger& _logger;
};

// Receives the records of a logger (instead of writing them on the caller).
class LogWriter : public noncopyable {
public:
    LogWriter() = default;
    virtual ~LogWriter() = default;
    virtual void write(const LogContextPtr& ctx, Logger& logger) = 0;
};

// Queues records for the "async log" thread, the only one that then formats and
// writes lines. One writer may serve several loggers: each queued record carries
// its logger. Destruction drains everything still queued.
//
// The queue is bounded: while kMaxPending records, or kMaxPendingBytes of
// them, wait (a component logging in a fast loop while the writer falls
// behind, clients whose every request logs a long line), new records are
// counted and dropped until the writer's next pass, and after the records
// queued before them the line "dropped N records" is written, so memory stays
// bounded, no caller waits and the gap shows in the log.
class AsyncLogWriter : public LogWriter {
public:
    static constexpr size_t kMaxPending = 20000;
    static constexpr size_t kMaxPendingBytes = 16u << 20;
    // While records keep coming the writer polls at this period instead of
    // being woken for each one: a wake-up costs the logging thread a system
    // call, which on the SCPI poller is a good part of a query's round trip.
    static constexpr std::chrono::milliseconds kPollPeriod{10};
    // Polls without a record before the writer sleeps until it is woken.
    static constexpr int kIdlePolls = 100;
    // A queue this long, or holding this many bytes, wakes the writer at once.
    static constexpr size_t kWakeBacklog = 1024;
    static constexpr size_t kWakeBytes = kMaxPendingBytes / 4;

    AsyncLogWriter();
    ~AsyncLogWriter() override;
    void write(const LogContextPtr& ctx, Logger& logger) override;

private:
    void run();
    void flushAll();

    bool _exit_flag = false;             // under _mutex
    bool _sleeping = false;              // the writer waits without a time-out (under _mutex)
    std::mutex _mutex;
    std::condition_variable _wake;
    std::shared_ptr<std::thread> _thread;
    std::list<std::pair<LogContextPtr, Logger*>> _pending;
    size_t _pending_bytes = 0;          // held by the records in _pending
    size_t _dropped = 0;                // records refused since the last pass
    Logger* _dropped_logger = nullptr;  // the logger of the first of them
};

// The printf-style entry used by the service's own code.
class LoggerWrapper {
public:
    static void printLog(Logger& logger, int level, const char* file, const char* function, int line,
                         const char* fmt, ...) __attribute__((format(printf, 6, 7)));
    static void printLogV(Logger& logger, int level, const char* file, const char* function, int line,
                          const char* fmt, va_list ap);
};

// The process-wide module name (the executable's file name).
const std::string& getModuleName();

} // namespace toolkit

// Stream-style logging of the toolkit's own code.
#define WriteL(level) ::toolkit::LogContextCapture(::toolkit::getLogger(), level, __FILE__, __FUNCTION__, __LINE__)
#define TraceL WriteL(::toolkit::LTrace)
#define DebugL WriteL(::toolkit::LDebug)
#define InfoL WriteL(::toolkit::LInfo)
#define WarnL WriteL(::toolkit::LWarn)
#define ErrorL WriteL(::toolkit::LError)

// printf-style logging of the service's own code.
#define PrintLog(level, ...) \
    ::toolkit::LoggerWrapper::printLog(::toolkit::getLogger(), level, __FILE__, __FUNCTION__, __LINE__, ##__VA_ARGS__)
#define PrintT(...) PrintLog(::toolkit::LTrace, ##__VA_ARGS__)
#define PrintD(...) PrintLog(::toolkit::LDebug, ##__VA_ARGS__)
#define PrintI(...) PrintLog(::toolkit::LInfo, ##__VA_ARGS__)
#define PrintW(...) PrintLog(::toolkit::LWarn, ##__VA_ARGS__)
#define PrintE(...) PrintLog(::toolkit::LError, ##__VA_ARGS__)
