#pragma once
// Records the log lines of the default logger, with level and time, while it lives.
#include <sys/time.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Util/logger.h"

namespace mainservice_test {

struct LoggedLine {
    toolkit::LogLevel level;
    std::string text;
    timeval time;
};

class LogCapture {
public:
    LogCapture() { toolkit::getLogger().add(_channel); }
    ~LogCapture() { toolkit::getLogger().del(_channel->name()); }

    // The lines whose text contains `part`.
    std::vector<LoggedLine> matching(const std::string& part) const {
        std::lock_guard<std::mutex> lock(_channel->mtx);
        std::vector<LoggedLine> found;
        for (const LoggedLine& line : _channel->lines) {
            if (line.text.find(part) != std::string::npos) {
                found.push_back(line);
            }
        }
        return found;
    }

private:
    struct Channel : toolkit::LogChannel {
        Channel() : toolkit::LogChannel("mainservice_test_capture") {}
        void write(const toolkit::Logger&, const toolkit::LogContextPtr& ctx) override {
            std::lock_guard<std::mutex> lock(mtx);
            lines.push_back({ctx->_level, ctx->str(), ctx->_tv});
        }
        std::mutex mtx;
        std::vector<LoggedLine> lines;
    };
    std::shared_ptr<Channel> _channel = std::make_shared<Channel>();
};

} // namespace mainservice_test
