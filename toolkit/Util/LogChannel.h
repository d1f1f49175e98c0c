#pragma once
#include <sys/time.h>

#include <memory>
#include <ostream>
#include <string>

#include "Util/util.h"

namespace toolkit {

// A channel writes a record when its level is at or below the record's level.
typedef enum { LTrace = 0, LDebug, LInfo, LWarn, LError } LogLevel;

// Per level: background colour, foreground colour, level letter.
extern const char* const LOG_CONST_TABLE[5][3];

class Logger;
class LogContext;
using LogContextPtr = std::shared_ptr<LogContext>;

// A named destination of log records.
class LogChannel : public noncopyable {
public:
    LogChannel(const std::string& name, LogLevel level = LTrace);
    virtual ~LogChannel();

    virtual void write(const Logger& logger, const LogContextPtr& ctx) = 0;
    const std::string& name() const { return _name; }
    void setLevel(LogLevel level) { _level = level; }
    // "%d-%02d-%02d %02d:%02d:%02d.%03d" of the local time of tv.
    static std::string printTime(const timeval& tv);

protected:
    // One log line: time, letter, and with detail "[tag] [pid-thread] file:line
    // function | ", then the text, the repeat note when the count is 2 or more,
    // and a newline. Without detail an empty text writes nothing.
    virtual void format(const Logger& logger, std::ostream& ost, const LogContextPtr& ctx, bool enable_color = true,
                        bool enable_detail = true);

protected:
    std::string _name;
    LogLevel _level;
};

// Writes "<function> <text>" to the console log with the tag "JNI".
class ConsoleChannel : public LogChannel {
public:
    ConsoleChannel(const std::string& name = "ConsoleChannel", LogLevel level = LTrace);
    ~ConsoleChannel() override = default;
    void write(const Logger& logger, const LogContextPtr& ctx) override;
};

} // namespace toolkit
