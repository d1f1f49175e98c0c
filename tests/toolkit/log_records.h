#pragma once
#include <sys/time.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
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
        _records.push_back(ctx);
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
    std::vector<toolkit::LogContextPtr> records() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _records;
    }

private:
    std::mutex _mutex;
    std::vector<std::string> _lines;
    std::vector<std::string> _texts;
    std::vector<int> _repeats;
    std::vector<toolkit::LogContextPtr> _records;
};

// Keeps what the default logger writes while it lives.
class LogCapture {
public:
    explicit LogCapture(const std::string& name = "test log capture")
        : _channel(std::make_shared<RecordingChannel>(name)) {
        toolkit::getLogger().add(_channel);
    }
    ~LogCapture() { toolkit::getLogger().del(_channel->name()); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> texts() const { return _channel->texts(); }
    size_t count(const std::string& part) const {
        size_t n = 0;
        for (auto& text : _channel->texts()) {
            n += text.find(part) != std::string::npos;
        }
        return n;
    }
    // The records whose text contains `part`, with their level and time.
    std::vector<toolkit::LogContextPtr> matching(const std::string& part) const {
        std::vector<toolkit::LogContextPtr> found;
        for (auto& record : _channel->records()) {
            if (record->str().find(part) != std::string::npos) {
                found.push_back(record);
            }
        }
        return found;
    }
    // The first written line containing `part`, or "".
    std::string line(const std::string& part) const {
        for (auto& line : _channel->lines()) {
            if (line.find(part) != std::string::npos) {
                return line;
            }
        }
        return "";
    }
    // Waits until `n` records containing `part` arrived (a writer thread may carry them).
    bool waitFor(const std::string& part, size_t n = 1) const {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (count(part) < n) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

private:
    std::shared_ptr<RecordingChannel> _channel;
};

} // namespace testing_support
