#pragma once
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Util/logger.h"
#include "Util/util.h"

namespace testing_support {

// A log channel that keeps the texts of the warnings (and errors) made on the
// thread that created it, so a test sees its own records only.
class WarningCapture : public toolkit::LogChannel {
public:
    explicit WarningCapture(const std::string& name)
        : toolkit::LogChannel(name, toolkit::LWarn), _thread(toolkit::getThreadName()) {}

    void write(const toolkit::Logger&, const toolkit::LogContextPtr& ctx) override {
        if (ctx->_level < _level || ctx->_thread_name != _thread) {
            return;
        }
        std::lock_guard<std::mutex> lock(_mutex);
        _texts.push_back(ctx->str());
    }

    std::vector<std::string> texts() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _texts;
    }

    // Waits until `count` texts arrived; records may pass through a writer thread.
    bool waitFor(size_t count) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (texts().size() < count) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

private:
    std::string _thread;
    std::mutex _mutex;
    std::vector<std::string> _texts;
};

// Installs a WarningCapture on the default logger for the scope's lifetime.
class ScopedWarningCapture {
public:
    explicit ScopedWarningCapture(const std::string& name = "test-warning-capture")
        : _channel(std::make_shared<WarningCapture>(name)) {
        toolkit::getLogger().add(_channel);
    }
    ~ScopedWarningCapture() { toolkit::getLogger().del(_channel->name()); }

    WarningCapture& operator*() { return *_channel; }
    WarningCapture* operator->() { return _channel.get(); }

private:
    std::shared_ptr<WarningCapture> _channel;
};

} // namespace testing_support
