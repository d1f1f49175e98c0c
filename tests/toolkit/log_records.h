#pragma once
#include <sys/time.h>

#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "Util/logger.h"

namespace testing_support {

// A record with a chosen source position, text and time.
inline toolkit::LogContextPtr makeRecord(toolkit::LogLevel level, int line, const std::string& text, time_t sec,
                                         long usec = 0, const char* file = "src/dir/source.cpp") {
    auto ctx = std::make_shared<toolkit::LogContext>(level, file, "func", line, "module", "");
    *ctx << text;
    ctx->_tv.tv_sec = sec;
    ctx->_tv.tv_usec = usec;
    return ctx;
}

// A channel that keeps every line it would write (detail on, colour off),
// and the repeat count each record carried.
class RecordingChannel : public toolkit::LogChannel {
public:
    explicit RecordingChannel(const std::string& name = "rec", toolkit::LogLevel level = toolkit::LTrace)
        : toolkit::LogChannel(name, level) {}

    void write(const toolkit::Logger& logger, const toolkit::LogContextPtr& ctx) override {
        if (_level > ctx->_level) {
            return;
        }
        std::ostringstream line;
        format(logger, line, ctx, false, true);
        std::lock_guard<std::mutex> lock(_mutex);
        _lines.push_back(line.str());
        _texts.push_back(ctx->str());
        _repeats.push_back(ctx->_repeat);
    }

    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _lines;
    }
    std::vector<std::string> texts() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _texts;
    }
    std::vector<int> repeats() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _repeats;
    }

private:
    std::mutex _mutex;
    std::vector<std::string> _lines;
    std::vector<std::string> _texts;
    std::vector<int> _repeats;
};

} // namespace testing_support
