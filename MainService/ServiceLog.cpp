#include "ServiceLog.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include "Util/logger.h"

namespace ServiceLog {

namespace {

std::mutex s_mtx;
std::shared_ptr<toolkit::AsyncLogWriter> s_writer;

} // namespace

void start() {
    toolkit::Logger& logger = toolkit::Logger::Instance();
    logger.add(std::make_shared<toolkit::FileChannel>("log", "/data/logs", toolkit::LTrace));
    logger.add(std::make_shared<toolkit::ConsoleChannel>());
    std::lock_guard<std::mutex> lock(s_mtx);
    s_writer = std::make_shared<toolkit::AsyncLogWriter>();
    logger.setWriter(s_writer);
}

void stop() {
    std::shared_ptr<toolkit::AsyncLogWriter> writer;
    {
        std::lock_guard<std::mutex> lock(s_mtx);
        writer.swap(s_writer);
    }
    toolkit::Logger& logger = toolkit::Logger::Instance();
    logger.setWriter(nullptr);
    if (writer) {
        // A thread that is handing over a line right now still holds the
        // writer; its line must be queued before the writer drains. The writer
        // drains and joins its thread when the last reference goes: make that ours.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (writer.use_count() > 1 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        writer.reset();
    }
    // The process ends through _exit, which runs no destructor: the logger's
    // closing record is written here.
    logger.writeClosingRecord();
}

} // namespace ServiceLog
